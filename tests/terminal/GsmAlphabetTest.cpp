#include "support/Text.h"
#include "terminal/Pdu.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

using test::HexOf;

// The septets of a cp1251 byte by the layout of the GSM default alphabet, written out here
// independently of the encoder's tables; empty when the alphabet has no place for it.
std::vector<uint8_t> ExpectedSeptets(unsigned char b) {
    if ((b >= 0x20 && b <= 0x23) || (b >= 0x25 && b <= 0x3F) || (b >= 'A' && b <= 'Z') ||
        (b >= 'a' && b <= 'z') || b == '\n' || b == '\r')
        return {b}; // same place as ASCII
    switch (b) {
    case '@':
        return {0x00};
    case '$':
        return {0x02};
    case '_':
        return {0x11};
    case 0xA4:
        return {0x24}; // currency sign
    case 0xA7:
        return {0x5F}; // section sign
    case '\f':
        return {0x1B, 0x0A};
    case '^':
        return {0x1B, 0x14};
    case '{':
        return {0x1B, 0x28};
    case '}':
        return {0x1B, 0x29};
    case '\\':
        return {0x1B, 0x2F};
    case '[':
        return {0x1B, 0x3C};
    case '~':
        return {0x1B, 0x3D};
    case ']':
        return {0x1B, 0x3E};
    case '|':
        return {0x1B, 0x40};
    case 0x88:
        return {0x1B, 0x65}; // euro sign
    default:
        return {};
    }
}

TEST(GsmAlphabetTest, EveryCp1251ByteHasItsSeptets) {
    for (int b = 0; b < 256; ++b) {
        auto byte = static_cast<unsigned char>(b);
        std::vector<uint8_t> septets{0x7F}; // appended to, never replaced
        std::vector<uint8_t> expected = ExpectedSeptets(byte);
        bool placed = Cp1251ToGsm7(byte, septets);
        EXPECT_EQ(placed, !expected.empty()) << "byte " << b;
        expected.insert(expected.begin(), 0x7F);
        EXPECT_EQ(septets, expected) << "byte " << b;
    }
}

TEST(GsmAlphabetTest, SeptetsBackToCp1251) {
    struct TCase {
        std::vector<uint8_t> Septets;
        std::string Text;
        const char* Note;
    };
    const TCase cases[] = {
        {{0x00, 0x02, 0x11, 0x24, 0x5F}, "@$_\xA4\xA7", "characters at other places"},
        {{0x01, 0x03, 0x04, 0x10, 0x1C, 0x40, 0x5B, 0x60, 0x7F}, "?????????", "not in cp1251"},
        {{0x0A, 0x0D, 0x20}, "\n\r ", "line breaks and blank"},
        {{0x1B, 0x65, 0x1B, 0x28, 0x1B, 0x29}, "\x88{}", "extension table"},
        {{0x1B, 0x0A}, "\f", "page break"},
        {{0x1B, 0x61}, "a", "undefined extension: default character"},
        {{0x1B, 0x1B}, " ", "escape after escape"},
        {{'a', 0x1B}, "a ", "escape at the end"},
        {{0xC1}, "A", "bit 7 ignored"},
        {{}, "", "nothing"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(HexOf(Gsm7ToCp1251(c.Septets)), HexOf(c.Text)) << c.Note;
}

TEST(GsmAlphabetTest, EveryPlacedByteComesBack) {
    for (int b = 0; b < 256; ++b) {
        std::vector<uint8_t> septets;
        if (Cp1251ToGsm7(static_cast<unsigned char>(b), septets)) {
            EXPECT_EQ(Gsm7ToCp1251(septets), std::string(1, char(b))) << "byte " << b;
        }
    }
}

} // namespace
} // namespace qvx
