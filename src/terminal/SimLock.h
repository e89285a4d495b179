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
    Refused = 1,    // the SIM refused this PIN; a different one must come with a reload
    Puk = 2,        // the SIM asks for its PUK
    Exhausted = 3,  // two attempts are counted on this SIM: the last one is left to a person
    Unrecorded = 4, // the attempt could not be recorded, so the PIN does not go
};

// The wrong PINs a SIM takes before it wants its PUK.
constexpr int32_t SimPinTries = 3;

// What the owner's memory of PIN attempts says before a PIN goes out.
struct TPinPermit {
    TPinWait Wait = TPinWait::None; // None: the PIN may go
    int32_t Counted = 0;            // the attempts counted on the SIM before this one
    std::string Reason;             // Unrecorded: why (cp1251)
};

} // namespace qvx
