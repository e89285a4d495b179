#include "processing/SendLimits.h"

#include "support/Waiting.h"

#include <gtest/gtest.h>
#include <vector>

namespace qvx {
namespace {

// Local time "MM-DD HH:MM[:SS]" of 2026 under Central European time, whose clocks go forward
// on 03-29 and back on 10-25.
std::time_t Local(const char* text) {
    std::tm local{};
    std::sscanf(text, "%d-%d %d:%d:%d", &local.tm_mon, &local.tm_mday, &local.tm_hour,
                &local.tm_min, &local.tm_sec);
    local.tm_year = 2026 - 1900;
    local.tm_mon -= 1;
    local.tm_isdst = -1;
    return std::mktime(&local);
}
constexpr const char* Cet = "CET-1CEST,M3.5.0,M10.5.0/3";

TEST(SendLimits, PaceHoldsOverAnySixtySecondsAcrossTheTickWrap) {
    const uint32_t start = 0xFFFFFFFFu - 30000; // the minute spans the wrap of the tick
    const struct {
        int32_t MaxPerMinute;
        std::vector<uint32_t> TakenAt; // ms after start
        uint32_t AskedAt;
        bool MayTake;
        const char* Note;
    } cases[] = {
        {3, {0, 1000}, 1500, true, "room for a third"},
        {3, {0, 1000, 2000}, 59999, false, "three within the minute fill it"},
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
        const char* SentAt[2];
        const char* AskedAt;
        const char* PeriodStart;
        int32_t SentToday; // the limit is 2
        const char* Note;
    } cases[] = {
        {390, {"12-07 06:30", "12-08 06:29"}, "12-08 06:29:59", "12-07 06:30", 2, "one day"},
        {390, {"12-07 06:30", "12-08 06:29"}, "12-08 06:30", "12-08 06:30", 0, "reset at 06:30"},
        {0, {"10-25 00:30", "10-25 23:30"}, "10-25 23:45", "10-25 00:00", 2, "a 25-hour day"},
        {0, {"03-28 23:59", "03-29 00:30"}, "03-29 23:45", "03-29 00:00", 1, "a 23-hour day"},
        {390, {"11-29 12:00", "11-30 12:00"}, "12-01 03:00", "11-30 06:30", 1, "month before"},
    };
    for (const auto& c : cases) {
        TSendLimits limits(0, 2, c.ResetMin);
        for (const char* at : c.SentAt)
            limits.Sent(Local(at));
        const std::time_t asked = Local(c.AskedAt);
        EXPECT_EQ(limits.PeriodStart(asked), Local(c.PeriodStart)) << c.Note;
        EXPECT_EQ(limits.SentToday(asked), c.SentToday) << c.Note;
        EXPECT_EQ(limits.MayTake(asked, 0), c.SentToday < 2) << c.Note;
    }
}

TEST(SendLimits, RestoredCountHoldsOnlyWithinItsPeriod) {
    const test::TZoneGuard zone(Cet);
    const std::time_t now = Local("12-08 12:00");
    const std::time_t today = Local("12-08 06:30");
    const struct {
        std::time_t PeriodStart;
        int32_t Count;
        bool AtLimit;
        int32_t CountAfterSent;
        const char* Note;
    } cases[] = {
        {today, 50, true, 51, "a restart keeps the day's count"},
        {today, 49, false, 50, "one left"},
        {Local("12-07 06:30"), 50, false, 1, "yesterday's count is over"},
        {Local("12-08 00:00"), 50, false, 1, "a count of another reset time is over"},
    };
    for (const auto& c : cases) {
        TSendLimits limits(0, 50, 390);
        limits.Restore(c.PeriodStart, c.Count);
        EXPECT_EQ(limits.AtDailyLimit(now), c.AtLimit) << c.Note;
        limits.Sent(now);
        EXPECT_EQ(limits.StoredPeriod(), today) << c.Note;
        EXPECT_EQ(limits.StoredCount(), c.CountAfterSent) << c.Note;
    }
    EXPECT_FALSE(TSendLimits(0, 0).AtDailyLimit(now)) << "0 is no daily limit";
}

} // namespace
} // namespace qvx
