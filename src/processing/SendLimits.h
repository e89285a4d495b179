// TSendLimits, the pace and the daily allowance of one terminal's SIM: at most MaxPerMinute
// messages handed over in any 60 s, and at most DailyLimit acknowledged between two daily
// resets (DailyReset, local time). 0 means no limit. Plain and synchronous: the worker owns
// one per terminal; time comes in as arguments, so tests move it.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>

namespace qvx {

class TSendLimits {
public:
    static constexpr uint32_t WindowMs = 60000;

    TSendLimits(int32_t maxPerMinute = 0, int32_t dailyLimit = 0, int32_t dailyResetMin = 0)
        : FMaxPerMinute(maxPerMinute), FDailyLimit(dailyLimit), FDailyResetMin(dailyResetMin) {}

    // May the terminal take one more message now? tick is a millisecond tick.
    bool MayTake(std::time_t now, uint32_t tick) const;
    // One message handed to the terminal at tick: it counts against the pace.
    void Taken(uint32_t tick);
    // One message acknowledged at now: it counts against the day.
    void Sent(std::time_t now);
    bool AtDailyLimit(std::time_t now) const;
    int32_t SentToday(std::time_t now) const;
    int32_t DailyLimit() const { return FDailyLimit; }
    // The start of the daily period that holds now: the last reset at or before it (local).
    std::time_t PeriodStart(std::time_t now) const;
    // The count kept for this SIM (from the state file); a count of an earlier period, or of
    // a reset moment configured differently, reads as 0.
    void Restore(std::time_t periodStart, int32_t count);
    // What the state file keeps.
    std::time_t StoredPeriod() const { return FPeriodStart; }
    int32_t StoredCount() const { return FCount; }

private:
    // Drops the handovers that left the window by tick.
    void Forget(uint32_t tick) const;

    int32_t FMaxPerMinute;
    int32_t FDailyLimit;
    int32_t FDailyResetMin;
    // Ticks of the last MaxPerMinute handovers within the window. Mutable: a check drops the
    // expired ones too, so that none lives long enough for the tick to wrap round to it.
    mutable std::deque<uint32_t> FTaken;
    std::time_t FPeriodStart = 0;
    int32_t FCount = 0;
};

} // namespace qvx
