#include "service/Timer.h"

#include "service/SendCountdown.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace qvx {
namespace {

using namespace std::chrono_literals;
using TClock = TTickSource::TClock;

// A clock that never waits: each sleep jumps to its deadline plus a lateness, and the run
// ends after a given number of sleeps. The timer thread alone touches it until it is joined.
class TFakeTickSource final : public TTickSource {
public:
    TFakeTickSource(std::chrono::milliseconds lateness, size_t ticks)
        : FLateness(lateness), FTicks(ticks) {}

    TClock::time_point Now() override { return FNow; }
    bool SleepUntil(TClock::time_point deadline) override {
        if (FDeadlines.size() == FTicks)
            return false;
        FDeadlines.push_back(deadline);
        FNow = std::max(FNow, deadline) + FLateness;
        return true;
    }
    void Cancel() override {}
    void Rearm() override {}

    void Advance(std::chrono::milliseconds ms) { FNow += ms; }
    std::vector<std::chrono::milliseconds> DeadlinesFromStart() const {
        std::vector<std::chrono::milliseconds> result;
        for (auto deadline : FDeadlines)
            result.push_back(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Start));
        return result;
    }

    const TClock::time_point Start = TClock::time_point(1000h);

private:
    TClock::time_point FNow = Start;
    std::chrono::milliseconds FLateness;
    size_t FTicks;
    std::vector<TClock::time_point> FDeadlines;
};

TEST(SendCountdownTest, FirstTickAndEvery300thAskForASendingPass) {
    int32_t countdown = InitialSendCountdown;
    std::vector<int> sendingTicks;
    for (int tick = 1; tick <= 901; ++tick)
        if (SendCountdownTick(countdown))
            sendingTicks.push_back(tick);
    EXPECT_EQ(sendingTicks, (std::vector<int>{1, 301, 601, 901}))
        << "ticks 1, 301, 601 and 901 must ask for a sending pass, the ones between must not";
}

TEST(TimerTest, TicksStayOnTheGridOfTheStart) {
    struct TCase {
        const char* Note;
        std::chrono::milliseconds Lateness;
        std::vector<std::chrono::milliseconds> CallbackCost; // per tick; missing: 0
        std::vector<std::chrono::milliseconds> Deadlines;
    };
    const std::vector<TCase> cases = {
        {"on time, instant callback", 0ms, {}, {1000ms, 2000ms, 3000ms, 4000ms}},
        {"late wake-ups and slow callbacks do not drift",
         40ms,
         {300ms, 300ms, 300ms, 300ms},
         {1000ms, 2000ms, 3000ms, 4000ms}},
        {"a callback just under the interval keeps every tick",
         0ms,
         {999ms, 999ms, 999ms},
         {1000ms, 2000ms, 3000ms, 4000ms}},
        {"a stall drops the missed ticks instead of a burst",
         0ms,
         {0ms, 2500ms},
         {1000ms, 2000ms, 5000ms, 6000ms}},
        {"a callback of exactly one interval keeps the next tick",
         0ms,
         {1000ms},
         {1000ms, 2000ms, 3000ms, 4000ms}},
        {"a callback just over one interval skips one tick",
         0ms,
         {1001ms},
         {1000ms, 3000ms, 4000ms, 5000ms}},
    };
    for (const TCase& c : cases) {
        TFakeTickSource source(c.Lateness, c.Deadlines.size());
        size_t ticks = 0;
        TTimer timer(
            1000ms,
            [&] {
                if (ticks < c.CallbackCost.size())
                    source.Advance(c.CallbackCost[ticks]);
                ++ticks;
            },
            source);
        timer.Start();
        timer.Stop();
        EXPECT_EQ(source.DeadlinesFromStart(), c.Deadlines) << c.Note << ": wrong tick deadlines";
        EXPECT_EQ(ticks, c.Deadlines.size()) << c.Note << ": every deadline reached must tick";
    }
}

TEST(TimerTest, StopEndsAWaitAtOnceWithoutATick) {
    TSteadyTickSource source;
    int ticks = 0;
    TTimer timer(
        1h, [&] { ++ticks; }, source);
    timer.Start();
    EXPECT_TRUE(timer.Enabled()) << "a started timer must be enabled";
    timer.Stop(); // would hang for an hour if the wait ignored the stop
    EXPECT_FALSE(timer.Enabled()) << "a stopped timer must be disabled";
    EXPECT_EQ(ticks, 0) << "a timer stopped before its first interval must not tick";
    timer.Start();
    EXPECT_TRUE(timer.Enabled()) << "a stopped timer must start again";
    timer.Stop();
}

TEST(TimerTest, RealClockTicksThroughTheCallback) {
    TSteadyTickSource source;
    std::mutex lock;
    std::condition_variable ticked;
    int ticks = 0;
    TTimer timer(
        1ms,
        [&] {
            std::lock_guard guard(lock);
            ++ticks;
            ticked.notify_all();
        },
        source);
    timer.Start();
    {
        std::unique_lock guard(lock);
        EXPECT_TRUE(ticked.wait_for(guard, 10s, [&] { return ticks >= 3; }))
            << "a running timer must keep calling its callback";
    }
    timer.Stop();
}

} // namespace
} // namespace qvx
