// tmrProcessSMS: a thread that calls its callback once per interval of a steady clock. Tick k
// is due at start + k * interval, so a late wake-up or a slow callback does not shift the ticks
// after it. The clock is a TTickSource, so tests can run the schedule without waiting. Started
// and stopped by the service host's thread; the callback runs on the timer's own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace qvx {

class TTickSource {
public:
    using TClock = std::chrono::steady_clock;
    virtual ~TTickSource() = default;
    virtual TClock::time_point Now() = 0;
    // Waits until the deadline; returns false (at once, or as soon as it happens) when the
    // source has been cancelled.
    virtual bool SleepUntil(TClock::time_point deadline) = 0;
    virtual void Cancel() = 0;
    // Makes SleepUntil wait again after a Cancel.
    virtual void Rearm() = 0;
};

// The real clock: std::chrono::steady_clock, which does not jump with the wall time.
class TSteadyTickSource final : public TTickSource {
public:
    TClock::time_point Now() override { return TClock::now(); }
    bool SleepUntil(TClock::time_point deadline) override;
    void Cancel() override;
    void Rearm() override;

private:
    std::mutex FLock;
    std::condition_variable FWake;
    bool FCancelled = false;
};

// The deadline of the tick after the one that was due at `due`, seen at `now` once its
// callback has returned: one interval later; when that moment has passed already, the missed
// ticks are dropped and the next multiple of the interval after now is taken, so a stall never
// turns into a burst of ticks.
TTickSource::TClock::time_point NextTickDeadline(TTickSource::TClock::time_point due,
                                                 TTickSource::TClock::time_point now,
                                                 std::chrono::milliseconds interval);

class TTimer {
public:
    TTimer(std::chrono::milliseconds interval, std::function<void()> onTick, TTickSource& source);
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    // Enables the timer: the first tick comes one interval from now. Throws std::system_error
    // when the thread cannot be created; does nothing when the timer runs already.
    void Start();
    // Disables the timer and waits for its thread, so no callback runs after it returns. Must
    // not be called from the callback.
    void Stop() noexcept;
    bool Enabled() const noexcept { return FThread.joinable(); }

private:
    void Run() noexcept;

    std::chrono::milliseconds FInterval;
    std::function<void()> FOnTick;
    TTickSource& FSource;
    std::thread FThread;
};

} // namespace qvx
