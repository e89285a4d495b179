#include "terminal/Pdu.h"

#include "infra/Codepage.h"
#include "support/Text.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

using test::HexOf;
using test::U8;

std::string Cp(std::u8string_view utf8) {
    return Utf8ToCp1251(U8(utf8));
}

// --- Test-side PDU reading, written from TS 23.040 independently of the encoder ---

int Octet(const std::string& hex, size_t at) {
    return std::stoi(hex.substr(2 * at, 2), nullptr, 16);
}

// The fields of one SMS-SUBMIT as the encoder wrote them.
struct TSubmitFields {
    int FirstOctet = 0;
    int DigitCount = 0;
    std::string DigitsHex; // semi-octets as written
    int Dcs = 0;
    int Udl = 0;
    std::string UserDataHex;
};

TSubmitFields ParseSubmit(const std::string& hex) {
    TSubmitFields f;
    size_t at = 1 + Octet(hex, 0); // SMSC information
    f.FirstOctet = Octet(hex, at++);
    ++at; // TP-MR
    f.DigitCount = Octet(hex, at++);
    ++at; // type of address
    size_t digitOctets = (f.DigitCount + 1) / 2;
    f.DigitsHex = hex.substr(2 * at, 2 * digitOctets);
    at += digitOctets + 1; // digits, TP-PID
    f.Dcs = Octet(hex, at++);
    ++at; // TP-VP, relative: one octet
    f.Udl = Octet(hex, at++);
    f.UserDataHex = hex.substr(2 * at);
    return f;
}

// The same message as an SMS-DELIVER line of a listing: what a phone would have received.
std::string AsDeliver(const TSubmitFields& f) {
    char head[64];
    snprintf(head, sizeof head, "00%02X%02X91", (f.FirstOctet & 0x40) | 0x04, f.DigitCount);
    char tail[32];
    snprintf(tail, sizeof tail, "00%02X52107261424500%02X", f.Dcs, f.Udl);
    return head + f.DigitsHex + tail + f.UserDataHex;
}

// Septets of packed user data, read bit by bit: bit n is bit n%8 of octet n/8.
std::vector<int> Unpack(const std::string& udHex, size_t firstSeptet, size_t septets) {
    std::vector<int> out;
    for (size_t k = firstSeptet; k < septets; ++k) {
        int value = 0;
        for (int b = 0; b < 7; ++b) {
            size_t n = 7 * k + b;
            if ((Octet(udHex, n / 8) >> (n % 8)) & 1)
                value |= 1 << b;
        }
        out.push_back(value);
    }
    return out;
}

// Septets packed bit by bit after skipBits, as hex.
std::string Pack(const std::vector<int>& septets, size_t skipBits = 0) {
    std::vector<int> octets((skipBits + 7 * septets.size() + 7) / 8, 0);
    for (size_t k = 0; k < septets.size(); ++k)
        for (int b = 0; b < 7; ++b)
            if ((septets[k] >> b) & 1) {
                size_t n = skipBits + 7 * k + b;
                octets[n / 8] |= 1 << (n % 8);
            }
    std::string hex;
    for (int o : octets) {
        char two[3];
        snprintf(two, sizeof two, "%02X", o);
        hex += two;
    }
    return hex;
}

std::vector<int> Ascii(const std::string& text) {
    return {text.begin(), text.end()};
}

std::vector<TSubmitPdu> Encode(const std::string& digits, const std::string& text,
                               bool flash = false, uint8_t ref = 0) {
    std::vector<TSubmitPdu> parts;
    TEncodeStatus status = EncodeSubmit(digits, text, flash, ref, parts);
    EXPECT_EQ(status, TEncodeStatus::Ok) << "text " << HexOf(text);
    for (const TSubmitPdu& p : parts)
        EXPECT_EQ(p.CommandLength, int32_t(p.Hex.size() / 2 - 1)) << "length for " << p.Hex;
    return parts;
}

// --- Encoding ---

TEST(PduEncodeTest, WorkedExamplesHoldByteForByte) {
    struct TCase {
        std::string Text;
        bool Flash;
        std::string Hex;
        int32_t Length;
        const char* Note;
    };
    const TCase cases[] = {
        {"hello", false, "00110005912143F50000C405E8329BFD06", 16, "7-bit"},
        {"hello", true, "00110005912143F500F0C405E8329BFD06", 16, "flash gives class 0"},
        {Cp(u8"Привет"), false, "00110005912143F50008C40C041F04400438043204350442", 23, "UCS2"},
        {Cp(u8"Привет"), true, "00110005912143F50008C40C041F04400438043204350442", 23,
         "flash ignored in UCS2"},
        {Cp(u8"Ё"), false, "00110005912143F50008C4020401", 13, "Yo has no septet"},
        {"hellohello", false, "00110005912143F50000C40AE8329BFD4697D9EC37", 20, "10 septets"},
    };
    for (const TCase& c : cases) {
        std::vector<TSubmitPdu> parts = Encode("12345", c.Text, c.Flash);
        ASSERT_EQ(parts.size(), 1u) << c.Note;
        EXPECT_EQ(parts[0].Hex, c.Hex) << c.Note;
        EXPECT_EQ(parts[0].CommandLength, c.Length) << c.Note;
    }
}

TEST(PduEncodeTest, RejectsUnusableNumbersAndTexts) {
    struct TCase {
        std::string Digits;
        std::string Text;
        TEncodeStatus Status;
        const char* Note;
    };
    const TCase cases[] = {
        {"", "hi", TEncodeStatus::EmptyPhone, "empty number"},
        {"", "", TEncodeStatus::EmptyPhone, "the number is checked first"},
        {std::string(21, '7'), "hi", TEncodeStatus::EmptyPhone, "21 digits"},
        {"7903+123", "hi", TEncodeStatus::EmptyPhone, "a character that is not a digit"},
        {"12345", "", TEncodeStatus::EmptyText, "empty text"},
        {"12345", "a\x98", TEncodeStatus::Unicode, "byte without a character"},
        {"12345", std::string(255 * 153 + 1, 'a'), TEncodeStatus::TooLong, "256 7-bit parts"},
        {"12345", std::string(255 * 67 + 1, '\xE0'), TEncodeStatus::TooLong, "256 UCS2 parts"},
    };
    for (const TCase& c : cases) {
        std::vector<TSubmitPdu> parts(1);
        EXPECT_EQ(EncodeSubmit(c.Digits, c.Text, false, 0, parts), c.Status) << c.Note;
        EXPECT_TRUE(parts.empty()) << c.Note << ": no PDU may be left";
    }
}

TEST(PduEncodeTest, AddressDigitsAreSwappedWithFiller) {
    struct TCase {
        std::string Digits;
        int Count;
        std::string Semi;
    };
    const TCase cases[] = {
        {"1", 1, "F1"},
        {"12", 2, "21"},
        {"12345", 5, "2143F5"},
        {"123456", 6, "214365"},
        {"79031234567", 11, "9730214365F7"},
        {"12345678901234567890", 20, "21436587092143658709"},
    };
    for (const TCase& c : cases) {
        std::vector<TSubmitPdu> parts = Encode(c.Digits, "x");
        ASSERT_EQ(parts.size(), 1u) << c.Digits;
        TSubmitFields f = ParseSubmit(parts[0].Hex);
        EXPECT_EQ(f.DigitCount, c.Count) << c.Digits;
        EXPECT_EQ(f.DigitsHex, c.Semi) << c.Digits;
        EXPECT_EQ(parts[0].Hex.substr(8, 2), "91") << c.Digits << ": type of address";
    }
}

TEST(PduEncodeTest, SeptetPackingMatchesBitByBitPacking) {
    struct TCase {
        std::string Text;
        std::string UserData; // empty: compare with the bit-by-bit packer
        const char* Note;
    };
    const TCase cases[] = {
        {"1234567", "31D98C56B3DD00", "7 septets leave one bit"},
        {"12345678", "31D98C56B3DD70", "8 septets fill 7 octets exactly"},
        {"123456789", "", "9 septets start a new cycle"},
        {std::string(160, 'z'), "", "160 septets, the most of one SMS"},
        {std::string(8, '@'), "00000000000000", "septet 0 throughout"},
    };
    for (const TCase& c : cases) {
        std::vector<TSubmitPdu> parts = Encode("12345", c.Text);
        ASSERT_EQ(parts.size(), 1u) << c.Note;
        TSubmitFields f = ParseSubmit(parts[0].Hex);
        EXPECT_EQ(f.Udl, int(c.Text.size())) << c.Note;
        EXPECT_EQ(f.UserDataHex.size() / 2, (7 * c.Text.size() + 7) / 8) << c.Note;
        std::string expected = c.UserData.empty() ? Pack(Ascii(c.Text)) : c.UserData;
        EXPECT_EQ(f.UserDataHex, expected) << c.Note;
    }
}

TEST(PduEncodeTest, SingleOrConcatenatedAtTheLimits) {
    struct TCase {
        std::string Text;
        std::vector<int> Udls; // per part
        int Dcs;
        const char* Note;
    };
    const std::string ya(1, '\xFF');
    auto rep = [](const std::string& s, size_t n) {
        std::string r;
        for (size_t i = 0; i < n; ++i)
            r += s;
        return r;
    };
    const TCase cases[] = {
        {std::string(160, 'a'), {160}, 0x00, "160 septets: one SMS"},
        {std::string(161, 'a'), {7 + 153, 7 + 8}, 0x00, "161 septets: two parts"},
        {std::string(306, 'a'), {160, 160}, 0x00, "two full parts"},
        {std::string(307, 'a'), {160, 160, 8}, 0x00, "one more septet, one more part"},
        {rep("[", 80), {160}, 0x00, "80 extension characters: 160 septets"},
        {rep("[", 81), {7 + 152, 7 + 10}, 0x00, "81: the escape pair is not split"},
        {rep(ya, 70), {140}, 0x08, "70 UCS2 characters: one SMS"},
        {rep(ya, 71), {6 + 134, 6 + 8}, 0x08, "71 UCS2 characters: two parts"},
        {rep(ya, 134), {140, 140}, 0x08, "two full UCS2 parts"},
        {std::string(100, 'a') + ya, {6 + 134, 6 + 68}, 0x08, "one Cyrillic letter: all UCS2"},
    };
    for (const TCase& c : cases) {
        std::vector<TSubmitPdu> parts = Encode("12345", c.Text, false, 0x2A);
        ASSERT_EQ(parts.size(), c.Udls.size()) << c.Note;
        for (size_t p = 0; p < parts.size(); ++p) {
            TSubmitFields f = ParseSubmit(parts[p].Hex);
            bool concatenated = parts.size() > 1;
            EXPECT_EQ(f.FirstOctet, concatenated ? 0x51 : 0x11) << c.Note << " part " << p;
            EXPECT_EQ(f.Dcs, c.Dcs) << c.Note << " part " << p;
            EXPECT_EQ(f.Udl, c.Udls[p]) << c.Note << " part " << p;
            size_t octets = c.Dcs == 0 ? (7 * f.Udl + 7) / 8 : f.Udl;
            EXPECT_EQ(f.UserDataHex.size(), 2 * octets) << c.Note << " part " << p;
            if (concatenated) {
                char udh[64];
                snprintf(udh, sizeof udh, "0500032A%02zX%02zX", parts.size(), p + 1);
                EXPECT_EQ(f.UserDataHex.substr(0, 12), udh) << c.Note << " part " << p;
            }
        }
    }
}

TEST(PduEncodeTest, MostPartsFitTheCounter) {
    struct TCase {
        std::string Text;
        const char* Note;
    };
    const TCase cases[] = {{std::string(255 * 153, 'a'), "7-bit"},
                           {std::string(255 * 67, '\xE0'), "UCS2"}};
    for (const TCase& c : cases) {
        std::vector<TSubmitPdu> parts = Encode("12345", c.Text);
        ASSERT_EQ(parts.size(), 255u) << c.Note;
        EXPECT_EQ(ParseSubmit(parts[254].Hex).UserDataHex.substr(6, 6), "00FFFF") << c.Note;
    }
}

TEST(PduEncodeTest, ReusedVectorHoldsOnlyTheNewParts) {
    std::vector<TSubmitPdu> parts;
    ASSERT_EQ(EncodeSubmit("12345", std::string(400, 'a'), false, 1, parts), TEncodeStatus::Ok);
    ASSERT_EQ(parts.size(), 3u) << "400 septets";
    ASSERT_EQ(EncodeSubmit("12345", "hello", false, 2, parts), TEncodeStatus::Ok);
    ASSERT_EQ(parts.size(), 1u) << "parts of the previous message left behind";
    EXPECT_EQ(parts[0].Hex, "00110005912143F50000C405E8329BFD06");
    EXPECT_EQ(parts[0].CommandLength, 16);
}

// The terminal stamps the reference into parts encoded once with 0: the result must be the
// encoding with that reference, for either coding and an odd or even number of digits.
TEST(PduEncodeTest, StampedReferenceEqualsEncodedReference) {
    for (const std::string digits : {"12345", "791612345678"})
        for (const std::string& text :
             {std::string(400, 'a'), std::string(100, '\xC6'), std::string("hello")}) {
            std::vector<TSubmitPdu> stamped, encoded;
            ASSERT_EQ(EncodeSubmit(digits, text, false, 0, stamped), TEncodeStatus::Ok);
            ASSERT_EQ(EncodeSubmit(digits, text, false, 0xA7, encoded), TEncodeStatus::Ok);
            StampConcatRef(stamped, 0xA7);
            ASSERT_EQ(stamped.size(), encoded.size());
            for (size_t i = 0; i < stamped.size(); ++i)
                EXPECT_EQ(stamped[i].Hex, encoded[i].Hex) << digits << ", part " << i;
        }
}

TEST(PduEncodeTest, ConcatenatedSeptetsStartAfterOneFillBit) {
    std::string text = std::string(150, 'b') + "xyz" + "{tail}";
    std::vector<TSubmitPdu> parts = Encode("12345", text, true, 0xFE);
    ASSERT_EQ(parts.size(), 2u);
    TSubmitFields first = ParseSubmit(parts[0].Hex);
    TSubmitFields second = ParseSubmit(parts[1].Hex);
    EXPECT_EQ(first.Dcs, 0xF0) << "flash stays on every part";
    // 150 + 3 = 153 septets fill part one; the second starts with the escape of '{'.
    EXPECT_EQ(first.UserDataHex, "050003FE0201" + Pack(Ascii(text.substr(0, 153)), 1));
    std::vector<int> tail = {0x1B, 0x28, 't', 'a', 'i', 'l', 0x1B, 0x29};
    EXPECT_EQ(second.Udl, 7 + 8);
    EXPECT_EQ(second.UserDataHex, "050003FE0202" + Pack(tail, 1));
    EXPECT_EQ(Unpack(second.UserDataHex, 7, second.Udl), tail) << "septets after the header";
}

TEST(PduEncodeTest, ExtensionCharactersTakeTwoSeptets) {
    struct TCase {
        char Byte;
        int Septet;
    };
    const TCase cases[] = {{'{', 0x28},  {'}', 0x29}, {'[', 0x3C}, {']', 0x3E},   {'~', 0x3D},
                           {'\\', 0x2F}, {'^', 0x14}, {'|', 0x40}, {'\x88', 0x65}};
    for (const TCase& c : cases) {
        std::vector<TSubmitPdu> parts = Encode("12345", std::string("a") + c.Byte + "b");
        ASSERT_EQ(parts.size(), 1u) << c.Byte;
        TSubmitFields f = ParseSubmit(parts[0].Hex);
        EXPECT_EQ(f.Dcs, 0) << HexOf(std::string(1, c.Byte)) << " stays 7-bit";
        EXPECT_EQ(Unpack(f.UserDataHex, 0, f.Udl), (std::vector<int>{'a', 0x1B, c.Septet, 'b'}))
            << HexOf(std::string(1, c.Byte));
    }
}

TEST(PduEncodeTest, AlphabetDecidesBetween7BitAndUcs2) {
    struct TCase {
        std::string Text;
        int Dcs;
        std::vector<int> Septets; // for 7-bit
        const char* Note;
    };
    const TCase cases[] = {
        {"@$_", 0x00, {0x00, 0x02, 0x11}, "characters at other places of the alphabet"},
        {"\xA4\xA7", 0x00, {0x24, 0x5F}, "currency and section signs"},
        {"a\r\nb", 0x00, {'a', 0x0D, 0x0A, 'b'}, "CR and LF"},
        {"`", 0x08, {}, "grave accent has no place"},
        {"a\tb", 0x08, {}, "tab has no place"},
        {"\xA8", 0x08, {}, "Yo"},
        {"\xB8", 0x08, {}, "yo"},
        {"\xAB\xBB", 0x08, {}, "guillemets"},
        {"\xB9", 0x08, {}, "numero sign"},
        {"\xC0", 0x08, {}, "first Cyrillic letter"},
    };
    for (const TCase& c : cases) {
        std::vector<TSubmitPdu> parts = Encode("12345", c.Text, true);
        ASSERT_EQ(parts.size(), 1u) << c.Note;
        TSubmitFields f = ParseSubmit(parts[0].Hex);
        EXPECT_EQ(f.Dcs, c.Dcs == 0 ? 0xF0 : 0x08) << c.Note;
        if (c.Dcs == 0)
            EXPECT_EQ(Unpack(f.UserDataHex, 0, f.Udl), c.Septets) << c.Note;
        else
            EXPECT_EQ(f.Udl, int(2 * c.Text.size())) << c.Note;
    }
}

// --- Decoding ---

// A DELIVER line from 12345 with the given first octet, DCS, UDL and user data.
std::string Deliver(int firstOctet, int dcs, int udl, const std::string& ud) {
    char head[64];
    snprintf(head, sizeof head, "07919730071111F1%02X05912143F500%02X52107261424500%02X",
             firstOctet, dcs, udl);
    return head + ud;
}

TEST(PduDecodeTest, DecodesEveryCoding) {
    struct TCase {
        std::string Line;
        std::string Text;
        const char* Note;
    };
    const std::string privet = "041F04400438043204350442";
    const std::string hello = "E8329BFD06";
    const TCase cases[] = {
        {"000405912143F5000011111111111111"
         "05" +
             hello,
         "hello", "no SMSC, DCS 00"},
        {Deliver(0x04, 0x00, 5, hello), "hello", "with an SMSC address"},
        {Deliver(0x04, 0xF0, 5, hello), "hello", "class 0"},
        {Deliver(0x04, 0xF3, 5, hello), "hello", "class 3"},
        {Deliver(0x04, 0x11, 5, hello), "hello", "general group with class"},
        {Deliver(0x04, 0xC0, 5, hello), "hello", "message waiting, discard"},
        {Deliver(0x04, 0xD8, 5, hello), "hello", "message waiting, store"},
        {Deliver(0x04, 0x00, 5, Pack({'h', 'e', 0, 'l', 'o'})), "he@lo", "septet 0 is @"},
        {Deliver(0x04, 0x00, 2, Pack({0, 0})), "@@", "only @"},
        {Deliver(0x04, 0x00, 4, Pack({0x1B, 0x65, 0x1B, 0x3C})), "\x88[", "extension"},
        {Deliver(0x04, 0x00, 3, Pack({0x01, 0x10, 0x24})), "??\xA4", "outside cp1251"},
        {Deliver(0x04, 0x00, 3, Pack({0x1B, 0x41, 0x1B})), "A ", "unknown extension, lone escape"},
        {Deliver(0x04, 0x08, 12, privet), Cp(u8"Привет"), "UCS2"},
        {Deliver(0x04, 0x18, 12, privet), Cp(u8"Привет"), "UCS2 class 0"},
        {Deliver(0x04, 0x19, 12, privet), Cp(u8"Привет"), "UCS2 class 1"},
        {Deliver(0x04, 0xE0, 12, privet), Cp(u8"Привет"), "message waiting, UCS2"},
        {Deliver(0x04, 0x08, 6, "00414E2D0042"), "A?B", "character outside cp1251"},
        {Deliver(0x04, 0x08, 8, "0041D83DDE000042"), "A?B", "surrogate pair is one character"},
        {Deliver(0x04, 0x08, 6, "004100000042"), "A", "unit 0000 ends the text"},
        {Deliver(0x04, 0x08, 5, "0041004200"), "AB", "odd octet dropped"},
        {Deliver(0x04, 0x04, 4, "01ab7fFF"), "01AB7FFF", "8-bit data as hex"},
        {Deliver(0x04, 0xF4, 2, "0A0D"), "0A0D", "8-bit data, class 0"},
        {Deliver(0x04, 0x24, 2, "0A0D"), "0A0D", "compressed"},
        {Deliver(0x04, 0x0C, 2, "0A0D"), "0A0D", "reserved alphabet"},
        {Deliver(0x04, 0x80, 2, "0A0D"), "0A0D", "reserved coding group"},
        {Deliver(0x04, 0x00, 0, ""), "", "empty text"},
        {Deliver(0x04, 0x00, 5, hello + "00"), "hello", "octets after the user data ignored"},
        {Deliver(0x04, 0x00, 5, hello + " \t\r"), "hello", "trailing blanks ignored"},
    };
    for (const TCase& c : cases) {
        TDeliver d;
        ASSERT_EQ(DecodeDeliver(c.Line, d), TDecodeStatus::Ok) << c.Note << ": " << c.Line;
        EXPECT_EQ(d.Telephone, "12345") << c.Note;
        EXPECT_EQ(HexOf(d.Text), HexOf(c.Text)) << c.Note;
        EXPECT_EQ(d.Dcs, Octet(c.Line, Octet(c.Line, 0) + 8)) << c.Note;
    }
}

TEST(PduDecodeTest, SkipsUserDataHeader) {
    const std::string udh = "050003070201";
    struct TCase {
        std::string Line;
        std::string Text;
        const char* Note;
    };
    const TCase cases[] = {
        {Deliver(0x44, 0x00, 12, udh + Pack(Ascii("hello"), 1)), "hello", "one fill bit"},
        {Deliver(0x44, 0x00, 8 + 5, "06080400070201" + Pack(Ascii("hello"), 0)), "hello",
         "7-octet header, no fill"},
        {Deliver(0x44, 0x00, 7, udh + "00"), "", "header only"},
        {Deliver(0x44, 0x08, 6 + 4, udh + "04100411"), Cp(u8"АБ"), "UCS2 after header"},
        {Deliver(0x44, 0x04, 6 + 1, udh + "7F"), "7F", "8-bit after header"},
        {Deliver(0x04, 0x00, 5, Pack(Ascii("hello"))), "hello", "no UDHI: no header"},
    };
    for (const TCase& c : cases) {
        TDeliver d;
        ASSERT_EQ(DecodeDeliver(c.Line, d), TDecodeStatus::Ok) << c.Note << ": " << c.Line;
        EXPECT_EQ(HexOf(d.Text), HexOf(c.Text)) << c.Note;
    }
}

TEST(PduDecodeTest, RejectsMalformedLines) {
    const std::string good = Deliver(0x04, 0x00, 5, "E8329BFD06");
    struct TCase {
        std::string Line;
        const char* Note;
    };
    std::vector<TCase> cases = {
        {"", "empty"},
        {good + "0", "odd hex length"},
        {good.substr(0, 20) + "G" + good.substr(21), "not a hex digit"},
        {good.substr(0, 20) + " " + good.substr(21), "blank inside"},
        {"FF" + good.substr(2), "SMSC length beyond the line"},
        {"000415912143658709214365870921F500001111111111111100", "21-digit originator"},
        {Deliver(0x04, 0x00, 161, std::string(282, '0')), "161 septets"},
        {Deliver(0x04, 0x08, 141, std::string(282, '0')), "141 UCS2 octets"},
        {Deliver(0x04, 0x04, 141, std::string(282, '0')), "141 data octets"},
        {Deliver(0x04, 0x00, 8, "E8329BFD06"), "7-bit user data short of UDL"},
        {Deliver(0x04, 0x08, 4, "0041"), "UCS2 user data short of UDL"},
        {Deliver(0x44, 0x00, 0, ""), "UDHI without user data"},
        {Deliver(0x44, 0x00, 7, "0600030702010000"), "header longer than the septets"},
        {Deliver(0x44, 0x08, 6, "060003070201"), "header longer than UCS2 octets"},
    };
    // Every proper prefix of a good line stops short of some field.
    for (size_t n = 2; n < good.size(); n += 2)
        cases.push_back({good.substr(0, n), "cut line"});
    for (const TCase& c : cases) {
        TDeliver d;
        d.Text = "stale";
        EXPECT_EQ(DecodeDeliver(c.Line, d), TDecodeStatus::Malformed) << c.Note << ": " << c.Line;
        EXPECT_TRUE(d.Text.empty() && d.Telephone.empty()) << c.Note << ": output not cleared";
    }
}

TEST(PduDecodeTest, OnlyDeliverEntriesAreReceivedTexts) {
    struct TCase {
        int FirstOctet;
        TDecodeStatus Status;
        int32_t Type;
        const char* Note;
    };
    const TCase cases[] = {
        {0x04, TDecodeStatus::Ok, 0, "SMS-DELIVER"},
        {0x00, TDecodeStatus::Ok, 0, "SMS-DELIVER without other flags"},
        {0x07, TDecodeStatus::Ok, 0, "reserved type 3 is taken as SMS-DELIVER"},
        {0x11, TDecodeStatus::NotDeliver, 1, "a stored outgoing SMS-SUBMIT"},
        {0x06, TDecodeStatus::NotDeliver, 2, "a status report"},
    };
    for (const TCase& c : cases) {
        TDeliver d;
        d.Text = "stale";
        EXPECT_EQ(DecodeDeliver(Deliver(c.FirstOctet, 0x00, 5, "E8329BFD06"), d), c.Status)
            << c.Note;
        EXPECT_EQ(d.Type, c.Type) << c.Note;
        if (c.Status == TDecodeStatus::NotDeliver) {
            EXPECT_TRUE(d.Text.empty() && d.Telephone.empty()) << c.Note << ": no text handed on";
        }
    }
}

TEST(PduDecodeTest, ReusedResultHoldsOnlyTheNewEntry) {
    TDeliver d;
    ASSERT_EQ(DecodeDeliver(Deliver(0x04, 0x04, 3, "010203"), d), TDecodeStatus::Ok);
    ASSERT_EQ(DecodeDeliver("000400910000"
                            "52107261424500"
                            "0161",
                            d),
              TDecodeStatus::Ok);
    EXPECT_EQ(d.Telephone, "") << "no digits this time";
    EXPECT_EQ(d.Text, "a");
    EXPECT_EQ(d.Dcs, 0);
}

TEST(PduDecodeTest, OriginatorAsCarried) {
    struct TCase {
        std::string Address; // length, type, semi-octets
        std::string Telephone;
        const char* Note;
    };
    const TCase cases[] = {
        {"0B919730214365F7", "79031234567", "odd: filler not copied"},
        {"0A919730214365", "7903123456", "even"},
        {"149121436587092143658709", "12345678901234567890", "20 digits, the most"},
        {"0091", "", "no digits"},
        {"0AD0C8329BFD06", "8C23B9DF60", "alphanumeric keeps its hex characters"},
        {"0491a1b2", "1a2b", "case as in the line"},
    };
    for (const TCase& c : cases) {
        std::string line = "0004" + c.Address + "0000521072614245000161";
        TDeliver d;
        ASSERT_EQ(DecodeDeliver(line, d), TDecodeStatus::Ok) << c.Note << ": " << line;
        EXPECT_EQ(d.Telephone, c.Telephone) << c.Note;
        EXPECT_EQ(d.Text, "a") << c.Note;
    }
}

TEST(PduDecodeTest, RoundTripGivesTheTextBack) {
    const std::string cyr = Cp(u8"Съешь же ещё этих мягких французских булок, да выпей чаю. ");
    const std::string latin = "The quick brown fox jumps over the lazy dog 0123456789 @$_!? ";
    std::string all7bit;
    for (int b = 0; b < 256; ++b) {
        std::vector<uint8_t> septets;
        if (Cp1251ToGsm7(static_cast<unsigned char>(b), septets))
            all7bit += static_cast<char>(b);
    }
    std::string allUcs2;
    for (int b = 1; b < 256; ++b)
        if (b != 0x98)
            allUcs2 += static_cast<char>(b);
    const std::string cases[] = {"hello",
                                 latin,
                                 latin + latin + latin,
                                 cyr,
                                 cyr + cyr,
                                 all7bit,
                                 all7bit + all7bit,
                                 allUcs2,
                                 std::string(153, '{'),
                                 std::string(1000, '\x88'),
                                 cyr + latin + "{[]}\x88"};
    for (const std::string& text : cases) {
        std::vector<TSubmitPdu> parts = Encode("79031234567", text, false, 9);
        std::string back;
        for (const TSubmitPdu& part : parts) {
            TDeliver d;
            std::string line = AsDeliver(ParseSubmit(part.Hex));
            ASSERT_EQ(DecodeDeliver(line, d), TDecodeStatus::Ok) << line;
            EXPECT_EQ(d.Telephone, "79031234567");
            back += d.Text;
        }
        EXPECT_EQ(HexOf(back), HexOf(text)) << parts.size() << " parts";
    }
}

// --- Hex helpers ---

TEST(PduHexTest, HexDigitValues) {
    const std::pair<char, int> cases[] = {{'0', 0},  {'9', 9}, {'A', 10}, {'F', 15}, {'a', 10},
                                          {'f', 15}, {'G', 0}, {'g', 0},  {' ', 0},  {'/', 0},
                                          {':', 0},  {'@', 0}, {'`', 0},  {'\0', 0}, {'\xC0', 0}};
    for (auto [c, value] : cases)
        EXPECT_EQ(HexDigitValue(c), value) << "character " << HexOf(std::string(1, c));
}

TEST(PduHexTest, Ucs2HexToText) {
    struct TCase {
        std::string Hex;
        std::string Text;
        const char* Note;
    };
    const TCase cases[] = {
        {"0041004200430044", "ABCD", "four units"},
        {"004100420043004400", "ABCD", "18 characters: the first 16 count"},
        {"00410042004", "AB", "surplus characters ignored"},
        {"041f0440", Cp(u8"Пр"), "lower case digits"},
        {"004100000042", "A", "unit 0000 ends the text"},
        {"4E2D0021", "?!", "outside cp1251"},
        {"D83DDE00", "?", "surrogate pair"},
        {"DE00", "?", "lone low surrogate"},
        {"", "", "empty"},
        {"004", "", "shorter than one unit"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(HexOf(UCS2HexToText(c.Hex)), HexOf(c.Text)) << c.Note;
}

} // namespace
} // namespace qvx
