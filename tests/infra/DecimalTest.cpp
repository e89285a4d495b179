// Decimal integers in text: whole texts with and without a sign, and runs of digits inside a
// longer text.
#include "infra/Decimal.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace qvx {
namespace {

TEST(Decimal, WholeText) {
    struct {
        const char* Text;
        std::optional<int32_t> Value;  // ParseInt32
        std::optional<int32_t> Digits; // ParseDigits: no sign
    } const cases[] = {
        {"24", 24, 24},
        {"48", 48, 48},
        {"+5", 5, std::nullopt},
        {"-1", -1, std::nullopt},
        {"0", 0, 0},
        {"007", 7, 7},
        {"2147483647", 2147483647, 2147483647},
        {"-2147483648", -2147483647 - 1, std::nullopt},
        {"2147483648", std::nullopt, std::nullopt}, // overflow
        {"99999999999999999999", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"abc", std::nullopt, std::nullopt},
        {"yes", std::nullopt, std::nullopt},
        {" 5", std::nullopt, std::nullopt}, // blanks are not part of an integer
        {"5 ", std::nullopt, std::nullopt},
        {"1.5", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt}, // decimal only
        {"-", std::nullopt, std::nullopt},
        {"+", std::nullopt, std::nullopt},
        {"+-1", std::nullopt, std::nullopt},
        {"--1", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseInt32(c.Text), c.Value) << "text '" << c.Text << "'";
        EXPECT_EQ(ParseDigits(c.Text), c.Digits) << "digits of '" << c.Text << "'";
    }
    EXPECT_EQ(ParseInt64("-9223372036854775808"), INT64_MIN) << "the whole 64-bit range";
    EXPECT_EQ(ParseInt64("9223372036854775808"), std::nullopt) << "64-bit overflow";
}

TEST(Decimal, DigitsInsideText) {
    struct {
        std::string Text;
        size_t From;
        int32_t Value;
        size_t End;
        const char* Note;
    } const cases[] = {
        {"+CMGL: 12,1", 7, 12, 9, "stops at the comma"},
        {"x", 0, 0, 0, "no digit reads as 0 and stays put"},
        {"-5", 0, 0, 0, "a sign is not a digit"},
        {"12", 2, 0, 2, "at the end"},
        {"2147483647,", 0, 2147483647, 10, "the largest"},
        {"2147483648", 0, 2147483647, 10, "past the largest saturates"},
        {std::string(5000, '9') + "\r", 0, 2147483647, 5000, "a hostile run is read whole"},
    };
    for (const auto& c : cases) {
        size_t pos = c.From;
        EXPECT_EQ(ReadDigits(c.Text, pos), c.Value) << c.Note;
        EXPECT_EQ(pos, c.End) << c.Note;
    }
}

} // namespace
} // namespace qvx
