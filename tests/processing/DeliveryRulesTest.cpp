// The pure rules of the sending pass and of reading database parameters.
#include "processing/DeliveryRules.h"

#include "WorkerHarness.h"
#include "processing/Database.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace qvx {
namespace {

// A moment given as a UTC calendar time.
std::time_t Utc(int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 4;
    tm.tm_mday = 15;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

using test::TZoneGuard;

TEST(SendingWindow, EdgesOfTheDay) {
    const TZoneGuard zone("UTC");
    struct {
        int Hour, Minute, Second;
        bool Open;
    } const cases[] = {
        {0, 0, 0, false},   {7, 59, 59, false}, {8, 0, 0, true},     {12, 30, 0, true},
        {21, 59, 59, true}, {22, 0, 0, false},  {23, 59, 59, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(InSendingWindow(Utc(c.Hour, c.Minute, c.Second)), c.Open)
            << "at " << c.Hour << ":" << c.Minute << ":" << c.Second << " local time";
}

TEST(SendingWindow, FollowsTheLocalZone) {
    // 05:30 UTC is 08:30 three hours east (POSIX writes that zone as UTC-3) and 00:30 five
    // hours west; a zone that changes while the process runs counts at once.
    const std::time_t moment = Utc(5, 30, 0);
    {
        const TZoneGuard zone("QVX-3");
        EXPECT_TRUE(InSendingWindow(moment)) << "08:30 local must be inside the window";
    }
    {
        const TZoneGuard zone("QVX+5");
        EXPECT_FALSE(InSendingWindow(moment)) << "00:30 local must be outside the window";
    }
}

// A queued message is judged again at the head: the lifetime counts from its registration,
// the window from the clock at that moment. The pass that handed it over ran a minute before.
TEST(SendingWindow, VerdictAtTheHeadOfTheQueue) {
    const TZoneGuard zone("UTC");
    struct {
        int Hour, Minute;
        double AgeSec; // at the moment of the verdict; < 0: no registration time
        int32_t OldHours;
        TSendVerdict Verdict;
        const char* Note;
    } const cases[] = {
        {12, 0, 3600, 24, TSendVerdict::Send, "young, inside the window"},
        {12, 0, 86399.5, 24, TSendVerdict::Send, "half a second inside the lifetime"},
        {12, 0, 86400.5, 24, TSendVerdict::GiveUp, "half a second past the lifetime"},
        {12, 0, 3599.5, 1, TSendVerdict::Send, "an hour's lifetime, not over yet"},
        {12, 0, 3600.5, 1, TSendVerdict::GiveUp, "an hour's lifetime, just over"},
        {21, 59, 3600, 24, TSendVerdict::Send, "the last minute of the window"},
        {22, 0, 3600, 24, TSendVerdict::Return, "the window has closed"},
        {22, 0, 25 * 3600, 24, TSendVerdict::GiveUp, "too old weighs more than too late"},
        {12, 0, -1, 24, TSendVerdict::Send, "without a registration time"},
    };
    for (const auto& c : cases) {
        const std::time_t now = Utc(c.Hour, c.Minute, 0);
        constexpr int PassBeforeSec = 60;
        TSMS sms;
        if (c.AgeSec >= 0)
            sms.RegDt = RegisteredAt(ToDateTime(now - PassBeforeSec), c.AgeSec - PassBeforeSec);
        std::string reason;
        EXPECT_EQ(VerdictAtHead(sms, now, c.OldHours, reason), c.Verdict) << c.Note;
        EXPECT_EQ(reason.empty(), c.Verdict == TSendVerdict::Send) << c.Note << ": " << reason;
    }
}

TEST(SendingWindow, NumbersWithLetters) {
    struct {
        const char* Number;
        bool Letter;
    } const cases[] = {
        {"", false},
        {"+7 (916) 555-01-02", false},
        {"8.916/555", false},
        {"7916abc1234", true},
        {"79161234567Z", true},
        {"tel:0", true},
        {"+7916 доб 5", true},
        {"7916Ё", true},
        {"7916\x98", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HasLetter(c.Number), c.Letter) << "number '" << c.Number << "'";
    EXPECT_EQ(SubscriberKey("+7 (916) 123-45-67"), SubscriberKey("8 916 1234567"))
        << "an answer must find its rows whichever way the number is written";
    EXPECT_EQ(SubscriberKey("12345"), "12345") << "a short number is its own key";
}

} // namespace
} // namespace qvx
