// The hold of the outgoing queue while the network refuses every message: after
// FailuresToHold refusals in a row that are no message's fault (the network's, or this
// terminal's SIM and subscription) nothing is tried until a back-off has passed, 5 s at first
// and doubled after every further refusal up to 5 min; the first try the network answers
// otherwise ends it. Pure logic over millisecond ticks, kept by the terminal thread.
#pragma once

#include <cstdint>

namespace qvx {

class TSubmissionHold {
public:
    static constexpr int32_t FailuresToHold = 3;
    static constexpr uint32_t FirstBackOffMs = 5000;
    static constexpr uint32_t MaxBackOffMs = 300000;

    // False while a back-off runs.
    bool MayTry(uint32_t nowTick) const { return !FHeld || int32_t(nowTick - FUntilTick) >= 0; }
    // A refusal for a network-wide, unknown or subscription cause; true when it starts the
    // hold.
    bool NetworkRefused(uint32_t nowTick);
    // A try the network answered otherwise (sent, or refused for the message's own cause);
    // true when it ends the hold.
    bool Answered();
    bool Held() const { return FHeld; }
    uint32_t BackOffMs() const { return FBackOffMs; }

private:
    int32_t FRefusals = 0;
    bool FHeld = false;
    uint32_t FBackOffMs = 0;
    uint32_t FUntilTick = 0;
};

} // namespace qvx
