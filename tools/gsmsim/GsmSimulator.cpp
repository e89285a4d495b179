// The simulator's thread: reads the driver's bytes from the master, feeds them to the
// dialogue, writes the answers when they are due, and plugs or unplugs the pty on request.
#include "gsmsim/GsmSimulator.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvx {

namespace {

constexpr uint32_t RequestTimeoutMs = 5000;
constexpr size_t ReadChunk = 4096;
constexpr size_t WriteChunk = 4096;
// Bytes of an answer that never ends: no line of it holds OK, ERROR or a prompt.
constexpr std::string_view EndlessLine = "+CMGL: 1,1,,23 0123456789ABCDEF0123456789ABCDEF\r\n";

// The link is ours to replace or remove only when it is a symlink (or missing): a wrong path
// must never cost the operator a file.
bool IsLinkOrMissing(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return errno == ENOENT;
    return S_ISLNK(info.st_mode);
}

int MillisecondsUntil(TGsmSimulator::TClock::time_point when,
                      TGsmSimulator::TClock::time_point now) {
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, 60000));
}

} // namespace

TGsmSimulator::TGsmSimulator() : FWakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TGsmSimulator::~TGsmSimulator() {
    Stop();
    if (FWakeFd >= 0)
        close(FWakeFd);
}

bool TGsmSimulator::Start() {
    if (FRunning.load() || FThread.joinable())
        return false;
    if (FWakeFd < 0) {
        std::lock_guard lock(FLock);
        FLastError = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    if (!DoPlug())
        return false;
    FStopping = false;
    try {
        FThread = std::thread([this] { Run(); });
    } catch (const std::exception& e) {
        std::lock_guard lock(FLock);
        FLastError = e.what();
        DoUnplug();
        return false;
    }
    FRunning = true;
    return true;
}

void TGsmSimulator::Stop() {
    if (FThread.joinable()) {
        FStopping = true;
        Wake();
        FThread.join();
    }
    FRunning = false;
    DoUnplug();
}

void TGsmSimulator::Wake() noexcept {
    uint64_t one = 1;
    if (FWakeFd >= 0 && write(FWakeFd, &one, sizeof one) < 0) {
        // The counter is full, so the thread is being woken anyway.
    }
}

bool TGsmSimulator::Unplug() {
    return Request(TRequest::Unplug);
}
bool TGsmSimulator::Plug() {
    return Request(TRequest::Plug);
}

// The pty belongs to the thread while it runs, so the change is made there; before Start()
// and after Stop() it is made at once.
bool TGsmSimulator::Request(TRequest request) {
    if (!FRunning.load()) {
        if (request == TRequest::Plug)
            return DoPlug();
        DoUnplug();
        return true;
    }
    std::unique_lock lock(FLock);
    FRequest = request;
    uint64_t serial = ++FRequestSerial;
    Wake();
    bool done = FChanged.wait_for(lock, std::chrono::milliseconds(RequestTimeoutMs),
                                  [&] { return FDoneSerial >= serial; });
    return done && FRequestResult;
}

void TGsmSimulator::ServeRequest() {
    TRequest request;
    uint64_t serial;
    {
        std::lock_guard lock(FLock);
        request = FRequest;
        serial = FRequestSerial;
        FRequest = TRequest::None;
    }
    if (request == TRequest::None)
        return;
    bool result = true;
    if (request == TRequest::Plug)
        result = DoPlug();
    else
        DoUnplug();
    {
        std::lock_guard lock(FLock);
        FRequestResult = result;
        FDoneSerial = serial;
    }
    FChanged.notify_all();
}

bool TGsmSimulator::DoPlug() {
    if (FPty.IsOpen())
        return true;
    std::string error;
    if (!FPty.Open(error) || !PointLink(FPty.SlavePath())) {
        std::lock_guard lock(FLock);
        if (!error.empty())
            FLastError = error;
        FPty.Close();
        return false;
    }
    std::lock_guard lock(FLock);
    FSlavePath = FPty.SlavePath();
    FDialogue.PowerOn();
    FOut.clear();
    FOutBytes = 0;
    FHeadSent = 0;
    FWantWrite = false;
    FLineFreeAt = TClock::now();
    return true;
}

void TGsmSimulator::DoUnplug() {
    std::string link = LinkPath();
    // The device vanishes first, then its line goes dead, as when a cable is pulled.
    if (!link.empty() && IsLinkOrMissing(link))
        unlink(link.c_str());
    FPty.Close();
    std::lock_guard lock(FLock);
    FSlavePath.clear();
    FOut.clear();
    FOutBytes = 0;
    FHeadSent = 0;
}

// Replaces the link in one step (rename), so that a driver opening it never finds it missing.
bool TGsmSimulator::PointLink(const std::string& slave) {
    std::string link = LinkPath();
    if (link.empty())
        return true;
    if (!IsLinkOrMissing(link)) {
        std::lock_guard lock(FLock);
        FLastError = "link " + link + ": exists and is not a symbolic link";
        return false;
    }
    std::string temporary = link + ".new" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(slave.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), link.c_str()) != 0) {
        std::lock_guard lock(FLock);
        FLastError = "link " + link + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

void TGsmSimulator::Run() noexcept {
    // Signals belong to the owner's thread.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    while (!FStopping.load()) {
        ServeRequest();
        int timeoutMs = -1;
        FlushOutput(timeoutMs);
        pollfd fds[2] = {{FWakeFd, POLLIN, 0}, {FPty.MasterFd(), POLLIN, 0}};
        if (FWantWrite)
            fds[1].events |= POLLOUT;
        nfds_t count = FPty.IsOpen() ? 2 : 1;
        if (poll(fds, count, timeoutMs) < 0) {
            if (errno != EINTR)
                usleep(1000); // nothing sensible to do but not to spin
            continue;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t value;
            if (read(FWakeFd, &value, sizeof value) < 0) {
                // EAGAIN: another wake-up consumed it already.
            }
        }
        if (count < 2)
            continue;
        if (fds[1].revents & POLLOUT)
            FWantWrite = false;
        if (fds[1].revents & POLLIN)
            ReadInput();
        else if (fds[1].revents & (POLLHUP | POLLERR))
            usleep(10000); // cannot happen while the slave is held open; never spin on it
    }
}

void TGsmSimulator::ReadInput() {
    char buffer[ReadChunk];
    ssize_t got = read(FPty.MasterFd(), buffer, sizeof buffer);
    if (got <= 0)
        return;
    std::vector<TSubmittedSms> recorded;
    std::function<void(const TSubmittedSms&)> handler;
    {
        std::lock_guard lock(FLock);
        size_t before = FDialogue.Submitted().size();
        TModemOutputs outputs;
        FDialogue.Feed(std::string_view(buffer, static_cast<size_t>(got)), outputs);
        auto now = TClock::now();
        // Output goes out in order, so an answer held back holds back everything behind it.
        for (const TModemOutput& output : outputs)
            QueueLocked(output.Bytes,
                        output.Answer ? now + std::chrono::milliseconds(FAnswerDelayMs +
                                                                        output.NetworkDelayMs)
                                      : now,
                        output.Acknowledges);
        const auto& submitted = FDialogue.Submitted();
        if (FOnSubmitted && submitted.size() > before)
            recorded.assign(submitted.begin() + static_cast<std::ptrdiff_t>(before),
                            submitted.end());
        handler = FOnSubmitted;
    }
    FChanged.notify_all();
    for (const TSubmittedSms& sms : recorded)
        handler(sms);
}

void TGsmSimulator::QueueLocked(std::string_view bytes, TClock::time_point notBefore,
                                uint64_t acknowledges) {
    // Nothing goes out on a pulled line, and a reader that never reads gets no more than
    // OutputMax bytes kept for it.
    if (bytes.empty() || FSlavePath.empty() || FOutBytes + bytes.size() > OutputMax)
        return;
    FOut.push_back({std::string(bytes), notBefore, acknowledges});
    FOutBytes += bytes.size();
}

// Takes the next piece that may go out now: whole pieces at once, or about 10 ms of line
// time when throttled.
bool TGsmSimulator::NextChunk(std::string& chunk, int& timeoutMs) {
    std::lock_guard lock(FLock);
    auto now = TClock::now();
    if (FOut.empty() && FEndless)
        QueueLocked(EndlessLine, now);
    if (FOut.empty())
        return false;
    const TOutChunk& head = FOut.front();
    if (head.NotBefore > now) {
        timeoutMs = MillisecondsUntil(head.NotBefore, now);
        return false;
    }
    size_t limit = WriteChunk;
    if (FBaudRate > 0) {
        if (FLineFreeAt > now) {
            timeoutMs = MillisecondsUntil(FLineFreeAt, now);
            return false;
        }
        limit = std::max<size_t>(1, static_cast<size_t>(FBaudRate) / 1000);
    }
    chunk = head.Bytes.substr(FHeadSent, limit);
    return true;
}

void TGsmSimulator::FlushOutput(int& timeoutMs) {
    if (FWantWrite || !FPty.IsOpen())
        return;
    std::string chunk;
    // A bounded number of rounds, so that an endless answer does not starve the reading.
    for (int round = 0; round < 16; ++round) {
        if (!NextChunk(chunk, timeoutMs))
            return;
        ssize_t written = write(FPty.MasterFd(), chunk.data(), chunk.size());
        if (written < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                FWantWrite = true;
                return;
            }
            written = static_cast<ssize_t>(chunk.size()); // a dead line swallows the bytes
        }
        Written(static_cast<size_t>(written), TClock::now());
    }
    timeoutMs = 0;
}

void TGsmSimulator::Written(size_t count, TClock::time_point now) {
    bool acknowledged = false;
    {
        std::lock_guard lock(FLock);
        if (FOut.empty())
            return;
        FHeadSent += count;
        FOutBytes -= std::min(FOutBytes, count);
        FBytesSent += count;
        if (FBaudRate > 0) // ten bits on the line for each byte: start, eight data bits, stop
            FLineFreeAt =
                std::max(now, FLineFreeAt) +
                std::chrono::microseconds(count * 10'000'000 / static_cast<size_t>(FBaudRate));
        if (FHeadSent < FOut.front().Bytes.size())
            return;
        if (FOut.front().Acknowledges != 0) {
            FDialogue.MarkAcknowledged(FOut.front().Acknowledges);
            acknowledged = true;
        }
        FOut.pop_front();
        FHeadSent = 0;
    }
    if (acknowledged)
        FChanged.notify_all();
}

} // namespace qvx
