#include "infra/Thread.h"

#include "infra/Deadline.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace qvx {

TStopEvent::TStopEvent() : FFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void TStopEvent::Signal() noexcept {
    if (!FFd)
        return;
    // The counter only grows, so repeated signals keep the descriptor readable; EAGAIN
    // (counter at its maximum) means it is readable already.
    const uint64_t one = 1;
    while (write(FFd.Get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TStopEvent::Reset() noexcept {
    if (!FFd)
        return;
    // Reading takes the whole counter at once; EAGAIN means it was not signalled.
    uint64_t count = 0;
    while (read(FFd.Get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

void BlockAsyncSignals() noexcept {
    sigset_t set;
    sigfillset(&set);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT})
        sigdelset(&set, fault);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TThread::~TThread() {
    // Last resort only: see the header. A joinable std::thread must never be destroyed.
    if (FThread.joinable()) {
        Terminate();
        WaitFor();
    }
}

bool TThread::Start() noexcept {
    if (FThread.joinable())
        return false;
    FFinished.store(false, std::memory_order_release);
    try {
        FThread = std::thread([this] {
            BlockAsyncSignals();
            try {
                Execute();
            } catch (...) {
                // Execute() must catch its own failures; an escaped one ends the thread
                // quietly instead of taking the whole service down through std::terminate.
            }
            FFinished.store(true, std::memory_order_release);
        });
        return true;
    } catch (...) {
        return false;
    }
}

void TThread::Terminate() noexcept {
    FTerminated.store(true, std::memory_order_release);
    FStop.Signal();
    // Taking the lock orders the flag against a sleeper between its check and its wait, so
    // the notification cannot be lost.
    try {
        std::lock_guard lock(FSleepLock);
    } catch (...) {
    }
    FSleepWake.notify_all();
}

void TThread::WaitFor() noexcept {
    if (!FThread.joinable() || FThread.get_id() == std::this_thread::get_id())
        return;
    try {
        FThread.join();
    } catch (...) {
    }
}

// The end of a sleep is fixed once, as a time point of the steady clock, so that spurious
// wake-ups and notifications meant for others neither shorten nor stretch it.
bool TThread::SleepMs(uint32_t ms) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lock(FSleepLock);
    return !FSleepWake.wait_until(lock, deadline, [this] { return Terminated(); });
}

bool TThread::SleepMs(uint32_t ms, const std::function<bool()>& ready) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lock(FSleepLock);
    FSleepWake.wait_until(lock, deadline, [this, &ready] { return Terminated() || ready(); });
    return !Terminated();
}

void TThread::Wake() noexcept {
    // As in Terminate(): the lock orders the caller's change against a sleeper between its
    // check of ready() and its wait.
    try {
        std::lock_guard lock(FSleepLock);
    } catch (...) {
    }
    FSleepWake.notify_all();
}

uint32_t GetTickCount() noexcept {
    const auto now = TClock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

} // namespace qvx
