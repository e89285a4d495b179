// A text is judged and encoded once, by the worker, before it is queued.
#include "processing/Submission.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

TEST(PrepareSubmission, DigitsTextAndPartsOrWhyNot) {
    struct TCase {
        std::string Telephone;
        std::string Text; // cp1251
        bool Transliterate;
        TEncodeStatus Status;
        std::string Digits;
        std::string Sent;
        size_t Parts;
    };
    const TCase cases[] = {
        {"+7 (916) 123-45-67", "hello", false, TEncodeStatus::Ok, "79161234567", "hello", 1},
        {"12345", "\xCF\xF0\xE8\xE2\xE5\xF2", true, TEncodeStatus::Ok, "12345", "Privet", 1},
        {"12345", "\xCF\xF0\xE8\xE2\xE5\xF2", false, TEncodeStatus::Ok, "12345",
         "\xCF\xF0\xE8\xE2\xE5\xF2", 1},
        {"12345", std::string(161, 'a'), false, TEncodeStatus::Ok, "12345", std::string(161, 'a'),
         2},
        {"+-()", "x", false, TEncodeStatus::EmptyPhone, "", "x", 0},
        {"123456789012345678901", "x", false, TEncodeStatus::EmptyPhone, "123456789012345678901",
         "x", 0},
        {"12345", "", false, TEncodeStatus::EmptyText, "12345", "", 0},
        {"12345", "a\x98", false, TEncodeStatus::Unicode, "12345", "a\x98", 0},
        {"12345", std::string(40000, 'a'), false, TEncodeStatus::TooLong, "12345",
         std::string(40000, 'a'), 0},
    };
    for (const TCase& c : cases) {
        TPreparedSms prepared;
        EXPECT_EQ(PrepareSubmission(c.Telephone, c.Text, true, c.Transliterate, prepared), c.Status)
            << c.Telephone << " " << c.Text.substr(0, 10);
        EXPECT_EQ(prepared.Digits, c.Digits);
        EXPECT_EQ(prepared.Text, c.Sent);
        EXPECT_EQ(prepared.Parts.size(), c.Parts) << c.Text.substr(0, 10);
    }
}

} // namespace
} // namespace qvx
