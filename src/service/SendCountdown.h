// The arithmetic of FSendCountdown: every timer tick asks the worker to collect received
// messages, and the first tick and every 300th after it also ask for a sending pass (every
// five minutes at one tick a second). Used by the timer thread of TQuorvexSMSSvc.
#pragma once

#include <cstdint>

namespace qvx {

constexpr int32_t InitialSendCountdown = 1;
constexpr int32_t SendPeriodTicks = 300;

// One tick: true when this tick asks for a sending pass.
inline bool SendCountdownTick(int32_t& countdown) noexcept {
    if (--countdown > 0)
        return false;
    countdown = SendPeriodTicks;
    return true;
}

} // namespace qvx
