// Reply framing over captured terminal replies, whole and cut at every byte: a cut before the
// end of an answer must never complete it, and any cut after it must give the same verdict.
#include "terminal/ReplyFraming.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace qvx {
namespace {

constexpr size_t AnswerLimit = 5001;
constexpr size_t ListingLimit = 15000;
constexpr size_t Never = std::string::npos;

using TFramer = std::function<TReplyFrame(std::string_view)>;

TFramer Command(std::string expected) {
    return [expected](std::string_view bytes) {
        return FrameCommandAnswer(bytes, expected, AnswerLimit);
    };
}

TFramer Marker(std::string success, std::string failure) {
    return [success, failure](std::string_view bytes) {
        return FrameMarkerAnswer(bytes, success, failure, AnswerLimit);
    };
}

TFramer Listing() {
    return [](std::string_view bytes) { return FrameListing(bytes, ListingLimit); };
}

TFramer FinalResult() {
    return [](std::string_view bytes) { return FrameFinalResult(bytes, AnswerLimit); };
}

TFramer ListingRest() {
    return [](std::string_view bytes) { return FrameListingRest(bytes, ListingLimit); };
}

struct TCase {
    TFramer Frame;
    std::string Reply;
    TFrameState State;
    size_t End;         // the shortest cut that completes the answer, or Never
    std::string Answer; // what the whole reply keeps as the answer
    const char* Note;
};

const std::string Pdu = "07919761989901F0040B919761214365F70000621121141547800CC8329BFD06";
const std::string ListingEntry = "\r\n+CMGL: 1,0,,24\r\n" + Pdu + "\r\n";

// Entries past the listing bound: the cut keeps whole lines only.
std::string LongListing() {
    std::string listing;
    while (listing.size() < ListingLimit + 100)
        listing += ListingEntry;
    return listing + "\r\nOK\r\n";
}
const std::string Long = LongListing();
const std::string LongLines = Long.substr(0, Long.rfind('\n', ListingLimit - 1) + 1);

TEST(ReplyFramingTest, CapturedRepliesCutAtEveryByte) {
    const TCase cases[] = {
        // command answers
        {Command("OK"), "\r\nOK\r\n", TFrameState::Success, 6, "\r\nOK\r\n", "plain OK"},
        {Command("OK"), "at+cmee=2\r\r\nOK\r\n", TFrameState::Success, 16, "at+cmee=2\r\r\nOK\r\n",
         "the echo line ends nothing"},
        {Command("OK"), "\r\n+CSCA: \"+79168999100\",145\r\n\r\nOK\r\n", TFrameState::Success, 35,
         "\r\n+CSCA: \"+79168999100\",145\r\n\r\nOK\r\n", "a data line first"},
        {Command("OK"), "\r\nRING\r\n\r\nOK\r\n", TFrameState::Success, 14,
         "\r\nRING\r\n\r\nOK\r\n", "an unsolicited line inside the answer"},
        {Command("OK"), "\r\n+CPIN: READY\r\n\r\nOK\r\n\r\n+CMTI: \"SM\",3\r\n",
         TFrameState::Success, 22, "\r\n+CPIN: READY\r\n\r\nOK\r\n\r\n+CMTI: \"SM\",3\r\n",
         "bytes already waiting behind the final line join the answer"},
        {Command("OK"), "\r\n+CME ERROR: SIM busy\r\n\r\nRING\r\n", TFrameState::Failure, 24,
         "\r\n+CME ERROR: SIM busy\r", "an error line ends it; its LF is not kept"},
        {Command(""), "\r\nERROR\r\n", TFrameState::Success, 9, "\r\nERROR\r\n",
         "nothing expected: the first line ends it"},
        {Command("OK"), "\r\n\r\n\r\n", TFrameState::More, Never, "", "CR and LF alone"},
        {Command("OK"), "\r\nOK", TFrameState::More, Never, "", "OK without its line end"},
        {Command("OK"), std::string(6000, 'x'), TFrameState::Overlong, AnswerLimit,
         std::string(AnswerLimit, 'x'), "an answer that never ends is cut at the bound"},
        // answers ending at a marker
        {Marker("> ", ""), "\r\n> ", TFrameState::Success, 4, "\r\n> ", "the prompt"},
        {Marker("OK", "ERROR"), "\r\n+CMGS: 7\r\n\r\nOK\r\n", TFrameState::Success, 16,
         "\r\n+CMGS: 7\r\n\r\nOK\r\n", "an acknowledgement takes its waiting line end"},
        {Marker("OK", "ERROR"), "\r\n+CMS ERROR: 500\r\n", TFrameState::Failure, 12,
         "\r\n+CMS ERROR: 500\r\n", "an error report"},
        {Marker("OK", ""), "\r\nERROR\r\n", TFrameState::More, Never, "",
         "no failure marker: only the timeout ends it"},
        {Marker("OK", "ERROR"), std::string(4998, 'y') + "OK", TFrameState::Success, 5000,
         std::string(4998, 'y') + "OK", "a marker just inside the bound"},
        {Marker("OK", "ERROR"), std::string(4999, 'y') + "OK", TFrameState::Overlong, AnswerLimit,
         std::string(4999, 'y') + "OK", "a marker on the bound does not count"},
        // listings
        {Listing(), "\r\nOK\r\n", TFrameState::Success, 5, "\r\nOK\r\n", "an empty store"},
        {Listing(), ListingEntry + ListingEntry + "\r\nOK\r\n", TFrameState::Success,
         2 * ListingEntry.size() + 5, ListingEntry + ListingEntry + "\r\nOK\r\n", "two entries"},
        {Listing(), ListingEntry + "\r\n+CUSD: 0,\"OK\"\r\nOKx" + ListingEntry + "\r\nOK\n",
         TFrameState::Success, 2 * ListingEntry.size() + 25,
         ListingEntry + "\r\n+CUSD: 0,\"OK\"\r\nOKx" + ListingEntry + "\r\nOK\n",
         "only a line that is OK alone ends it, a bare LF as well"},
        {Listing(), "\r\n+CMS ERROR: 302\r\nRING\r\n", TFrameState::Failure, 18,
         "\r\n+CMS ERROR: 302\r\n", "a refused listing fails at its error line"},
        {Listing(), ListingEntry + "RING\r\nERROR\r\n\r\nOK\r\n", TFrameState::Failure,
         ListingEntry.size() + 12, ListingEntry + "RING\r\nERROR\r\n", "an error line before OK"},
        {Listing(), "\r\n+CUSD: 1,\"ERROR\"\r\nOK\r\n", TFrameState::Success, 23,
         "\r\n+CUSD: 1,\"ERROR\"\r\nOK\r\n", "ERROR inside a line is no error line"},
        {Listing(), "\r\nRING\r\n", TFrameState::More, Never, "",
         "neither OK nor error: the silence ends it"},
        {Listing(), std::string(ListingLimit + 10, 'z'), TFrameState::Overlong, ListingLimit,
         std::string(ListingLimit, 'z'), "a listing that reaches the bound without a line end"},
        {Listing(), Long, TFrameState::Overlong, ListingLimit, LongLines,
         "a listing cut at the bound keeps its complete lines"},
        // the answer to a submitted PDU
        {FinalResult(), "\r\n+CMGS: 7\r\n\r\nOK\r\nRING\r\n", TFrameState::Success, 17,
         "\r\n+CMGS: 7\r\n\r\nOK\r\n", "the final OK; what follows stays"},
        {FinalResult(), "\r\n+CUSD: 0,\"OK\"\r\nOK then\r\n+CMS ERROR: 500\r\n",
         TFrameState::Failure, 42, "\r\n+CUSD: 0,\"OK\"\r\nOK then\r\n+CMS ERROR: 500\r\n",
         "an OK inside a line or at a line's start acknowledges nothing"},
        {FinalResult(), "\r\n+CMS ERROR: 21\r\n", TFrameState::Failure, 17,
         "\r\n+CMS ERROR: 21\r\n", "a refusal ends at its line end, not at ERROR"},
        {FinalResult(), std::string(6000, 'x'), TFrameState::Overlong, AnswerLimit,
         std::string(AnswerLimit, 'x'), "an answer that never ends is cut at the bound"},
        // the rest of a cut listing, read to be dropped
        {ListingRest(), Pdu + "\r\n\r\nOK\r\nRING\r\n", TFrameState::Success, Pdu.size() + 7,
         Pdu + "\r\n\r\nOK\r\n", "the lines behind the final OK stay for the next reader"},
        {ListingRest(), "\r\nOK", TFrameState::More, Never, "", "OK without its line end"},
        {ListingRest(), Long.substr(LongLines.size()), TFrameState::Success,
         Long.size() - LongLines.size() - 1, Long.substr(LongLines.size()),
         "the rest of a long one"},
        {ListingRest(), ListingEntry + "\r\nOK\r\n" + ListingEntry + "\r\nOK\r\n",
         TFrameState::Success, ListingEntry.size() + 5, ListingEntry + "\r\nOK\r\n",
         "the first final OK ends it"},
    };
    for (const TCase& c : cases) {
        const TReplyFrame whole = c.Frame(c.Reply);
        EXPECT_EQ(whole.State, c.State) << c.Note;
        EXPECT_EQ(c.Reply.substr(0, whole.Kept), c.Answer) << c.Note;
        for (size_t cut = 0; cut <= c.Reply.size(); ++cut) {
            const TReplyFrame part = c.Frame(std::string_view(c.Reply).substr(0, cut));
            if (cut < c.End) {
                EXPECT_EQ(part.State, TFrameState::More) << c.Note << ", cut at " << cut;
                continue;
            }
            EXPECT_EQ(part.State, c.State) << c.Note << ", cut at " << cut;
            EXPECT_TRUE(part.Taken >= std::min(c.End, c.Answer.size()) && part.Taken <= cut &&
                        part.Kept <= part.Taken)
                << c.Note << ", cut at " << cut << ": took " << part.Taken;
            EXPECT_EQ(c.Reply.substr(0, part.Kept), c.Answer.substr(0, part.Kept))
                << c.Note << ", cut at " << cut;
        }
    }
}

// The lines the port reader sorts for late acknowledgements: only a whole "+CMGS" line is one,
// and a line still arriving is held back only while it may still become one.
TEST(ReplyFramingTest, InputLinesTellLateAcknowledgementsApart) {
    struct TLineCase {
        std::string Bytes;
        TLineKind Kind;
        size_t End;
        int32_t Reference;
        bool MayBecome; // of the bytes as a line still arriving
        const char* Note;
    };
    const TLineCase cases[] = {
        {"+CMGS: 7\r\nOK", TLineKind::Submitted, 10, 7, true, "CR LF ends it"},
        {"+CMGS:12\r", TLineKind::Submitted, 9, 12, true, "no blank, a CR alone"},
        {"+CMGS: 255,\"0791\"\n", TLineKind::Submitted, 18, 255, true, "more fields"},
        {"+CMGS: 7 \n", TLineKind::Submitted, 10, 7, true, "a blank behind"},
        {"+CMGS: 7", TLineKind::Partial, 0, -1, true, "no line end yet"},
        {"+CM", TLineKind::Partial, 0, -1, true, "its head still arriving"},
        {"+CMS ERROR: 332", TLineKind::Partial, 0, -1, false, "a refusal is none"},
        {"\r\n> ", TLineKind::Blank, 2, -1, false, "the blank line before a prompt"},
        {"> ", TLineKind::Partial, 0, -1, false, "a prompt is none"},
        {"OK\r\n", TLineKind::Ok, 4, -1, false, "a final OK"},
        {"OK then\r\n", TLineKind::Other, 9, -1, false, "OK inside a line"},
        {"+CMGS: \r\n", TLineKind::Other, 9, -1, true, "no reference"},
        {"+CMGS: 123456\r\n", TLineKind::Other, 15, -1, true, "a reference no terminal gives"},
        {"+CMGS: 7x\r\n", TLineKind::Other, 11, -1, true, "garbage behind the reference"},
        {"at+cmgs=23\r", TLineKind::Other, 11, -1, false, "the echo of a command"},
        {" +CMGS: 7\r\n", TLineKind::Other, 11, -1, false, "not at the start of its line"},
        {"+CMGS: 7" + std::string(100, ' ') + "\r\n", TLineKind::Other, 110, -1, false,
         "longer than any acknowledgement"},
    };
    for (const TLineCase& c : cases) {
        const TInputLine line = NextInputLine(c.Bytes, 0);
        EXPECT_EQ(line.Kind, c.Kind) << c.Note;
        EXPECT_EQ(line.End, c.End) << c.Note;
        EXPECT_EQ(line.Reference, c.Reference) << c.Note;
        EXPECT_EQ(MayBecomeSubmitted(c.Bytes), c.MayBecome) << c.Note;
    }
    EXPECT_EQ(NextInputLine("OK\r\n+CMGS: 9\r\n", 4).Reference, 9) << "from the middle";
}

} // namespace
} // namespace qvx
