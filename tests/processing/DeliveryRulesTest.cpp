// The pure rules of the sending pass and of reading database parameters.
#include "WorkerHarness.h"
#include "processing/Database.h"
#include "processing/OutgoingDelivery.h"

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

TEST(SendingWindow, NumberWithoutDigits) {
    struct {
        const char* Number;
        bool Usable;
    } const cases[] = {
        {"", false},     {"+", false}, {"( ) - ", false},
        {"abc", false},  {"+7", true}, {"8 (916) 555-01-02", true},
        {"tel:0", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HasDigit(c.Number), c.Usable) << "number '" << c.Number << "'";
}

} // namespace
} // namespace qvx
