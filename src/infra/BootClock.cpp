#include "infra/BootClock.h"

#include <ctime>

namespace qvx {

namespace {

int64_t Ms(clockid_t clock) noexcept {
    timespec now{};
    clock_gettime(clock, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

uint64_t BootMs() noexcept {
    return static_cast<uint64_t>(Ms(CLOCK_BOOTTIME));
}

int64_t WallMs() noexcept {
    return Ms(CLOCK_REALTIME);
}

} // namespace qvx
