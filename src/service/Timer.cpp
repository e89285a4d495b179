#include "service/Timer.h"

namespace qvx {

bool TSteadyTickSource::SleepUntil(TClock::time_point deadline) {
    std::unique_lock lock(FLock);
    // wait_until with a steady deadline waits on CLOCK_MONOTONIC, so changing the wall
    // clock neither shortens nor stretches a tick.
    return !FWake.wait_until(lock, deadline, [this] { return FCancelled; });
}

void TSteadyTickSource::Cancel() {
    {
        std::lock_guard lock(FLock);
        FCancelled = true;
    }
    FWake.notify_all();
}

void TSteadyTickSource::Rearm() {
    std::lock_guard lock(FLock);
    FCancelled = false;
}

TTickSource::TClock::time_point NextTickDeadline(TTickSource::TClock::time_point due,
                                                 TTickSource::TClock::time_point now,
                                                 std::chrono::milliseconds interval) {
    const auto next = due + interval;
    if (now <= next)
        return next;
    const auto missed = (now - next) / interval + 1;
    return next + missed * interval;
}

TTimer::TTimer(std::chrono::milliseconds interval, std::function<void()> onTick,
               TTickSource& source)
    : FInterval(interval), FOnTick(std::move(onTick)), FSource(source) {}

TTimer::~TTimer() {
    Stop();
}

void TTimer::Start() {
    if (FThread.joinable())
        return;
    FSource.Rearm();
    FThread = std::thread([this] { Run(); });
}

void TTimer::Stop() noexcept {
    if (!FThread.joinable())
        return;
    FSource.Cancel();
    FThread.join();
}

void TTimer::Run() noexcept {
    auto due = FSource.Now() + FInterval;
    while (FSource.SleepUntil(due)) {
        try {
            FOnTick();
        } catch (...) {
            // A tick that failed is simply over; the next one comes on time.
        }
        due = NextTickDeadline(due, FSource.Now(), FInterval);
    }
}

} // namespace qvx
