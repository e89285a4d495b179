// Pure rules of the sending pass, kept apart from the worker thread so that they can be
// checked without a database or a terminal.
#pragma once

#include <ctime>
#include <string_view>

namespace qvx {

// Messages go out from FirstSendingHour:00:00 to EndSendingHour-1:59:59 local time.
constexpr int FirstSendingHour = 8;
constexpr int EndSendingHour = 22;

// True when a message may be handed to the terminal at this local hour (0..23).
bool IsSendingHour(int localHour) noexcept;
// The same for a moment in time, judged in the local time zone (TZ is read anew each call).
bool InSendingWindow(std::time_t now) noexcept;
// The terminal submits only the digits of a number, so a number without any digit can never
// reach a subscriber.
bool HasDigit(std::string_view telephone) noexcept;

} // namespace qvx
