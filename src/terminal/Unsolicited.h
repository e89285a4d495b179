// Scanning of the unsolicited text the terminal sent between commands (saved aside before each
// command): incoming calls (RING with its +CLIP caller line) and USSD results (+CUSD). Pure
// logic on a byte string, so it can be tested and fuzzed without a port; the terminal thread
// turns the events into queue entries.
#pragma once

#include <cstdint>
#include <string>

namespace qvx {

enum class TUnsolicitedKind { None, Call, Ussd };

// One event taken off the front of the saved text.
struct TUnsolicitedEvent {
    TUnsolicitedKind Kind = TUnsolicitedKind::None;
    // Call: the number as reported (digits and '+'), its type of address, and whether that
    // type is anything but 129 (national numbering).
    std::string Telephone;
    std::string Type;
    bool International = false;
    // USSD: the first field of +CUSD, the quoted string as sent, and the text it stands for
    // (decoded from UCS2 hex when the first field is 2).
    int32_t UssdStatus = 0;
    std::string UssdString;
    std::string UssdText;
};

// Removes the leading run of CR and LF; true when anything is left.
bool StripLeadingCrLf(std::string& saved);
// Keeps only the newest maxBytes of the saved text: the oldest bytes are the least useful.
void BoundSaved(std::string& saved, size_t maxBytes);

// Takes one event per call off the front of the saved text. It remembers how long a RING has
// been waiting for its caller line: without caller identification a terminal sends RING alone,
// and such a RING must not hold back everything behind it for ever.
class TUnsolicitedScanner {
public:
    explicit TUnsolicitedScanner(uint32_t ringWaitMs) : FRingWaitMs(ringWaitMs) {}

    // saved must not start with CR or LF (StripLeadingCrLf). A handled event is removed with
    // everything in front of it, up to and including the end of its line; text without any
    // event is cleared; a RING still waiting for its +CLIP stays.
    TUnsolicitedEvent Next(std::string& saved, uint32_t nowTick);
    void Reset() noexcept { FRingWaiting = false; }
    // With caller identification off no caller line can follow a RING: it is retired at once.
    void SetCallerLines(bool on) noexcept { FCallerLines = on; }

private:
    TUnsolicitedEvent TakeCall(std::string& saved, size_t clip);
    TUnsolicitedEvent TakeUssd(std::string& saved, size_t cusd);
    // False while the RING at ring may still get its caller line; true once it was retired.
    bool RetireWaitingRing(std::string& saved, size_t ring, uint32_t nowTick);

    uint32_t FRingWaitMs;
    bool FCallerLines = true;
    bool FRingWaiting = false;
    uint32_t FRingSinceTick = 0;
};

} // namespace qvx
