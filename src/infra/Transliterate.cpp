#include "infra/Transliterate.h"

namespace qvx {

namespace {

// The Russian letters in Windows-1251 order (0xC0..0xFF: capitals, then small letters) and,
// at the same positions, the Latin replacement's first and second characters; a blank in
// the second row means a one-character replacement. Щ shares SH with Ш, Ъ becomes two
// double quotes and Ь two apostrophes.
constexpr char Alphabet[] = "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюя";
constexpr char FirstLetters[] =
    "ABVGDEZZIJKLMNOPRSTUFKCCSS\"Y'EJJabvgdezzijklmnoprstufkccss\"y'ejj";
constexpr char SecondLetters[] =
    "      H  J           H HHH\"Y'HUA      h  j           h hhh\"y'hua";

constexpr size_t LetterCount = 64;
constexpr unsigned char FirstLetterByte = 0xC0;

static_assert(sizeof Alphabet == LetterCount + 1 && sizeof FirstLetters == LetterCount + 1 &&
                  sizeof SecondLetters == LetterCount + 1,
              "the three rows must have one entry per letter");

constexpr bool AlphabetIsContiguous() {
    for (size_t i = 0; i < LetterCount; ++i)
        if (static_cast<unsigned char>(Alphabet[i]) != FirstLetterByte + i)
            return false;
    return true;
}
// Fails when the sources are not compiled into Windows-1251.
static_assert(AlphabetIsContiguous(), "the alphabet must be Windows-1251 bytes 0xC0..0xFF");

} // namespace

std::string TransliterateText(std::string_view text) {
    std::string result;
    result.reserve(text.size() * 2);
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < FirstLetterByte) {
            result += c;
            continue;
        }
        const size_t i = byte - FirstLetterByte;
        result += FirstLetters[i];
        if (SecondLetters[i] != ' ')
            result += SecondLetters[i];
    }
    return result;
}

void TransliterateText(TSMS& sms) {
    sms.Text = TransliterateText(sms.Text);
}

} // namespace qvx
