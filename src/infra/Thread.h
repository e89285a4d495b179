// Base of the service's thread objects: created without running, configured through fields,
// started, then stopped by Terminate() and WaitFor(). Terminate() also makes StopFd()
// readable, so a poll() on a port or socket can include it and end at once.
#pragma once

#include "infra/UniqueFd.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace qvx {

// Owner of an eventfd that becomes readable once Signal() was called, until Reset().
class TStopEvent {
public:
    TStopEvent();
    TStopEvent(const TStopEvent&) = delete;
    TStopEvent& operator=(const TStopEvent&) = delete;

    void Signal() noexcept;
    void Reset() noexcept;
    int Fd() const noexcept { return FFd.Get(); }

private:
    TUniqueFd FFd;
};

class TThread {
public:
    TThread() = default;
    // Joins only as a last resort: the owner calls Terminate() and WaitFor() first, because
    // the derived object that Execute() uses is gone by the time this runs.
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts Execute() on a new thread; false when it is running already or cannot start.
    bool Start() noexcept;
    void Terminate() noexcept;
    void WaitFor() noexcept;
    // Execute() has returned: WaitFor() will not block.
    bool Finished() const noexcept { return FFinished.load(std::memory_order_acquire); }
    bool Terminated() const noexcept { return FTerminated.load(std::memory_order_acquire); }
    int StopFd() const noexcept { return FStop.Fd(); }
    // Sleeps up to ms milliseconds; returns false at once when the thread is terminated. Also
    // for the objects the thread runs, whose pauses a stop must cut short.
    bool SleepMs(uint32_t ms);

protected:
    // The thread body; must not let an exception escape.
    virtual void Execute() = 0;
    // The same, but Wake() ends the sleep early once ready() holds, so that a thread can wait
    // for work without waking up every few milliseconds to look for it.
    bool SleepMs(uint32_t ms, const std::function<bool()>& ready);
    // Called by another thread after it changed what ready() reads.
    void Wake() noexcept;

private:
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    TStopEvent FStop;
    std::mutex FSleepLock;
    std::condition_variable FSleepWake;
    std::thread FThread;
};

// Blocks every asynchronous signal in the calling thread (and the threads it starts): they
// belong to the service host, which waits for them in one place, and no other thread may run
// a handler. Faults stay deliverable so that a crash still ends the process with its report.
void BlockAsyncSignals() noexcept;

// Milliseconds of a steady clock, wrapping at 2^32; elapsed time is uint32_t(now - start).
uint32_t GetTickCount() noexcept;
// Whether the tick count has reached at, across its wrap every 49.7 days.
inline bool TickReached(uint32_t tick, uint32_t at) noexcept {
    return static_cast<int32_t>(tick - at) >= 0;
}

} // namespace qvx
