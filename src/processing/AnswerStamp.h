// TAnswerStamp, when the server last answered on the worker's connection, on the boot clock
// and the wall clock. The worker marks it; the terminal threads ask it whether the session was
// heard lately enough to start a message on its claim. A host that was suspended or paused
// has not heard from the server for as long as it slept, however its steady clock reads.
#pragma once

#include <atomic>
#include <cstdint>

namespace qvx {

class TAnswerStamp {
public:
    void Mark(uint64_t bootMs, int64_t wallMs) noexcept {
        FWallMs.store(wallMs);
        FBootMs.store(bootMs);
    }
    void Clear() noexcept { FBootMs.store(0); }

    // The server answered less than allowanceMs before now on both clocks. Read while the worker
    // marks it, one clock may be new and the other old: the verdict is then "not lately" at
    // worst, never a stale "lately".
    bool Within(uint64_t bootNow, int64_t wallNow, uint32_t allowanceMs) const noexcept {
        const uint64_t boot = FBootMs.load();
        const int64_t wall = FWallMs.load();
        if (boot == 0 || bootNow < boot || bootNow - boot >= allowanceMs)
            return false;
        const int64_t wallAge = wallNow - wall;
        return wallAge > -int64_t(allowanceMs) && wallAge < int64_t(allowanceMs);
    }
    // It answered after the boot-clock moment bootMs.
    bool After(uint64_t bootMs) const noexcept { return FBootMs.load() > bootMs; }

private:
    std::atomic<uint64_t> FBootMs{0};
    std::atomic<int64_t> FWallMs{0};
};

} // namespace qvx
