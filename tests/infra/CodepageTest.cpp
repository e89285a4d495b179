#include "infra/Codepage.h"

#include "support/Text.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

using test::HexOf;
using test::U8;

TEST(CodepageTest, BytesMapToTheirCodePoints) {
    struct TCase {
        unsigned char Byte;
        char32_t CodePoint;
        const char* Note;
    };
    const TCase cases[] = {
        {0x41, 0x0041, "ASCII passes through"},
        {0x80, 0x0402, "first byte of the upper half"},
        {0x88, 0x20AC, "euro sign"},
        {0x98, 0xFFFD, "the unassigned byte"},
        {0xA0, 0x00A0, "no-break space"},
        {0xA8, 0x0401, "capital Yo lies outside the letter block"},
        {0xB8, 0x0451, "small yo lies outside the letter block"},
        {0xB9, 0x2116, "numero sign"},
        {0xC0, 0x0410, "capital A"},
        {0xDF, 0x042F, "capital Ya"},
        {0xE0, 0x0430, "small a"},
        {0xFF, 0x044F, "small ya, last byte"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(Cp1251ToCodePoint(c.Byte), c.CodePoint) << c.Note;
}

TEST(CodepageTest, Utf8ToCp1251HandlesEveryKindOfInput) {
    struct TCase {
        std::string Utf8;
        std::string Cp1251;
        const char* Note;
    };
    const TCase cases[] = {
        {"", "", "empty text"},
        {U8(u8"Ёлка ёж"), "\xA8\xEB\xEA\xE0 \xB8\xE6", "Yo and yo"},
        {U8(u8"€5 №7"),
         "\x88"
         "5 \xB9"
         "7",
         "signs of the upper half"},
        {U8(u8"a中b"), "a?b", "CJK character outside the code page"},
        {U8(u8"x😀y"), "x?y", "four-byte character outside the code page"},
        {U8(u8"\uFFFD"), "?", "replacement character has no byte, 0x98 is never produced"},
        {"a\x80z", "a?z", "stray continuation byte"},
        {"a\xC3", "a?", "two-byte sequence cut at the end"},
        {"a\xE2\x82", "a?", "three-byte sequence cut at the end: one '?'"},
        {"\xF0\x9F\x98", "?", "four-byte sequence cut at the end: one '?'"},
        {"\xC3z", "?z", "lead byte followed by a non-continuation"},
        {"\xC0\xAF", "??", "overlong slash"},
        {"\xE0\x80\xAF", "???", "overlong three-byte form"},
        {"\xED\xA0\x80", "???", "encoded surrogate"},
        {"\xF4\x90\x80\x80", "????", "above U+10FFFF"},
        {"\xFF\xFE", "??", "bytes that never occur in UTF-8"},
        {"\xE2\x82\xAC!", "\x88!", "valid sequence after the checks"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(HexOf(Utf8ToCp1251(c.Utf8)), HexOf(c.Cp1251)) << c.Note;
}

TEST(CodepageTest, UnassignedByteDoesNotStopAConversion) {
    EXPECT_EQ(Cp1251ToUtf8("a\x98z"), U8(u8"a\uFFFDz")) << "0x98 becomes U+FFFD in UTF-8";
    EXPECT_EQ(Cp1251ToUtf16("a\x98z"), std::u16string(u"a\uFFFDz")) << "0x98 in UTF-16";
    EXPECT_FALSE(HasCp1251(0xFFFD)) << "U+FFFD must not map back to 0x98";
    EXPECT_EQ(CodePointToCp1251(0xFFFD), '?');
}

TEST(CodepageTest, EveryAssignedByteSurvivesARoundTrip) {
    int checked = 0;
    for (unsigned b = 0; b <= 0xFF; ++b) {
        if (b == 0x98)
            continue;
        const std::string byte(1, static_cast<char>(b));
        const char32_t cp = Cp1251ToCodePoint(static_cast<unsigned char>(b));
        EXPECT_NE(cp, char32_t(0xFFFD)) << "byte " << HexOf(byte) << " has no code point";
        EXPECT_TRUE(HasCp1251(cp)) << "byte " << HexOf(byte);
        EXPECT_EQ(HexOf(Utf8ToCp1251(Cp1251ToUtf8(byte))), HexOf(byte)) << "via UTF-8";
        EXPECT_EQ(HexOf(Utf16ToCp1251(Cp1251ToUtf16(byte))), HexOf(byte)) << "via UTF-16";
        ++checked;
    }
    EXPECT_EQ(checked, 255);
}

TEST(CodepageTest, Utf16ToCp1251ReplacesWhatItCannotHold) {
    struct TCase {
        std::u16string Utf16;
        std::string Cp1251;
        const char* Note;
    };
    const TCase cases[] = {
        {u"\u0401\u0451\u0416", "\xA8\xB8\xC6", "Yo, yo, Zhe"},
        {u"a\u4E2Db", "a?b", "character outside the code page"},
        {u"a\U0001F600b", "a?b", "surrogate pair is one character: one '?'"},
        {std::u16string{u'a', char16_t(0xD800), u'b'}, "a?b", "lone high surrogate"},
        {std::u16string{char16_t(0xDC00), u'b'}, "?b", "lone low surrogate"},
        {std::u16string{u'a', char16_t(0xD83D)}, "a?", "high surrogate at the end"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(HexOf(Utf16ToCp1251(c.Utf16)), HexOf(c.Cp1251)) << c.Note;
}

} // namespace
} // namespace qvx
