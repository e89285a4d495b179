#include "gsmsim/Utf8.h"

#include <cstdint>

namespace qvx {

namespace {

// Length of the sequence a lead byte starts and the payload bits it carries; 0 for a byte that
// cannot start a sequence.
size_t SequenceLength(unsigned char lead, char32_t& bits) {
    if (lead < 0x80) {
        bits = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        bits = lead & 0x1F;
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        bits = lead & 0x0F;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        bits = lead & 0x07;
        return 4;
    }
    return 0;
}

bool Acceptable(char32_t codePoint, size_t length) {
    static constexpr char32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < Smallest[length] || codePoint > 0x10FFFF)
        return false;
    return codePoint < 0xD800 || codePoint > 0xDFFF;
}

} // namespace

std::u32string Utf8ToCodePoints(std::string_view text) {
    std::u32string result;
    size_t i = 0;
    while (i < text.size()) {
        char32_t codePoint = 0;
        size_t length = SequenceLength(static_cast<unsigned char>(text[i]), codePoint);
        if (length == 0 || i + length > text.size()) {
            result += ReplacementCharacter;
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                break;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (k < length || !Acceptable(codePoint, length)) {
            result += ReplacementCharacter;
            i += k == length ? length : k; // resynchronise at the byte that broke the sequence
            continue;
        }
        result += codePoint;
        i += length;
    }
    return result;
}

void AppendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        codePoint = ReplacementCharacter;
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

std::string CodePointsToUtf8(std::u32string_view codePoints) {
    std::string result;
    for (char32_t codePoint : codePoints)
        AppendUtf8(result, codePoint);
    return result;
}

} // namespace qvx
