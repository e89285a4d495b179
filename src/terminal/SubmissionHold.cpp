#include "terminal/SubmissionHold.h"

#include <algorithm>

namespace qvx {

bool TSubmissionHold::NetworkRefused(uint32_t nowTick) {
    if (FHeld) {
        FBackOffMs = std::min(FBackOffMs * 2, MaxBackOffMs);
        FUntilTick = nowTick + FBackOffMs;
        return false;
    }
    if (++FRefusals < FailuresToHold)
        return false;
    FHeld = true;
    FBackOffMs = FirstBackOffMs;
    FUntilTick = nowTick + FBackOffMs;
    return true;
}

bool TSubmissionHold::Answered() {
    FRefusals = 0;
    const bool ended = FHeld;
    FHeld = false;
    FBackOffMs = 0;
    return ended;
}

} // namespace qvx
