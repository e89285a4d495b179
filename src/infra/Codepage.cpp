#include "infra/Codepage.h"

#include <algorithm>
#include <array>
#include <iconv.h>
#include <memory>

namespace qvx {

namespace {

constexpr char32_t Replacement = 0xFFFD;

// The upper half of Windows-1251 in both directions, built once with iconv so that no
// conversion calls iconv per character.
struct TCp1251Tables {
    std::array<char32_t, 128> ToUnicode{};
    // (code point, byte) sorted by code point; the unassigned byte has no entry.
    std::array<std::pair<char32_t, unsigned char>, 128> FromUnicode{};
    size_t FromUnicodeCount = 0;
};

struct TIconvCloser {
    void operator()(void* cd) const noexcept { iconv_close(static_cast<iconv_t>(cd)); }
};
using TIconvPtr = std::unique_ptr<void, TIconvCloser>;

// Code point of one byte, or Replacement when iconv knows no character for it.
char32_t ConvertByte(iconv_t cd, unsigned char byte) noexcept {
    char in = static_cast<char>(byte);
    unsigned char out[4] = {};
    char* inPtr = &in;
    char* outPtr = reinterpret_cast<char*>(out);
    size_t inLeft = 1;
    size_t outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr); // reset after a failed byte
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || outLeft != 0)
        return Replacement;
    return char32_t(out[0]) | char32_t(out[1]) << 8 | char32_t(out[2]) << 16 |
           char32_t(out[3]) << 24;
}

// Used only when the system has no iconv module for the code page: the Russian letters,
// which sit in fixed places, still convert.
char32_t FallbackByte(unsigned char byte) noexcept {
    if (byte >= 0xC0)
        return 0x0410 + (byte - 0xC0);
    if (byte == 0xA8)
        return 0x0401;
    if (byte == 0xB8)
        return 0x0451;
    return Replacement;
}

TCp1251Tables BuildTables() {
    TCp1251Tables tables;
    const iconv_t raw = iconv_open("UTF-32LE", "CP1251");
    TIconvPtr cd(raw == reinterpret_cast<iconv_t>(-1) ? nullptr : raw);
    for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
        const auto b = static_cast<unsigned char>(byte);
        const char32_t codePoint =
            cd ? ConvertByte(static_cast<iconv_t>(cd.get()), b) : FallbackByte(b);
        tables.ToUnicode[byte - 0x80] = codePoint;
        if (codePoint != Replacement)
            tables.FromUnicode[tables.FromUnicodeCount++] = {codePoint, b};
    }
    std::sort(tables.FromUnicode.begin(), tables.FromUnicode.begin() + tables.FromUnicodeCount);
    return tables;
}

const TCp1251Tables& Tables() {
    static const TCp1251Tables tables = BuildTables();
    return tables;
}

// Byte for a code point at or above 0x80, or -1.
int FindByte(char32_t codePoint) noexcept {
    const TCp1251Tables& tables = Tables();
    const auto begin = tables.FromUnicode.begin();
    const auto end = begin + tables.FromUnicodeCount;
    const auto it = std::lower_bound(
        begin, end, codePoint, [](const auto& entry, char32_t cp) { return entry.first < cp; });
    if (it == end || it->first != codePoint)
        return -1;
    return it->second;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Length of the sequence a lead byte opens (0 for a byte that cannot open one) and the range
// allowed for its second byte, which rules out overlong forms, surrogates and values above
// U+10FFFF.
struct TUtf8Lead {
    int Continuations;
    unsigned char SecondLow;
    unsigned char SecondHigh;
};

TUtf8Lead Utf8Lead(unsigned char c) noexcept {
    if (c >= 0xC2 && c <= 0xDF)
        return {1, 0x80, 0xBF};
    if (c == 0xE0)
        return {2, 0xA0, 0xBF};
    if (c == 0xED)
        return {2, 0x80, 0x9F};
    if (c >= 0xE1 && c <= 0xEF)
        return {2, 0x80, 0xBF};
    if (c == 0xF0)
        return {3, 0x90, 0xBF};
    if (c >= 0xF1 && c <= 0xF3)
        return {3, 0x80, 0xBF};
    if (c == 0xF4)
        return {3, 0x80, 0x8F};
    return {0, 0, 0};
}

// Decodes one character at text[pos]; returns the bytes consumed (at least 1). A malformed
// sequence yields Replacement and consumes its lead byte and the valid continuations after it.
size_t DecodeUtf8(std::string_view text, size_t pos, char32_t& cp) noexcept {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    const TUtf8Lead info = Utf8Lead(lead);
    cp = Replacement;
    if (info.Continuations == 0)
        return 1;
    char32_t value = lead & (0x3F >> info.Continuations);
    for (int k = 1; k <= info.Continuations; ++k) {
        if (pos + k >= text.size())
            return k;
        const auto c = static_cast<unsigned char>(text[pos + k]);
        const unsigned char low = k == 1 ? info.SecondLow : 0x80;
        const unsigned char high = k == 1 ? info.SecondHigh : 0xBF;
        if (c < low || c > high)
            return k;
        value = value << 6 | (c & 0x3F);
    }
    cp = value;
    return info.Continuations + 1;
}

bool IsSurrogate(char16_t unit) noexcept {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

} // namespace

char32_t Cp1251ToCodePoint(unsigned char byte) noexcept {
    if (byte < 0x80)
        return byte;
    return Tables().ToUnicode[byte - 0x80];
}

bool HasCp1251(char32_t codePoint) noexcept {
    return codePoint < 0x80 || FindByte(codePoint) >= 0;
}

char CodePointToCp1251(char32_t codePoint) noexcept {
    if (codePoint < 0x80)
        return static_cast<char>(codePoint);
    const int byte = FindByte(codePoint);
    return byte < 0 ? Cp1251Default : static_cast<char>(byte);
}

std::string Cp1251ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text)
        AppendUtf8(out, Cp1251ToCodePoint(static_cast<unsigned char>(c)));
    return out;
}

std::string Utf8ToCp1251(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        char32_t cp;
        pos += DecodeUtf8(text, pos, cp);
        out += cp == Replacement ? Cp1251Default : CodePointToCp1251(cp);
    }
    return out;
}

std::u16string Cp1251ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char c : text)
        out += static_cast<char16_t>(Cp1251ToCodePoint(static_cast<unsigned char>(c)));
    return out;
}

std::string Utf16ToCp1251(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (!IsSurrogate(unit)) {
            out += CodePointToCp1251(unit);
            continue;
        }
        // A well-formed pair is one character outside the basic plane: one '?', not two.
        if (unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            ++i;
        out += Cp1251Default;
    }
    return out;
}

} // namespace qvx
