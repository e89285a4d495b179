#include "terminal/Listing.h"

#include <gtest/gtest.h>
#include <string>

namespace qvx {
namespace {

struct TExpected {
    int32_t Index;
    std::string Pdu;
    bool Complete = true;
};

TEST(ListingTest, SplitsRepliesIntoEntries) {
    const std::string longLine(600, 'A');
    struct TCase {
        std::string Reply;
        std::vector<TExpected> Entries;
        const char* Note;
    };
    const TCase cases[] = {
        {"\r\nOK\r\n", {}, "an empty store answers OK alone"},
        {"", {}, "nothing at all"},
        {"\r\n+CMGL: 3,0,,22\r\n0791ABCD\r\nOK\r\n", {{3, "0791ABCD"}}, "one entry"},
        {"\r\n+CMGL: 1,1,,5\r\nAA\r\n+CMGL: 12,0,,6\r\nBB\r\n\r\nOK\r\n",
         {{1, "AA"}, {12, "BB"}},
         "two entries in the order of the reply"},
        {"+CMGL:   7,0\r\nCC", {{7, "CC", false}}, "blanks before the index, no line end at all"},
        {"+CMGL: ,0,,5\r\nDD\r\n", {{0, "DD"}}, "no digits read as index 0"},
        {"+CMGL: 99999999999999,0\r\nEE\r\n",
         {{2147483647, "EE"}},
         "an absurd index reads as the largest value instead of overflowing"},
        {"+CMGL: 4", {{4, "", false}}, "a header cut after the index has an empty PDU"},
        {"+CMGL: 4,0\r\n", {{4, "", false}}, "a reply cut between header and PDU"},
        {"+CMGL: 4,0\r\n0791", {{4, "0791", false}}, "a reply cut inside the PDU"},
        {"+CMGL: 5,0\n\r\nFF", {{5, ""}}, "an empty PDU line"},
        {"+CMGL: 5,0\r\n+CMGL: 6,0\r\n11\r\n",
         {{5, ""}, {6, "11"}},
         "a header right behind a header does not swallow the second entry"},
        {"+CMGL: 8,0\r\n" + longLine + "\r\n+CMGL: 9,0\r\n22\r\n",
         {{8, longLine.substr(0, PduLineMax)}, {9, "22"}},
         "an overlong PDU line is cut and the next entry still found"},
        {"+CMGL:9\r\n33\r\n", {}, "a header without its blank is not an entry"},
    };
    for (const TCase& c : cases) {
        const std::vector<TListingEntry> entries = ParseListing(c.Reply);
        ASSERT_EQ(entries.size(), c.Entries.size()) << c.Note;
        for (size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].Index, c.Entries[i].Index) << c.Note << ", entry " << i;
            EXPECT_EQ(entries[i].Pdu, c.Entries[i].Pdu) << c.Note << ", entry " << i;
            EXPECT_EQ(entries[i].Complete, c.Entries[i].Complete) << c.Note << ", entry " << i;
            EXPECT_EQ(entries[i].FromHeader.substr(0, 7), "+CMGL: ")
                << c.Note << ": the rest of the reply starts at the header";
        }
    }
}

TEST(ListingTest, UnsolicitedLinesAreKeptFromTheReply) {
    struct TCase {
        std::string Reply;
        std::string Lines;
        const char* Note;
    };
    const TCase cases[] = {
        {"\r\n+CMGL: 1,0,,5\r\nAA\r\n\r\nOK\r\n", "", "a listing alone"},
        {"\r\nRING\r\n\r\n+CLIP: \"1\",129\r\n\r\nOK\r\n", "RING\r\n+CLIP: \"1\",129\r\n",
         "a call during the listing"},
        {"\r\n+CMGL: 1,0,,5\r\nAA\r\n+CUSD: 0,\"x\"\r\nOK", "+CUSD: 0,\"x\"\r\n",
         "a USSD result between an entry and OK"},
        {"xRING\r\n+CMGL: 2,0\r\nRINGING", "RINGING\r\n", "only lines that start with a result"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(UnsolicitedLines(c.Reply), c.Lines) << c.Note;
}

TEST(ListingTest, EveryLineOutsideTheListingIsAStray) {
    struct TCase {
        std::string Reply;
        std::string Strays;
        const char* Note;
    };
    const TCase cases[] = {
        {"\r\n+CMGL: 1,0,,5\r\nAA\r\n+CMGL: 2,1,,5\r\nBB\r\n\r\nOK\r\n", "", "a listing alone"},
        {"\r\nOK\r\n", "", "an empty listing"},
        {"\r\n+CMGL: 1,0,,5\r\nAA\r\nRING\r\n\r\n+CUSD: 0,\"x\",15\r\nnoise\r\n\r\nOK\r\n",
         "RING\r\n+CUSD: 0,\"x\",15\r\nnoise\r\n", "a call, a USSD result and a stray line"},
        {"\r\nRING\r\n\r\n+CMGL: 1,0,,5\r\nAA\r\nOK\r\n+CLIP: \"1\",129\r\n",
         "RING\r\n+CLIP: \"1\",129\r\n", "before the first entry and behind the OK"},
        {"+CMGL: 1,0\r\n+CMGL: 2,0\r\nBB\r\nCC\nOKAY\r\nOK", "CC\r\nOKAY\r\n",
         "a header behind a header; only the line behind a header is its PDU"},
        {"+CUSD: 0,\"a\r\nb\"\r\nOK\r\n", "+CUSD: 0,\"a\r\nb\"\r\n",
         "a USSD string over two lines"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ListingStrays(c.Reply), c.Strays) << c.Note;
}

} // namespace
} // namespace qvx
