// Reader of INI files: section and key names without regard to case, values trimmed of
// surrounding blanks and cut to 2047 characters, the first occurrence of a key wins, lines
// starting with ';' are comments. A missing or unreadable file reads as empty.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace qvx {

class TIniFile {
public:
    static constexpr size_t ValueMax = 2047;

    explicit TIniFile(const std::string& fileName);

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // "0x"/"0X" with at least three characters is hexadecimal, anything else decimal; text
    // that is not a whole valid 32-bit integer gives the default.
    int32_t ReadInteger(const std::string& section, const std::string& key,
                        int32_t defaultValue) const;

private:
    // Keys are "section\nkey", both lower-cased (ASCII only).
    std::map<std::string, std::string> FValues;
};

} // namespace qvx
