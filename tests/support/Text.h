// Helpers for test data: the project compiles narrow literals into Windows-1251, so UTF-8
// test data is written as u8"" literals and turned into std::string here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvx::test {

inline std::string U8(std::u8string_view text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

// Hex of bytes, upper case, for readable failure messages.
std::string HexOf(std::string_view bytes);

// Parses json with Python's strict json module and evaluates each Python expression on the
// parsed value, named d (e.g. d["counts"]["received"]). Strings come back as UTF-8, other
// values in JSON notation; nullopt when json is not valid JSON or an expression fails.
std::optional<std::vector<std::string>> QueryJson(const std::string& json,
                                                  const std::vector<std::string>& expressions);

} // namespace qvx::test
