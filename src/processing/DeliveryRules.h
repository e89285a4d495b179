// Pure rules of the sending pass: the sending window, a message's lifetime, and how a number
// names a subscriber. Kept apart from the worker thread, which applies them, so that they are
// checked without a database or a terminal; the terminal thread applies VerdictAtHead too.
#pragma once

#include "infra/Queues.h"
#include "terminal/Siemens.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace qvx {

// Messages go out from FirstSendingHour:00:00 to EndSendingHour-1:59:59 local time.
constexpr int FirstSendingHour = 8;
constexpr int EndSendingHour = 22;

// True when a message may be handed to the terminal at this local hour (0..23).
bool IsSendingHour(int localHour) noexcept;
// The same for a moment in time, judged in the local time zone (TZ is read anew each call).
bool InSendingWindow(std::time_t now) noexcept;
// A queued message carries the moment of its registration in RegDt, as local calendar days;
// its lifetime is counted in seconds. These two are the only conversions between the two.
// RegisteredAt: the RegDt of a row ageSec old at the moment now of the pass.
TDateTime RegisteredAt(TDateTime now, double ageSec) noexcept;
// How many seconds old the message is at now (by the local clock, as RegDt is).
double AgeSec(const TSMS& sms, std::time_t now);
// Judges a queued message again when it reaches the head of the terminal's queue: past its
// lifetime (oldHours from RegDt; a RegDt of 0 never expires) it is given up, outside the
// sending window it is returned; reason says why in the service's words.
TSendVerdict VerdictAtHead(const TSMS& sms, std::time_t now, int32_t oldHours, std::string& reason);
// The key under which an answer's rows are found: the last ten digits of the number, so that
// +7 916 123-45-67 and 8 916 123-45-67 name the same subscriber.
std::string SubscriberKey(std::string_view telephone);
// A number with a letter in it (Latin or Cyrillic, cp1251) is no number: sending its digits
// alone would reach somebody else.
bool HasLetter(std::string_view telephone) noexcept;

} // namespace qvx
