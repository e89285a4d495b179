// TDatabaseRetry, when the worker tries the database again after its initialisation failed on
// the database: 10 s after the first failure, then doubling up to once a minute, and which
// failures are worth a log line (only one whose message differs from the last). Time comes in
// as a tick, so that the policy is tested without waiting. Used by the worker thread only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace qvx {

class TDatabaseRetry {
public:
    static constexpr uint32_t FirstDelayMs = 10000;
    static constexpr uint32_t MaxDelayMs = 60000;

    // Notes a failure at nowTick and schedules the next try. True when the message differs
    // from the one of the previous failure, i.e. when it deserves a log line.
    bool Failed(const std::string& message, uint32_t nowTick) {
        FDelayMs = FWaiting ? std::min(FDelayMs * 2, MaxDelayMs) : FirstDelayMs;
        FWaiting = true;
        FNextTick = nowTick + FDelayMs;
        const bool changed = message != FLastMessage;
        FLastMessage = message;
        return changed;
    }
    bool Waiting() const noexcept { return FWaiting; }
    // True once the delay since the last failure has passed; compared as an unsigned
    // difference, so that the tick may wrap meanwhile.
    bool Due(uint32_t nowTick) const noexcept {
        return FWaiting && static_cast<int32_t>(nowTick - FNextTick) >= 0;
    }
    uint32_t DelayMs() const noexcept { return FDelayMs; }
    // After a success, or a reload that starts afresh: the next failure is logged again.
    void Reset() {
        FWaiting = false;
        FDelayMs = 0;
        FLastMessage.clear();
    }

private:
    bool FWaiting = false;
    uint32_t FDelayMs = 0;
    uint32_t FNextTick = 0;
    std::string FLastMessage;
};

} // namespace qvx
