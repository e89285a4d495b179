// The status as it travels from the service to "quorvexsms --status": one line that starts
// with the word "status" and goes on with tab-separated key=value fields. Texts are cp1251 with
// backslash, tab, CR and LF escaped, so a field never breaks the line. Unknown keys are passed
// over, so that an older client can read a newer service, and fields a line lacks keep their
// defaults, so that a newer client can read an older one. Each terminal of the list is a
// "term=<name>" field followed by its "term_..." fields, each other host a "host=<name>" field
// followed by its "host_..." fields. Pure functions.
#pragma once

#include "processing/WorkerStatus.h"

#include <cstdint>
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
// The same for the other hosts on the database. PostgreSQL keeps 63 bytes of an application
// name, so no name is cut in practice; with every field at its longest the line still fits
// StatusReplyMax.
constexpr size_t StatusHostsMax = 16;
constexpr size_t StatusHostNameMax = 64;
// The bounds of the claim fields: a count outside 0..StatusClaimsMax or a grace outside
// 0..StatusTimeMax (9999-12-31 23:59:59 UTC, the last second a status shows as a date) makes
// the line malformed.
constexpr int64_t StatusClaimsMax = INT32_MAX;
constexpr int64_t StatusTimeMax = 253'402'300'799;

// The line with its line feed.
std::string EncodeStatus(const TWorkerStatus& status);
// The line without its line feed; nullopt when it is not a status line or a field is
// malformed (a number that is none or out of its bounds, an unknown escape, a terminal's or
// host's field before its name, more than StatusTerminalsMax terminals or StatusHostsMax
// hosts).
std::optional<TWorkerStatus> DecodeStatus(std::string_view line);

} // namespace qvx
