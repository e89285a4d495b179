// What the SIM's answers say about its lock (3GPP TS 27.007 +CPIN and +CME ERROR): pure
// functions over the answer text, used by the terminal's initialisation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qvx {

enum class TSimLock {
    Ready, // no code needed
    Pin,   // the PIN is asked for (also for an answer that does not say READY)
    Puk,   // wrong PINs locked the SIM: only the carrier's PUK opens it
};

// The state an answer to at+cpin? reports.
TSimLock SimLockOf(std::string_view answer);

// The answer to at+cpin=<pin> refuses that PIN: "incorrect password" (code 16), or the SIM
// wants its PUK now (code 12). Sending the same PIN again would only use up the attempts.
bool PinRefused(std::string_view answer);

// The SIM's ICCID in an answer to at+ccid ("+CCID: 8970...", or the bare number): its 18 to
// 22 digits (a trailing F pads an odd count), upper case; empty when the answer holds none.
std::string IccidOf(std::string_view answer);

// The SIM's IMSI in an answer to at+cimi (the bare number on its own line, or "+CIMI: ..."):
// its 6 to 15 digits; empty when no line holds such a number alone.
std::string ImsiOf(std::string_view answer);

// Why the terminal waits instead of sending a PIN; shown in the status and by the check.
enum class TPinWait : int32_t {
    None = 0,
    Refused = 1, // the SIM refused this PIN; a different one must come with a reload
    Puk = 2,     // the SIM asks for its PUK
};

} // namespace qvx
