#include "terminal/Unsolicited.h"

#include <gtest/gtest.h>
#include <string>

namespace qvx {
namespace {

constexpr uint32_t WaitMs = 10000;

// Runs the scanner the way the terminal thread does: leading CR/LF off, then one event.
TUnsolicitedEvent Step(TUnsolicitedScanner& scanner, std::string& saved, uint32_t tick) {
    if (!StripLeadingCrLf(saved))
        return {};
    return scanner.Next(saved, tick);
}

TEST(UnsolicitedTest, CallsAreReadFromTheCallerLine) {
    struct TCase {
        std::string Saved;
        std::string Telephone;
        std::string Type;
        bool International;
        std::string Left;
        const char* Note;
    };
    const TCase cases[] = {
        {"RING\r\n\r\n+CLIP: \"12345\",129\r\n", "12345", "129", false, "", "national type"},
        {"RING\r\n\r\n+CLIP: \"+79161234567\",145,,,,0\r\n", "+79161234567", "145", true, "",
         "international type keeps the plus"},
        {"RING\r\n+CLIP: \"\",128\r\n", "", "128", true, "", "withheld number, type still read"},
        {"RING\r\n+CLIP: \"555\"\r\n", "555", "", true, "", "no type counts as international"},
        {"RING\r\n+CLIP: \"1\",129\r\nRING\r\n+CLIP: \"2\",129\r\n", "1", "129", false,
         "RING\r\n+CLIP: \"2\",129\r\n", "the second call waits for the next pass"},
        {"junk RING\r\n+CLIP: \"7\",129", "7", "129", false, "", "no line end after the type"},
    };
    for (const TCase& c : cases) {
        TUnsolicitedScanner scanner(WaitMs);
        std::string saved = c.Saved;
        const TUnsolicitedEvent event = Step(scanner, saved, 0);
        EXPECT_EQ(event.Kind, TUnsolicitedKind::Call) << c.Note;
        EXPECT_EQ(event.Telephone, c.Telephone) << c.Note;
        EXPECT_EQ(event.Type, c.Type) << c.Note;
        EXPECT_EQ(event.International, c.International) << c.Note;
        EXPECT_EQ(saved, c.Left) << c.Note << ": what stays for the next pass";
    }
}

TEST(UnsolicitedTest, UssdResultsAreDecodedByTheirStatus) {
    struct TCase {
        std::string Saved;
        int32_t Status;
        std::string String;
        std::string Text;
        std::string Left;
        const char* Note;
    };
    const TCase cases[] = {
        {"+CUSD: 2,\"0041004200430044\",72\r\n", 2, "0041004200430044", "ABCD", "",
         "status 2 is UCS2 hex"},
        {"+CUSD: 0,\"0041004200430044\",15\r\n", 0, "0041004200430044", "0041004200430044", "",
         "status 0 is taken unchanged"},
        {"+CUSD: 2,\"00410042004300440045\"\r\n", 2, "00410042004300440045", "ABCDE", "",
         "20 hex digits give five characters"},
        {"+CUSD: 2,\"004100420043004400\"\r\n", 2, "004100420043004400", "ABCD", "",
         "18 hex digits are decoded from their first 16"},
        {"+CUSD: 0,\"Balance\r\n10 RUB\"\r\nOK\r\n", 0, "Balance\r\n10 RUB", "Balance\r\n10 RUB",
         "OK\r\n", "a string over two lines"},
        {"+CUSD: 2\r\n+CUSD: 0,\"x\"\r\n", 2, "", "", "+CUSD: 0,\"x\"\r\n",
         "a result without a string ends at its own line"},
        {"+CUSD: 0,\"open", 0, "open", "open", "", "a string without its closing quote"},
        {"+CUSD:", 0, "", "", "", "nothing after the head"},
        {"+CUSD: 99999999999999,\"a\"", 2147483647, "a", "a", "",
         "an absurd status reads as the largest value instead of overflowing"},
    };
    for (const TCase& c : cases) {
        TUnsolicitedScanner scanner(WaitMs);
        std::string saved = c.Saved;
        const TUnsolicitedEvent event = Step(scanner, saved, 0);
        EXPECT_EQ(event.Kind, TUnsolicitedKind::Ussd) << c.Note;
        EXPECT_EQ(event.UssdStatus, c.Status) << c.Note;
        EXPECT_EQ(event.UssdString, c.String) << c.Note;
        EXPECT_EQ(event.UssdText, c.Text) << c.Note;
        EXPECT_EQ(saved, c.Left) << c.Note << ": what stays for the next pass";
    }
}

TEST(UnsolicitedTest, OtherTextIsThrownAway) {
    const char* cases[] = {"\r\nOK\r\n",          "RI",      "NG\r\n", "+CLIP: \"1\",129\r\n",
                           "+CMTI: \"SM\",3\r\n", "\r\n\r\n"};
    for (const char* text : cases) {
        TUnsolicitedScanner scanner(WaitMs);
        std::string saved = text;
        const TUnsolicitedEvent event = Step(scanner, saved, 0);
        EXPECT_EQ(event.Kind, TUnsolicitedKind::None) << text;
        EXPECT_TRUE(saved.empty()) << "left over from " << text << ": " << saved;
    }
}

TEST(UnsolicitedTest, RingWaitsForItsCallerLineUntilTheBound) {
    TUnsolicitedScanner scanner(WaitMs);
    std::string saved = "RING\r\n";
    const uint32_t start = 0xFFFFF000u; // the wait is measured across the tick wrap-around
    EXPECT_EQ(Step(scanner, saved, start).Kind, TUnsolicitedKind::None);
    EXPECT_EQ(saved, "RING\r\n") << "a RING without its caller line must wait";
    saved += "+CUSD: 0,\"late\"\r\n";
    EXPECT_EQ(Step(scanner, saved, start + WaitMs - 1).Kind, TUnsolicitedKind::None)
        << "the USSD result waits behind the RING until the bound";
    const TUnsolicitedEvent event = Step(scanner, saved, start + WaitMs);
    EXPECT_EQ(event.Kind, TUnsolicitedKind::Ussd) << "the retired RING frees the USSD result";
    EXPECT_EQ(event.UssdText, "late");
    EXPECT_TRUE(saved.empty()) << saved;
}

TEST(UnsolicitedTest, RingThatGetsItsCallerLineInTimeIsACall) {
    TUnsolicitedScanner scanner(WaitMs);
    std::string saved = "RING\r\n";
    EXPECT_EQ(Step(scanner, saved, 100).Kind, TUnsolicitedKind::None);
    saved += "+CLIP: \"42\",129\r\n";
    EXPECT_EQ(Step(scanner, saved, 100 + WaitMs - 1).Telephone, "42");
    // A later RING starts a wait of its own instead of inheriting the old one.
    saved = "RING\r\n";
    EXPECT_EQ(Step(scanner, saved, 100 + WaitMs + 5000).Kind, TUnsolicitedKind::None);
    EXPECT_EQ(saved, "RING\r\n") << "a new RING must get its full wait";
}

TEST(UnsolicitedTest, RetiringARingKeepsAUssdResultInFrontOfIt) {
    TUnsolicitedScanner scanner(WaitMs);
    std::string saved = "+CUSD: 0,\"first\"\r\nRING\r\nRING\r\n";
    EXPECT_EQ(Step(scanner, saved, 0).Kind, TUnsolicitedKind::None);
    EXPECT_EQ(Step(scanner, saved, WaitMs).Kind, TUnsolicitedKind::None)
        << "the second RING starts its own wait";
    EXPECT_EQ(saved, "+CUSD: 0,\"first\"\r\nRING\r\n");
    const TUnsolicitedEvent event = Step(scanner, saved, 2 * WaitMs);
    EXPECT_EQ(event.Kind, TUnsolicitedKind::Ussd);
    EXPECT_EQ(event.UssdText, "first");
}

TEST(UnsolicitedTest, SavedTextKeepsItsNewestBytes) {
    std::string saved(20000, 'a');
    saved += "RING";
    BoundSaved(saved, 16384);
    ASSERT_EQ(saved.size(), 16384u);
    EXPECT_EQ(saved.substr(saved.size() - 4), "RING") << "the oldest bytes go first";
    std::string small = "abc";
    BoundSaved(small, 16384);
    EXPECT_EQ(small, "abc") << "text under the bound is left alone";
}

} // namespace
} // namespace qvx
