#include "processing/SendLimits.h"

namespace qvx {

namespace {

// The local moment of the reset on the day of local (whose date counts, its time not).
// Asked of mktime with the DST flag left open, so that a day of 23 or 25 hours gets its own
// reset moment rather than one 24 hours from the last.
std::time_t ResetOn(std::tm local, int32_t resetMin) {
    local.tm_hour = resetMin / 60;
    local.tm_min = resetMin % 60;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

} // namespace

void TSendLimits::Forget(uint32_t tick) const {
    // Compared as unsigned differences, so that a wrap of the tick changes nothing.
    while (!FTaken.empty() && uint32_t(tick - FTaken.front()) >= WindowMs)
        FTaken.pop_front();
}

bool TSendLimits::MayTake(std::time_t now, uint32_t tick) const {
    if (AtDailyLimit(now))
        return false;
    if (FMaxPerMinute <= 0)
        return true;
    Forget(tick);
    return FTaken.size() < size_t(FMaxPerMinute);
}

void TSendLimits::Taken(uint32_t tick) {
    if (FMaxPerMinute <= 0)
        return;
    Forget(tick);
    FTaken.push_back(tick);
    // The window is full once it holds MaxPerMinute handovers: older ones decide nothing.
    while (FTaken.size() > size_t(FMaxPerMinute))
        FTaken.pop_front();
}

void TSendLimits::Sent(std::time_t now) {
    const std::time_t period = PeriodStart(now);
    if (period != FPeriodStart) {
        FPeriodStart = period;
        FCount = 0;
    }
    if (FCount < INT32_MAX)
        ++FCount;
}

bool TSendLimits::AtDailyLimit(std::time_t now) const {
    return FDailyLimit > 0 && SentToday(now) >= FDailyLimit;
}

int32_t TSendLimits::SentToday(std::time_t now) const {
    return PeriodStart(now) == FPeriodStart ? FCount : 0;
}

std::time_t TSendLimits::PeriodStart(std::time_t now) const {
    const int32_t resetMin = FDailyResetMin >= 0 && FDailyResetMin < 24 * 60 ? FDailyResetMin : 0;
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr)
        return 0;
    const std::time_t today = ResetOn(local, resetMin);
    if (today <= now)
        return today;
    --local.tm_mday; // mktime takes the day before the 1st as the last of the month before
    return ResetOn(local, resetMin);
}

void TSendLimits::Restore(std::time_t periodStart, int32_t count) {
    FPeriodStart = periodStart;
    FCount = count > 0 ? count : 0;
}

} // namespace qvx
