#include "infra/Thread.h"

#include <atomic>
#include <gtest/gtest.h>
#include <poll.h>

namespace qvx {
namespace {

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// Sleeps far longer than any test may run; only Terminate() can end it.
class TSleeper : public TThread {
public:
    std::atomic<bool> FStarted{false};
    std::atomic<int> FSleepResult{-1};

protected:
    void Execute() override {
        FStarted = true;
        FSleepResult = SleepMs(3600 * 1000) ? 1 : 0;
    }
};

TEST(ThreadTest, TerminateWakesSleepAndSignalsTheStopDescriptor) {
    TSleeper thread;
    ASSERT_GE(thread.StopFd(), 0) << "no stop descriptor";
    EXPECT_FALSE(Readable(thread.StopFd())) << "stop descriptor readable before Terminate";
    ASSERT_TRUE(thread.Start());
    EXPECT_FALSE(thread.Start()) << "a running thread cannot start twice";
    while (!thread.FStarted)
        std::this_thread::yield();
    EXPECT_FALSE(thread.Terminated());
    thread.Terminate();
    EXPECT_TRUE(Readable(thread.StopFd())) << "Terminate must make the stop descriptor readable";
    thread.WaitFor(); // would hang for an hour if the sleep were not cut short
    EXPECT_EQ(thread.FSleepResult, 0) << "SleepMs must report the termination";
    EXPECT_TRUE(thread.Terminated());
    EXPECT_TRUE(Readable(thread.StopFd())) << "the stop descriptor stays readable";
}

TEST(ThreadTest, TerminateBeforeStartEndsTheFirstSleepAtOnce) {
    TSleeper thread;
    thread.Terminate();
    ASSERT_TRUE(thread.Start());
    thread.WaitFor();
    EXPECT_EQ(thread.FSleepResult, 0);
}

class TShortSleeper : public TThread {
public:
    std::atomic<int> FSleepResult{-1};

protected:
    void Execute() override { FSleepResult = SleepMs(0) ? 1 : 0; }
};

TEST(ThreadTest, SleepOfARunningThreadReportsTrue) {
    TShortSleeper thread;
    ASSERT_TRUE(thread.Start());
    thread.WaitFor();
    EXPECT_EQ(thread.FSleepResult, 1) << "an unterminated sleep must return true";
}

// Waits for work far longer than any test may run; only Wake() with work, or Terminate(), can
// end the wait.
class TWorkWaiter : public TThread {
public:
    std::atomic<bool> FStarted{false};
    std::atomic<bool> FWork{false};
    std::atomic<int> FSleepResult{-1};

    void Post() {
        FWork = true;
        Wake();
    }

protected:
    void Execute() override {
        FStarted = true;
        FSleepResult = SleepMs(3600 * 1000, [this] { return FWork.load(); }) ? 1 : 0;
    }
};

TEST(ThreadTest, WakeEndsAWaitForWorkAndTerminateStillDoes) {
    for (const bool terminate : {false, true}) {
        TWorkWaiter thread;
        ASSERT_TRUE(thread.Start());
        while (!thread.FStarted)
            std::this_thread::yield();
        if (terminate)
            thread.Terminate();
        else
            thread.Post();
        thread.WaitFor(); // would hang for an hour if the wait were not cut short
        EXPECT_EQ(thread.FSleepResult, terminate ? 0 : 1)
            << (terminate ? "a terminated wait must report false"
                          : "a wait ended by work must report true");
    }
}

class TThrower : public TThread {
protected:
    void Execute() override { throw std::runtime_error("escaped"); }
};

TEST(ThreadTest, AnEscapedExceptionEndsOnlyTheThread) {
    TThrower thread;
    ASSERT_TRUE(thread.Start());
    thread.WaitFor();
    SUCCEED() << "the process is still alive";
}

} // namespace
} // namespace qvx
