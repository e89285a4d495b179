#include "infra/Decimal.h"

#include <charconv>
#include <limits>

namespace qvx {

namespace {

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

} // namespace

std::optional<int64_t> ParseInt64(std::string_view text) noexcept {
    // from_chars takes a minus but no plus; a plus alone before the digits is allowed here.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty() || !IsDigit(text.front()))
            return std::nullopt;
    }
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<int32_t> ParseInt32(std::string_view text) noexcept {
    const auto value = ParseInt64(text);
    if (!value || *value < std::numeric_limits<int32_t>::min() ||
        *value > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(*value);
}

std::optional<int32_t> ParseDigits(std::string_view text) noexcept {
    if (text.empty() || !IsDigit(text.front()))
        return std::nullopt;
    return ParseInt32(text);
}

int32_t ReadDigits(std::string_view text, size_t& pos) noexcept {
    constexpr int32_t Max = std::numeric_limits<int32_t>::max();
    int32_t value = 0;
    for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
        const int32_t digit = text[pos] - '0';
        value = value > (Max - digit) / 10 ? Max : value * 10 + digit;
    }
    return value;
}

} // namespace qvx
