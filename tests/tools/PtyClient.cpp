#include "tools/PtyClient.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace qvx::test {

namespace {

using TClock = std::chrono::steady_clock;

int Remaining(TClock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

TPtyClient::TPtyClient(const std::string& path) {
    FFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    if (FFd >= 0 && tcgetattr(FFd, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(FFd, TCSANOW, &settings);
    }
}

TPtyClient::~TPtyClient() {
    if (FFd >= 0)
        close(FFd);
}

bool TPtyClient::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = write(FFd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno != EAGAIN && errno != EINTR)
                return false;
            pollfd fd{FFd, POLLOUT, 0};
            poll(&fd, 1, 100);
            continue;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

std::string TPtyClient::ReadUntil(std::string_view marker, int timeoutMs) {
    auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t found = FPending.find(marker);
        if (found != std::string::npos) {
            std::string result = FPending.substr(0, found + marker.size());
            FPending.erase(0, found + marker.size());
            return result;
        }
        pollfd fd{FFd, POLLIN, 0};
        if (poll(&fd, 1, Remaining(deadline)) <= 0 || (fd.revents & POLLIN) == 0)
            break;
        char buffer[4096];
        ssize_t got = read(FFd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        FPending.append(buffer, static_cast<size_t>(got));
    }
    std::string result = "TIMEOUT:" + FPending;
    FPending.clear();
    return result;
}

std::string TPtyClient::Command(std::string_view command, int timeoutMs) {
    Send(std::string(command) + "\r");
    return ReadAnswer(timeoutMs);
}

std::string TPtyClient::ReadAnswer(int timeoutMs) {
    auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    std::string answer;
    for (;;) {
        std::string line = ReadUntil("\r\n", Remaining(deadline));
        answer += line;
        if (line.rfind("TIMEOUT:", 0) == 0)
            return "TIMEOUT:" + answer;
        if (line == "OK\r\n" || line.find("ERROR") != std::string::npos)
            return answer;
    }
}

bool TPtyClient::Skip(size_t count, int timeoutMs, std::string* sample) {
    auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    size_t seen = FPending.size();
    if (sample)
        *sample = FPending;
    FPending.clear();
    while (seen < count) {
        pollfd fd{FFd, POLLIN, 0};
        if (poll(&fd, 1, Remaining(deadline)) <= 0)
            return false;
        char buffer[4096];
        ssize_t got = read(FFd, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        seen += static_cast<size_t>(got);
        if (sample && sample->size() < 65536)
            sample->append(buffer, static_cast<size_t>(got));
    }
    return true;
}

bool TPtyClient::WaitHangup(int timeoutMs) {
    auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd fd{FFd, POLLIN, 0};
        if (poll(&fd, 1, Remaining(deadline)) <= 0)
            return false;
        if (fd.revents & (POLLHUP | POLLERR))
            return true;
        char buffer[4096];
        ssize_t got = read(FFd, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno == EIO))
            return true;
    }
}

} // namespace qvx::test
