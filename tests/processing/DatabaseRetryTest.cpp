// When the worker tries the database again, and which failures it logs.
#include "processing/DatabaseRetry.h"

#include <gtest/gtest.h>
#include <limits>

namespace qvx {
namespace {

TEST(DatabaseRetryTest, DelaysDoubleUpToAMinuteAndOnlyNewMessagesAreLogged) {
    // Starts just before the tick wraps, so that every comparison crosses it.
    uint32_t now = std::numeric_limits<uint32_t>::max() - 15000;
    struct {
        const char* Message;
        bool Logged;
        uint32_t DelayMs;
    } const failures[] = {
        {"connection refused", true, 10000},  {"connection refused", false, 20000},
        {"connection refused", false, 40000}, {"no route to host", true, 60000},
        {"no route to host", false, 60000},   {"connection refused", true, 60000},
    };
    TDatabaseRetry retry;
    EXPECT_FALSE(retry.Due(now)) << "nothing is due before a failure";
    for (const auto& f : failures) {
        EXPECT_EQ(retry.Failed(f.Message, now), f.Logged) << f.Message << " at " << f.DelayMs;
        EXPECT_EQ(retry.DelayMs(), f.DelayMs) << f.Message;
        EXPECT_FALSE(retry.Due(now + f.DelayMs - 1)) << "one ms early, delay " << f.DelayMs;
        EXPECT_TRUE(retry.Due(now + f.DelayMs)) << "on time, delay " << f.DelayMs;
        now += f.DelayMs;
    }
    retry.Reset();
    EXPECT_FALSE(retry.Due(now + 100000)) << "a reset retry is not due";
    EXPECT_TRUE(retry.Failed("connection refused", now)) << "after a reset the error is new";
    EXPECT_EQ(retry.DelayMs(), TDatabaseRetry::FirstDelayMs)
        << "after a reset the delay starts over";
}

} // namespace
} // namespace qvx
