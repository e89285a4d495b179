// TUniqueFd, the owner of one file descriptor: it is closed when the owner goes or takes
// another. Every descriptor of the service is held by one (the port, the logs, the stop event,
// sockets, locks and the signal descriptor). Moving is allowed, copying is not.
#pragma once

#include <unistd.h>
#include <utility>

namespace qvx {

class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) noexcept : FFd(fd) {}
    ~TUniqueFd() { Reset(); }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;
    TUniqueFd(TUniqueFd&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        if (this != &other)
            Reset(std::exchange(other.FFd, -1));
        return *this;
    }

    int Get() const noexcept { return FFd; }
    explicit operator bool() const noexcept { return FFd >= 0; }
    void Reset(int fd = -1) noexcept {
        Close();
        FFd = fd;
    }
    // Closes the descriptor now; false with errno set when close() reported an error. The
    // descriptor is released even then (also on EINTR), so it is never closed twice.
    bool Close() noexcept {
        if (FFd < 0)
            return true;
        return ::close(std::exchange(FFd, -1)) == 0;
    }

private:
    int FFd = -1;
};

} // namespace qvx
