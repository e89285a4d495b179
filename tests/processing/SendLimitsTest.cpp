#include "processing/SendLimits.h"

#include "support/Waiting.h"

#include <gtest/gtest.h>
#include <vector>

namespace qvx {
namespace {

// Central European time: the clocks go forward on 2026-03-29 and back on 2026-10-25.
constexpr const char* Cet = "CET-1CEST,M3.5.0,M10.5.0/3";

std::time_t Local(int year, int month, int day, int hour, int minute, int second = 0) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

TEST(SendLimits, PaceHoldsOverAnySixtySecondsAcrossTheTickWrap) {
    const uint32_t start = 0xFFFFFFFFu - 30000; // the window spans the wrap of the tick
    const struct {
        int32_t MaxPerMinute;
        std::vector<uint32_t> TakenAt; // ms after start
        uint32_t AskedAt;
        bool MayTake;
        const char* Note;
    } cases[] = {
        {3, {0, 1000}, 1500, true, "room for a third"},
        {3, {0, 1000, 2000}, 2000, false, "three within the minute fill it"},
        {3, {0, 1000, 2000}, 59999, false, "the first is still within the minute"},
        {3, {0, 1000, 2000}, 60000, true, "the first left the minute"},
        {2, {0, 50000, 70000}, 109999, false, "taken past the pace: the last two count"},
        {2, {0, 50000, 70000}, 110000, true, "the older of the last two left the minute"},
        {0, {0, 0, 0, 0}, 0, true, "0 is no pace"},
    };
    for (const auto& c : cases) {
        TSendLimits limits(c.MaxPerMinute);
        for (const uint32_t at : c.TakenAt)
            limits.Taken(start + at);
        EXPECT_EQ(limits.MayTake(1796644800, start + c.AskedAt), c.MayTake) << c.Note;
    }
}

TEST(SendLimits, DailyCountRunsFromTheLastLocalReset) {
    const test::TZoneGuard zone(Cet);
    const struct {
        int32_t ResetMin;
        std::vector<std::time_t> SentAt;
        std::time_t AskedAt;
        std::time_t PeriodStart;
        int32_t SentToday;
        const char* Note;
    } cases[] = {
        {6 * 60 + 30,
         {Local(2026, 12, 7, 6, 30), Local(2026, 12, 8, 6, 29)},
         Local(2026, 12, 8, 6, 29, 59),
         Local(2026, 12, 7, 6, 30),
         2,
         "both within one day from 06:30"},
        {6 * 60 + 30,
         {Local(2026, 12, 7, 6, 30), Local(2026, 12, 8, 6, 29)},
         Local(2026, 12, 8, 6, 30),
         Local(2026, 12, 8, 6, 30),
         0,
         "the reset at 06:30 starts a new day"},
        {0,
         {Local(2026, 10, 25, 0, 30), Local(2026, 10, 25, 23, 30)},
         Local(2026, 10, 25, 23, 45),
         Local(2026, 10, 25, 0, 0),
         2,
         "the day the clocks go back has 25 hours"},
        {0,
         {Local(2026, 3, 28, 23, 59), Local(2026, 3, 29, 0, 30)},
         Local(2026, 3, 29, 23, 45),
         Local(2026, 3, 29, 0, 0),
         1,
         "the day the clocks go forward has 23 hours"},
        {6 * 60 + 30,
         {Local(2026, 12, 31, 12, 0)},
         Local(2027, 1, 1, 3, 0),
         Local(2026, 12, 31, 6, 30),
         1,
         "before the reset the period began the day before, here last year"},
    };
    for (const auto& c : cases) {
        TSendLimits limits(0, 2, c.ResetMin);
        for (const std::time_t at : c.SentAt)
            limits.Sent(at);
        EXPECT_EQ(limits.PeriodStart(c.AskedAt), c.PeriodStart) << c.Note;
        EXPECT_EQ(limits.SentToday(c.AskedAt), c.SentToday) << c.Note;
        EXPECT_EQ(limits.AtDailyLimit(c.AskedAt), c.SentToday >= 2) << c.Note;
        EXPECT_EQ(limits.MayTake(c.AskedAt, 0), c.SentToday < 2) << c.Note;
    }
}

TEST(SendLimits, RestoredCountHoldsOnlyWithinItsPeriod) {
    const test::TZoneGuard zone(Cet);
    const std::time_t now = Local(2026, 12, 8, 12, 0);
    const std::time_t today = Local(2026, 12, 8, 6, 30);
    const struct {
        std::time_t PeriodStart;
        int32_t Count;
        bool AtLimit;
        int32_t StoredAfterSent;
        const char* Note;
    } cases[] = {
        {today, 50, true, 51, "a restart keeps the day's count"},
        {today, 49, false, 50, "one left"},
        {Local(2026, 12, 7, 6, 30), 50, false, 1, "yesterday's count is over"},
        {Local(2026, 12, 8, 0, 0), 50, false, 1, "a count of another reset time is over"},
    };
    for (const auto& c : cases) {
        TSendLimits limits(0, 50, 6 * 60 + 30);
        limits.Restore(c.PeriodStart, c.Count);
        EXPECT_EQ(limits.AtDailyLimit(now), c.AtLimit) << c.Note;
        limits.Sent(now);
        EXPECT_EQ(limits.StoredPeriod(), today) << c.Note;
        EXPECT_EQ(limits.StoredCount(), c.StoredAfterSent) << c.Note;
    }
    EXPECT_FALSE(TSendLimits(0, 0).AtDailyLimit(now)) << "0 is no daily limit";
}

} // namespace
} // namespace qvx
