#include "infra/Transliterate.h"

#include "support/Text.h"

#include <gtest/gtest.h>
#include <string>

namespace qvx {
namespace {

using test::HexOf;

// Narrow literals in this file are Windows-1251, like every text inside the service.
TEST(TransliterateTest, EveryLetterHasItsReplacement) {
    struct TCase {
        const char* Letter;
        const char* Latin;
    };
    const TCase cases[] = {
        {"А", "A"},  {"Б", "B"},  {"В", "V"},    {"Г", "G"},  {"Д", "D"},    {"Е", "E"},
        {"Ж", "ZH"}, {"З", "Z"},  {"И", "I"},    {"Й", "JJ"}, {"К", "K"},    {"Л", "L"},
        {"М", "M"},  {"Н", "N"},  {"О", "O"},    {"П", "P"},  {"Р", "R"},    {"С", "S"},
        {"Т", "T"},  {"У", "U"},  {"Ф", "F"},    {"Х", "KH"}, {"Ц", "C"},    {"Ч", "CH"},
        {"Ш", "SH"}, {"Щ", "SH"}, {"Ъ", "\"\""}, {"Ы", "YY"}, {"Ь", "''"},   {"Э", "EH"},
        {"Ю", "JU"}, {"Я", "JA"}, {"а", "a"},    {"б", "b"},  {"в", "v"},    {"г", "g"},
        {"д", "d"},  {"е", "e"},  {"ж", "zh"},   {"з", "z"},  {"и", "i"},    {"й", "jj"},
        {"к", "k"},  {"л", "l"},  {"м", "m"},    {"н", "n"},  {"о", "o"},    {"п", "p"},
        {"р", "r"},  {"с", "s"},  {"т", "t"},    {"у", "u"},  {"ф", "f"},    {"х", "kh"},
        {"ц", "c"},  {"ч", "ch"}, {"ш", "sh"},   {"щ", "sh"}, {"ъ", "\"\""}, {"ы", "yy"},
        {"ь", "''"}, {"э", "eh"}, {"ю", "ju"},   {"я", "ja"}, {"Ё", "Ё"},    {"ё", "ё"},
    };
    ASSERT_EQ(std::size(cases), 66u);
    for (const TCase& c : cases)
        EXPECT_EQ(TransliterateText(c.Letter), c.Latin) << "letter " << HexOf(c.Letter);
}

TEST(TransliterateTest, WordsAndOtherText) {
    struct TCase {
        std::string Text;
        std::string Latin;
        const char* Note;
    };
    const TCase cases[] = {
        {"", "", "empty text stays empty"},
        {"Привет", "Privet", "plain word"},
        {"Щука", "SHuka", "Shcha is SH, not SHH"},
        {"Объём", "Ob\"\"ёm", "hard sign, yo unchanged"},
        {"Жжёт", "ZHzhёt", "capital and small Zhe"},
        {"съел", "s\"\"el", "small hard sign"},
        {"соль", "sol''", "soft sign"},
        {"Йод", "JJod", ""},
        {"Юля", "JUlja", ""},
        {"Эх", "EHkh", ""},
        {"Tel. +7 (900) 123-45-67!", "Tel. +7 (900) 123-45-67!", "Latin, digits, punctuation"},
        {"a\r\n\x98\x88\xB9", "a\r\n\x98\x88\xB9", "line breaks and other bytes pass"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(TransliterateText(c.Text), c.Latin) << c.Note;
}

TEST(TransliterateTest, EveryOtherByteIsUnchanged) {
    for (unsigned b = 0; b < 0xC0; ++b) {
        const std::string byte(1, static_cast<char>(b));
        EXPECT_EQ(TransliterateText(byte), byte) << "byte " << HexOf(byte);
    }
}

TEST(TransliterateTest, ResultGrowsByOneForEachTwoLetterReplacement) {
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "Ж";
    for (int i = 0; i < 120; ++i)
        text += "м";
    ASSERT_EQ(text.size(), 160u);
    EXPECT_EQ(TransliterateText(text).size(), 200u)
        << "160 letters with 40 two-character replacements";
}

TEST(TransliterateTest, MessageTextIsReplacedAndTheRestKept) {
    TSMS sms;
    sms.Telephone = "+7900";
    sms.Text = "Долг";
    sms.Flash = true;
    sms.Transliterate = true;
    TransliterateText(sms);
    EXPECT_EQ(sms.Text, "Dolg");
    EXPECT_EQ(sms.Telephone, "+7900") << "number must not change";
    EXPECT_TRUE(sms.Flash);
    EXPECT_TRUE(sms.Transliterate);
}

} // namespace
} // namespace qvx
