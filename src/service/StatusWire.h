// The status as it travels from the service to "quorvexsms --status": one line that starts
// with the word "status" and goes on with tab-separated key=value fields. Texts are cp1251 with
// backslash, tab, CR and LF escaped, so a field never breaks the line. Unknown keys are passed
// over, so that an older client can read a newer service. Each terminal of the list is a
// "term=<name>" field followed by its "term_..." fields. Pure functions.
#pragma once

#include "processing/WorkerStatus.h"

#include <optional>
#include <string>
#include <string_view>

namespace qvx {

// The longest text a field carries; the rest of a longer one is cut off.
constexpr size_t StatusTextMax = 1000;
// The most terminals the line carries, and the longest name and device of each: a line with
// more terminals is refused, longer texts are cut.
constexpr size_t StatusTerminalsMax = 16;
constexpr size_t StatusNameMax = 32;
constexpr size_t StatusDeviceMax = 128;

// The line with its line feed.
std::string EncodeStatus(const TWorkerStatus& status);
// The line without its line feed; nullopt when it is not a status line or a field is
// malformed (a number that is none, an unknown escape, a terminal's field before its name,
// more than StatusTerminalsMax terminals).
std::optional<TWorkerStatus> DecodeStatus(std::string_view line);

} // namespace qvx
