// The decoder of submitted PDUs against vectors worked out by hand from the field layouts of
// the SMS-SUBMIT and the septet packing, never from an encoder.
#include "gsmsim/SubmitPdu.h"

#include "support/Text.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

using test::U8;

// SMS centre "00", the given first octet, MR 00, destination 12345 international.
std::string Pdu(const char* firstOctet, const char* dcs, const std::string& udlAndData) {
    return std::string("00") + firstOctet + "00" + "05912143F5" + "00" + dcs + "C4" + udlAndData;
}

TEST(SubmitPduTest, DecodesTextsInEveryAlphabet) {
    struct TCase {
        std::string Hex;
        TSmsCoding Coding;
        std::string Text;
        int32_t Class;
        const char* Note;
    };
    const TCase cases[] = {
        {Pdu("11", "00", "05E8329BFD06"), TSmsCoding::Gsm7, "hello", -1, "five septets"},
        {Pdu("11", "00", "0AE8329BFD4697D9EC37"), TSmsCoding::Gsm7, "hellohello", -1,
         "ten septets over nine octets"},
        {Pdu("11", "00", "0CC8F71D14969741F977FD07"), TSmsCoding::Gsm7, "How are you?", -1,
         "twelve septets, eleven octets"},
        {Pdu("11", "00", "03804D19"), TSmsCoding::Gsm7, U8(u8"@€"), -1,
         "'@' is septet 0, the euro sign an escape pair"},
        {Pdu("11", "F0", "05E8329BFD06"), TSmsCoding::Gsm7, "hello", 0, "flash message"},
        {Pdu("11", "08", "0C041F04400438043204350442"), TSmsCoding::Ucs2, U8(u8"Привет"), -1,
         "UCS2"},
        {Pdu("11", "08", "04D83DDE00"), TSmsCoding::Ucs2, U8(u8"😀"), -1,
         "a surrogate pair joins into one character"},
        {Pdu("11", "04", "03010203"), TSmsCoding::Data8, "010203", -1, "8-bit data as hex"},
    };
    for (const TCase& c : cases) {
        TSubmitView view = DecodeSubmitPdu(c.Hex);
        EXPECT_EQ(view.Error, "") << c.Note;
        EXPECT_EQ(view.Coding, c.Coding) << c.Note;
        EXPECT_EQ(view.Text, c.Text) << c.Note;
        EXPECT_EQ(view.MessageClass, c.Class) << c.Note;
        EXPECT_EQ(view.Destination, "12345") << c.Note;
    }
}

TEST(SubmitPduTest, ReadsConcatenationHeaders) {
    struct TCase {
        std::string Hex;
        int32_t Ref, Total, Seq;
        std::string Text;
        const char* Note;
    };
    const TCase cases[] = {
        {Pdu("51", "00", "0805000301020182"), 1, 2, 1, "A",
         "six header octets and one fill bit before the first septet"},
        {Pdu("51", "00", "090608041234030141"), 0x1234, 3, 1, "A",
         "16-bit reference: seven header octets end on a septet boundary"},
        {Pdu("51", "08", "080500030702020041"), 7, 2, 2, "A", "UCS2 after the header"},
    };
    for (const TCase& c : cases) {
        TSubmitView view = DecodeSubmitPdu(c.Hex);
        EXPECT_EQ(view.Error, "") << c.Note;
        EXPECT_TRUE(view.HasUdh) << c.Note;
        EXPECT_EQ(view.ConcatRef, c.Ref) << c.Note;
        EXPECT_EQ(view.ConcatTotal, c.Total) << c.Note;
        EXPECT_EQ(view.ConcatSeq, c.Seq) << c.Note;
        EXPECT_EQ(view.Text, c.Text) << c.Note;
    }
}

TEST(SubmitPduTest, RefusesMalformedPdus) {
    struct TCase {
        std::string Hex;
        const char* Note;
    };
    const TCase cases[] = {
        {"0011000591", "ends inside the address"},
        {Pdu("11", "00", "05E8329B"), "fewer user data octets than TP-UDL asks"},
        {Pdu("11", "00", "05E8329BFD0600"), "more user data octets than TP-UDL asks"},
        {Pdu("04", "00", "05E8329BFD06"), "an SMS-DELIVER is not a submission"},
        {Pdu("11", "00", "05E8329BFD0"), "odd number of hex digits"},
        {Pdu("11", "00", "05E8329BFDXY"), "not hex"},
        {Pdu("51", "00", "0109"), "header length beyond the user data"},
        {Pdu("11", "08", "8D" + std::string(282, '0')), "UCS2 beyond 140 octets"},
        {"", "empty"},
    };
    for (const TCase& c : cases)
        EXPECT_NE(DecodeSubmitPdu(c.Hex).Error, "") << c.Note;
}

TEST(SubmitPduTest, ReadsTheHeaderFieldsAndValidityFormats) {
    // First octet 31: VPF relative with a status report; 01: no validity period at all.
    TSubmitView relative = DecodeSubmitPdu(Pdu("31", "00", "05E8329BFD06"));
    EXPECT_EQ(relative.ValidityFormat, 2);
    EXPECT_TRUE(relative.StatusReportRequest);
    EXPECT_EQ(relative.ValidityHex, "C4");
    TSubmitView none = DecodeSubmitPdu("0001000591"
                                       "2143F5"
                                       "0000"
                                       "05E8329BFD06");
    EXPECT_EQ(none.Error, "");
    EXPECT_EQ(none.ValidityFormat, 0);
    EXPECT_EQ(none.Text, "hello") << "without TP-VP the length follows the DCS";
    TSubmitView odd = DecodeSubmitPdu("001100"
                                      "0B91"
                                      "9710325476F8"
                                      "0000C4"
                                      "05E8329BFD06");
    EXPECT_EQ(odd.Destination, "79012345678") << "odd digit count ends with the filler F";
    TSubmitView centre =
        DecodeSubmitPdu("07919730071111F1" + Pdu("11", "00", "05E8329BFD06").substr(2));
    EXPECT_EQ(centre.Text, "hello") << "an SMS centre address in front is skipped";
}

TEST(SubmitPduTest, DescribesASubmissionOnOneLine) {
    TSubmitView view = DecodeSubmitPdu(Pdu("51", "08", "0C0500030702020041000D000A"));
    EXPECT_EQ(DescribeSubmit(view), "SMS to 12345 [UCS2, part 2/2]: A\\r\\n");
}

} // namespace
} // namespace qvx
