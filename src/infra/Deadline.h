// Waits bounded by steady_clock deadlines, shared by every poll() loop: the serial port, the
// AT exchange and the database calls. A deadline never moves with the wall clock, and a wait
// converted for poll() is rounded up, so it never ends before the time asked for.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>

namespace qvx {

using TClock = std::chrono::steady_clock;

// Milliseconds for poll() until a deadline that is left away: rounded up, never negative.
inline int PollTimeoutMs(TClock::duration left) noexcept {
    const int64_t ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return int(std::clamp<int64_t>(ms, 0, INT_MAX));
}

} // namespace qvx
