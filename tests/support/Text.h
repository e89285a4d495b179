// Helpers for test data: the project compiles narrow literals into Windows-1251, so UTF-8
// test data is written as u8"" literals and turned into std::string here.
#pragma once

#include <string>
#include <string_view>

namespace qvx::test {

inline std::string U8(std::u8string_view text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

// Hex of bytes, upper case, for readable failure messages.
std::string HexOf(std::string_view bytes);

} // namespace qvx::test
