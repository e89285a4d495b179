// Decimal integers in text, read by one set of rules wherever the service meets them: the INI
// file, the database parameters, the command line, control requests, port names and the
// numbers inside the terminal's replies. Pure functions, used by every thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qvx {

// The whole text as an integer: an optional '+' or '-', then decimal digits and nothing else.
// nullopt for anything else: an empty text, blanks, a sign alone, a value out of range.
std::optional<int64_t> ParseInt64(std::string_view text) noexcept;
std::optional<int32_t> ParseInt32(std::string_view text) noexcept;
// The same for a text of digits alone, without a sign.
std::optional<int32_t> ParseDigits(std::string_view text) noexcept;

// The run of digits at pos inside a longer text, with pos moved past it: 0 when there is no
// digit at pos, and INT32_MAX for a run too large for it, so that a hostile number cannot
// overflow.
int32_t ReadDigits(std::string_view text, size_t& pos) noexcept;

} // namespace qvx
