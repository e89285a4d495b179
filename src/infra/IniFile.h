// Reader of INI files: section and key names without regard to case (ASCII letters), values
// trimmed of surrounding blanks and tabs and cut to 2047 characters, the first occurrence of a
// key wins, lines starting with ';' or '#' are comments, CR LF or LF line ends, a UTF-8 byte
// order mark at the start is skipped, a section named twice reads as one. Values are kept as
// the file's bytes. A missing or unreadable file reads as empty; only the first MiB of a file
// is read. Used by the worker thread while it loads the configuration.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace qvx {

class TIniFile {
public:
    static constexpr size_t ValueMax = 2047;

    explicit TIniFile(const std::string& fileName);
    // The same rules on text already in memory (at most the first MiB of it).
    static TIniFile FromText(std::string_view text);

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // "0x"/"0X" with at least three characters is hexadecimal, anything else decimal with an
    // optional sign; an empty value and text that is not a whole valid 32-bit integer give
    // the default.
    int32_t ReadInteger(const std::string& section, const std::string& key,
                        int32_t defaultValue) const;

private:
    TIniFile() = default;
    // cut: the text was cut at the size bound, so its last line is incomplete.
    void Parse(std::string_view content, bool cut);
    void ParseLine(std::string_view line, std::string& section, bool& inSection);

    // Keys are "section\nkey", both lower-cased (ASCII only).
    std::map<std::string, std::string> FValues;
};

} // namespace qvx
