#include "LineRelay.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace qvx {

namespace {

// Bytes the relay keeps for a side that does not read; more is dropped, as a line would.
constexpr size_t BufferMax = 1 << 20;
// Line time handed on in one write: short enough to keep the pacing smooth.
constexpr auto ChunkTime = std::chrono::milliseconds(2);

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

} // namespace

void TLineRelay::Start(const std::string& linkPath, const std::string& terminalPath, int32_t baud) {
    std::string error;
    if (!FDriverSide.Open(error))
        throw std::runtime_error("relay pty: " + error);
    FTerminal = open(terminalPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FTerminal < 0)
        throw std::runtime_error(SystemError("relay: open " + terminalPath));
    FWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    unlink(linkPath.c_str());
    if (FWake < 0 || symlink(FDriverSide.SlavePath().c_str(), linkPath.c_str()) != 0)
        throw std::runtime_error(SystemError("relay: link " + linkPath));
    FLinkPath = linkPath;
    FBaud = baud;
    FLineFreeAt = TClock::now();
    FThread = std::thread([this] { Run(); });
}

void TLineRelay::Stop() noexcept {
    if (FThread.joinable()) {
        FStopping.store(true);
        const uint64_t one = 1;
        if (write(FWake, &one, sizeof one) < 0) {
            // The thread also looks at the flag within its next wait.
        }
        FThread.join();
    }
    if (!FLinkPath.empty())
        unlink(FLinkPath.c_str());
    FLinkPath.clear();
    for (int* fd : {&FTerminal, &FWake}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    FDriverSide.Close();
}

void TLineRelay::Run() noexcept {
    const int driver = FDriverSide.MasterFd();
    while (!FStopping.load()) {
        const auto waitTime = SendDue();
        pollfd fds[3] = {{FWake, POLLIN, 0},
                         {driver, short(POLLIN | (FToDriver.empty() ? 0 : POLLOUT)), 0},
                         {FTerminal, POLLIN, 0}};
        timespec timeout{};
        timespec* timeoutPointer = nullptr;
        if (!FToTerminal.empty()) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(waitTime).count();
            timeout.tv_sec = ns / 1'000'000'000;
            timeout.tv_nsec = ns % 1'000'000'000;
            timeoutPointer = &timeout;
        }
        if (ppoll(fds, 3, timeoutPointer, nullptr) < 0)
            continue;
        if (fds[1].revents & POLLIN)
            Forward(driver, FToTerminal);
        if (fds[2].revents & POLLIN)
            Forward(FTerminal, FToDriver);
        if (!FToDriver.empty())
            Drain(driver, FToDriver);
        if ((fds[1].revents | fds[2].revents) & (POLLHUP | POLLERR))
            usleep(10000); // a side went away; never spin on it
    }
}

TLineRelay::TClock::duration TLineRelay::SendDue() {
    const auto now = TClock::now();
    if (FToTerminal.empty())
        return TClock::duration::zero();
    if (FLineFreeAt > now)
        return FLineFreeAt - now;
    const auto byteTime = std::chrono::nanoseconds(10'000'000'000LL / FBaud);
    const size_t chunk = std::max<size_t>(1, size_t(ChunkTime / byteTime));
    const ssize_t written =
        write(FTerminal, FToTerminal.data(), std::min(chunk, FToTerminal.size()));
    if (written <= 0)
        return std::chrono::milliseconds(1);
    FToTerminal.erase(0, size_t(written));
    FLineFreeAt = std::max(now, FLineFreeAt) + byteTime * written;
    return FLineFreeAt - now;
}

void TLineRelay::Forward(int from, std::string& buffer) {
    char bytes[4096];
    const ssize_t got = read(from, bytes, sizeof bytes);
    if (got > 0 && buffer.size() + size_t(got) <= BufferMax)
        buffer.append(bytes, size_t(got));
}

void TLineRelay::Drain(int to, std::string& buffer) {
    const ssize_t written = write(to, buffer.data(), buffer.size());
    if (written > 0)
        buffer.erase(0, size_t(written));
}

} // namespace qvx
