// Whose fault a "+CMS ERROR" refusal of a submission is: the message's (its destination or its
// content), which counts toward giving the message up, or the network's, the terminal's or
// nobody's known, which never does. Pure logic on the refusal line, used by the terminal thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace qvx {

enum class TRefusalKind : int32_t {
    Message = 0, // about this message: another try of it would be refused again
    Network = 1, // network-wide, the terminal's own, or not known: any message would fail
};

// The cause number of a "+CMS ERROR: <n>" line; -1 when the line carries no number (a
// terminal in verbose mode may give a text instead).
int32_t RefusalCause(std::string_view refusal);

// Causes 0..127 are the network's relay causes (3GPP TS 24.011), 128..255 the service
// centre's failure causes (3GPP TS 23.040), 300..500 the terminal's own (3GPP TS 27.005) and
// 512 on the manufacturer's.
TRefusalKind RefusalKind(int32_t cause);

} // namespace qvx
