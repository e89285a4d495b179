#include "support/PtyPair.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <unistd.h>

namespace qvx::test {

namespace {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits for events on fd until deadlineMs; false on timeout.
bool WaitFor(int fd, short events, int64_t deadlineMs) {
    for (;;) {
        const int64_t leftMs = deadlineMs - NowMs();
        if (leftMs <= 0)
            return false;
        pollfd ready{fd, events, 0};
        const int n = poll(&ready, 1, int(leftMs));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

TPtyPair::TPtyPair() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0)
        throw std::runtime_error("posix_openpt failed");
    char name[128] = {};
    if (grantpt(FMaster) != 0 || unlockpt(FMaster) != 0 ||
        ptsname_r(FMaster, name, sizeof name) != 0) {
        close(FMaster);
        throw std::runtime_error("cannot prepare the pseudo-terminal slave");
    }
    fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    FSlavePath = name;
}

TPtyPair::~TPtyPair() {
    CloseMaster();
}

bool TPtyPair::Write(std::string_view bytes) const {
    const int64_t deadlineMs = NowMs() + 1000;
    while (!bytes.empty()) {
        const ssize_t n = write(FMaster, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(size_t(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (!WaitFor(FMaster, POLLOUT, deadlineMs))
            return false;
    }
    return true;
}

std::string TPtyPair::Read(size_t count, int timeoutMs) const {
    const int64_t deadlineMs = NowMs() + timeoutMs;
    std::string data;
    char buffer[4096];
    while (data.size() < count) {
        const size_t want = std::min(sizeof buffer, count - data.size());
        const ssize_t n = read(FMaster, buffer, want);
        if (n > 0) {
            data.append(buffer, size_t(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        if (!WaitFor(FMaster, POLLIN, deadlineMs))
            break;
    }
    return data;
}

void TPtyPair::CloseMaster() {
    if (FMaster >= 0)
        close(FMaster);
    FMaster = -1;
}

} // namespace qvx::test
