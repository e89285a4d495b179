// The SMS-DELIVER PDUs the simulator lists, against field values worked out by hand.
#include "gsmsim/DeliverPdu.h"

#include "support/Text.h"
#include "support/Waiting.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace qvx {
namespace {

using test::TZoneGuard;
using test::U8;

constexpr const char* Centre = "07919730071111F1"; // +79037011111
// Offsets in hex characters of a PDU from "hello"-sized originators (+12345).
constexpr size_t StampAt = 16 + 2 + 10 + 4;

TEST(DeliverPduTest, BuildsSingleMessages) {
    struct TCase {
        const char* Number;
        std::string Text;
        std::string Head; // everything before the time stamp
        std::string Tail; // TP-UDL and TP-UD
        const char* Note;
    };
    const TCase cases[] = {
        {"+12345", "hello", std::string(Centre) + "04" + "05912143F5" + "0000", "05E8329BFD06",
         "international originator, default alphabet"},
        {"12345", "hello", std::string(Centre) + "04" + "05812143F5" + "0000", "05E8329BFD06",
         "a number without plus has the unknown type"},
        {"+12345", U8(u8"Привет"), std::string(Centre) + "04" + "05912143F5" + "0008",
         "0C041F04400438043204350442", "Cyrillic goes as UCS2"},
        {"+12345", U8(u8"@€"), std::string(Centre) + "04" + "05912143F5" + "0000", "03804D19",
         "'@' as septet 0, the euro sign as an escape pair"},
        {"+12345", "", std::string(Centre) + "04" + "05912143F5" + "0000", "00", "empty text"},
    };
    for (const TCase& c : cases) {
        auto pdus = BuildDeliverPdus(c.Number, c.Text, {});
        ASSERT_EQ(pdus.size(), 1u) << c.Note;
        EXPECT_EQ(pdus[0].substr(0, c.Head.size()), c.Head) << c.Note;
        EXPECT_EQ(pdus[0].substr(c.Head.size() + 14), c.Tail) << c.Note;
        EXPECT_EQ(TpduLength(pdus[0]), static_cast<int32_t>(pdus[0].size() / 2 - 8)) << c.Note;
    }
}

TEST(DeliverPduTest, StampsTheLocalTimeWithItsZone) {
    TDeliverOptions options;
    options.Timestamp = 1700000000; // 2023-11-14 22:13:20 UTC
    struct TCase {
        const char* Zone;
        const char* Stamp;
        const char* Note;
    };
    const TCase cases[] = {
        {"MSK-3", "32115110310221", "three hours east: 12 quarters"},
        {"EST+5", "3211417131020A", "five hours west: 20 quarters with the sign bit"},
        {"UTC0", "32114122310200", "no offset"},
    };
    for (const TCase& c : cases) {
        TZoneGuard zone(c.Zone);
        auto pdus = BuildDeliverPdus("+12345", "hello", options);
        ASSERT_EQ(pdus.size(), 1u);
        EXPECT_EQ(pdus[0].substr(StampAt, 14), c.Stamp) << c.Note;
    }
}

TEST(DeliverPduTest, SplitsLongTextsIntoConcatenatedParts) {
    struct TCase {
        std::string Text;
        std::vector<std::string> Udls;
        const char* Note;
    };
    const TCase cases[] = {
        {std::string(160, 'a'), {"A0"}, "160 septets still fit one message"},
        {std::string(200, 'a'), {"A0", "36"}, "153 septets and 47, each after 7 header septets"},
        {std::string(152, 'a') + U8(u8"€") + std::string(8, 'b'),
         {"9F", "11"},
         "an escape pair is never split between parts"},
        {[] {
             std::string text;
             for (int i = 0; i < 70; ++i)
                 text += U8(u8"ж");
             return text;
         }(),
         {"8C"},
         "70 UCS2 characters fit one message"},
        {[] {
             std::string text;
             for (int i = 0; i < 100; ++i)
                 text += U8(u8"ж");
             return text;
         }(),
         {"8C", "48"},
         "67 UCS2 characters and 33, after 6 header octets"},
    };
    for (const TCase& c : cases) {
        TDeliverOptions options;
        options.ConcatRef = 0x2A;
        auto pdus = BuildDeliverPdus("+12345", c.Text, options);
        ASSERT_EQ(pdus.size(), c.Udls.size()) << c.Note;
        for (size_t i = 0; i < pdus.size(); ++i) {
            const std::string& pdu = pdus[i];
            bool multi = pdus.size() > 1;
            EXPECT_EQ(pdu.substr(16, 2), multi ? "44" : "04") << c.Note << ": TP-UDHI";
            EXPECT_EQ(pdu.substr(StampAt + 14, 2), c.Udls[i]) << c.Note << ", part " << i + 1;
            if (multi) {
                EXPECT_EQ(pdu.substr(StampAt + 16, 12),
                          "0500032A0" + std::to_string(pdus.size()) + "0" + std::to_string(i + 1))
                    << c.Note << ": concatenation header";
            }
        }
    }
    auto septets = BuildDeliverPdus("+12345", std::string(200, 'a'), {});
    ASSERT_EQ(septets.size(), 2u);
    EXPECT_EQ(septets[0].substr(StampAt + 28, 2), "C2") << "one fill bit, then 'a' (0x61) << 1";
}

TEST(DeliverPduTest, RefusesWhatCannotBeCarried) {
    TDeliverOptions single;
    single.Concatenate = false;
    EXPECT_TRUE(BuildDeliverPdus("+12345", std::string(161, 'a'), single).empty())
        << "too long for one message without concatenation";
    EXPECT_TRUE(BuildDeliverPdus("+", "hello", {}).empty()) << "a plus sign alone";
    EXPECT_TRUE(BuildDeliverPdus("+123456789012345678901", "hello", {}).empty())
        << "more than 20 digits";
    EXPECT_TRUE(BuildDeliverPdus("+12a45", "hello", {}).empty()) << "letters after a plus";
    EXPECT_TRUE(BuildDeliverPdus("", "hello", {}).empty()) << "empty number";
    EXPECT_EQ(TpduLength("00ABC"), -1) << "odd hex";
    EXPECT_EQ(TpduLength("0791"), -1) << "ends inside the centre address";
}

TEST(DeliverPduTest, WritesAnAlphanumericSenderInSeptets) {
    auto pdus = BuildDeliverPdus("Bank", "hi", {});
    ASSERT_EQ(pdus.size(), 1u);
    // "Bank": septets 42 61 6E 6B packed to C2 B0 7B 0D; 28 bits are 7 semi-octets.
    EXPECT_EQ(pdus[0].substr(16, 14), "0407D0C2B07B0D");
}

} // namespace
} // namespace qvx
