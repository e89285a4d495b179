// Owner of one file descriptor for the service host's sockets and signal descriptor: closes it
// when it goes. Moving is allowed, copying is not.
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
        // The descriptor is released even when close() reports EINTR, so it is never retried.
        if (FFd >= 0)
            close(FFd);
        FFd = fd;
    }

private:
    int FFd = -1;
};

} // namespace qvx
