#include "infra/IniFile.h"

#include "infra/Decimal.h"
#include "infra/UniqueFd.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace qvx {

namespace {

// A settings file is a few hundred bytes; anything past these bounds is treated as absent,
// so a garbage file cannot exhaust memory.
constexpr size_t FileMax = 1024 * 1024;
constexpr size_t LineMax = 8192;

// Up to FileMax bytes of the file; empty when it cannot be opened or read.
std::string ReadBounded(const std::string& fileName, bool& cut) {
    cut = false;
    std::string content;
    TUniqueFd fd;
    // Non-blocking, so that a FIFO put in the file's place reads as empty instead of holding
    // the worker until somebody writes to it.
    do {
        fd.Reset(open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    } while (!fd && errno == EINTR);
    if (!fd)
        return content;
    char buffer[16384];
    while (content.size() <= FileMax) {
        const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            content.clear();
            break;
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<size_t>(n));
    }
    if (content.size() > FileMax) {
        content.resize(FileMax);
        cut = true;
    }
    return content;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// ASCII only: the names are Latin, and a byte of a Russian name must not change.
std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

std::string MakeKey(std::string_view section, std::string_view key) {
    return LowerAscii(section) + '\n' + LowerAscii(key);
}

bool ParseHex(std::string_view digits, int32_t& value) {
    // from_chars would take a sign here; a hexadecimal value has none.
    if (digits.empty() || digits.front() == '-' || digits.front() == '+')
        return false;
    uint32_t parsed = 0;
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), parsed, 16);
    if (ec != std::errc() || end != digits.data() + digits.size() || parsed > INT32_MAX)
        return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

} // namespace

TIniFile::TIniFile(const std::string& fileName) {
    bool cut = false;
    const std::string text = ReadBounded(fileName, cut);
    Parse(text, cut);
}

TIniFile TIniFile::FromText(std::string_view text) {
    TIniFile ini;
    ini.Parse(text.substr(0, FileMax), text.size() > FileMax);
    return ini;
}

void TIniFile::Parse(std::string_view content, bool cut) {
    if (content.substr(0, 3) == "\xEF\xBB\xBF")
        content.remove_prefix(3);
    std::string section;
    bool inSection = false;
    while (!content.empty()) {
        const size_t eol = content.find('\n');
        // The last line of a file cut at FileMax is incomplete: it is dropped.
        if (eol == std::string_view::npos && cut)
            break;
        std::string_view line = content.substr(0, eol);
        content.remove_prefix(eol == std::string_view::npos ? content.size() : eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        ParseLine(line.substr(0, LineMax), section, inSection);
    }
}

void TIniFile::ParseLine(std::string_view line, std::string& section, bool& inSection) {
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#')
        return;
    if (line.front() == '[') {
        const size_t close = line.find(']');
        if (close == std::string_view::npos)
            return;
        section = std::string(Trim(line.substr(1, close - 1)));
        inSection = true;
        return;
    }
    const size_t equals = line.find('=');
    // Keys before the first section belong to none and cannot be read.
    if (!inSection || equals == std::string_view::npos)
        return;
    const std::string_view key = Trim(line.substr(0, equals));
    if (key.empty())
        return;
    const std::string_view value = Trim(line.substr(equals + 1)).substr(0, ValueMax);
    // emplace keeps an existing entry: the first occurrence of a key wins.
    FValues.emplace(MakeKey(section, key), std::string(value));
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
    const auto it = FValues.find(MakeKey(section, key));
    return it == FValues.end() ? defaultValue : it->second;
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t defaultValue) const {
    const std::string text = ReadString(section, key, std::string());
    const bool hex = text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!hex)
        return ParseInt32(text).value_or(defaultValue);
    int32_t value = 0;
    return ParseHex(std::string_view(text).substr(2), value) ? value : defaultValue;
}

} // namespace qvx
