// Hexadecimal digits both ways: the one digit table for writing octets as text, and the value
// of a digit read back. Pure constants and functions, used by every thread.
#pragma once

#include <cstdint>

namespace qvx {

// Upper case, as the terminal writes PDUs and as control bytes are shown.
inline constexpr char HexDigits[] = "0123456789ABCDEF";

// The value of a hex digit in either case, NotHex for any other byte.
constexpr uint8_t NotHex = 0xFF;
constexpr uint8_t HexValue(char c) noexcept {
    if (c >= '0' && c <= '9')
        return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<uint8_t>(c - 'a' + 10);
    return NotHex;
}

} // namespace qvx
