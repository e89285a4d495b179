// Submission by an AT session; what the simulator received is read back with its own decoder,
// which was written without the service's encoder.
#include "TerminalFixture.h"
#include "infra/Codepage.h"
#include "support/Text.h"

namespace qvx {
namespace {

using test::TTerminalFixture;
using test::U8;

class AtSessionSubmitTest : public TTerminalFixture {};

// Each submission of a long text stamps a reference of its own into its parts, a repeated
// one too, so that the parts of two attempts are never joined; the first is the one the
// options carry, and the octet wraps.
TEST_F(AtSessionSubmitTest, LongTextsGoAsConcatenatedParts) {
    std::string latin;
    for (int i = 0; i < 200; ++i)
        latin += static_cast<char>('a' + i % 26);
    std::string cyrillicUtf8;
    for (int i = 0; i < 100; ++i)
        cyrillicUtf8 += U8(u8"Ж");
    struct TCase {
        std::string Text; // cp1251
        std::string Utf8;
        size_t Parts;
        TSmsCoding Coding;
    };
    const TCase cases[] = {
        {latin, latin, 2, TSmsCoding::Gsm7},
        {latin, latin, 2, TSmsCoding::Gsm7},
        {Utf8ToCp1251(cyrillicUtf8), cyrillicUtf8, 2, TSmsCoding::Ucs2},
    };
    TAtSessionOptions options = Options();
    options.ConcatRef = 254;
    OpenSession(options);
    size_t total = 0;
    int32_t ref = 254;
    for (const TCase& c : cases) {
        const TSubmitResult result = FSession->Submit(Queued("12345", c.Text).Prepared);
        EXPECT_EQ(result.Code, TGsmResult::OK) << LogText();
        EXPECT_EQ(result.References.size(), c.Parts);
        total += c.Parts;
        ASSERT_TRUE(FSim.WaitForSubmitted(total, 10000)) << LogText();
        const std::vector<TSubmittedSms> sent = FSim.Submitted();
        std::string joined;
        for (size_t i = total - c.Parts; i < total; ++i) {
            const TSubmitView& view = sent[i].View;
            EXPECT_EQ(view.Error, "") << i;
            EXPECT_TRUE(view.HasUdh) << i;
            EXPECT_EQ(view.Coding, c.Coding) << i;
            EXPECT_EQ(view.ConcatTotal, static_cast<int32_t>(c.Parts)) << i;
            EXPECT_EQ(view.ConcatSeq, static_cast<int32_t>(i - (total - c.Parts) + 1)) << i;
            EXPECT_EQ(view.ConcatRef, sent[total - c.Parts].View.ConcatRef)
                << "the parts of one message share their reference";
            EXPECT_TRUE(sent[i].LengthMatches) << i;
            joined += view.Text;
        }
        EXPECT_EQ(joined, c.Utf8) << "the parts together give the whole text";
        EXPECT_EQ(sent[total - 1].View.ConcatRef, ref) << "each message has its own reference";
        ref = (ref + 1) % 256;
    }
    EXPECT_EQ(FSession->NextConcatRef(), 1) << "the next session carries on from here";
}

// The prompt is awaited in whole seconds of the answer timeout, cut down: under a second the
// session does not wait for it at all.
TEST_F(AtSessionSubmitTest, PromptWaitCountsWholeSeconds) {
    TAtSessionOptions options = Options();
    options.Settings.ModemTimeoutMs = 999;
    OpenSession(options);
    EXPECT_EQ(FSession->Submit(Queued("12345", "x").Prepared).Code, TGsmResult::ATCommand);
    EXPECT_EQ(FSim.SubmittedCount(), 0u);
}

// Only a final "OK" line acknowledges: a USSD text "OK" in front of a refusal must not stamp
// the message sent. A refusal that arrives slowly is read whole, not cut at "ERROR".
TEST_F(AtSessionSubmitTest, OnlyAFinalOkAcknowledgesAndARefusalIsReadWhole) {
    OpenSession();
    FSim.SetSubmitInterjection("\r\n+CUSD: 0,\"OK\"\r\nOK then\r\n");
    FSim.SetSubmitReply(TSubmitReply::CmsError, 1, 500);
    TSubmitResult result = FSession->Submit(Queued("12345", "x").Prepared);
    EXPECT_EQ(result.Code, TGsmResult::WriteFrame) << LogText();
    EXPECT_EQ(result.Refusal, "+CMS ERROR: 500");
    result = FSession->Submit(Queued("12345", "y").Prepared);
    EXPECT_EQ(result.Code, TGsmResult::OK) << LogText();
    EXPECT_EQ(result.References, std::vector<int32_t>{0}) << "the reference behind the USSD line";

    FSim.SetSubmitInterjection("");
    FSim.SetRefusedNumber("111", 21);
    FSim.SetBaudRate(600); // 60 bytes a second: the refusal arrives in many reads
    result = FSession->Submit(Queued("+111", "z").Prepared);
    EXPECT_EQ(result.Refusal, "+CMS ERROR: 21") << LogText();
}

// An acknowledgement of an earlier submission that arrives in front of the prompt, or in front
// of the part's own answer, is a late one and never the part's reference.
TEST_F(AtSessionSubmitTest, LateAcknowledgementsAreNotThePartsReference) {
    struct TCase {
        std::string Prompt; // in front of the prompt
        std::string Answer; // in front of the part's own answer
        const char* Note;
    };
    const TCase cases[] = {
        {"\r\n+CMGS: 200\r\n\r\nOK\r\n", "", "in front of the prompt, with its OK"},
        {"", "\r\n+CMGS: 200\r\n", "in front of the part's own answer"},
    };
    OpenSession();
    for (const TCase& c : cases) {
        FSim.SetPromptInterjection(c.Prompt);
        FSim.SetSubmitInterjection(c.Answer);
        const TSubmitResult result = FSession->Submit(Queued("12345", "x").Prepared);
        ASSERT_EQ(result.Code, TGsmResult::OK) << c.Note << "\n" << LogText();
        EXPECT_EQ(result.References, std::vector<int32_t>{FSim.Submitted().back().Reference})
            << c.Note;
        EXPECT_EQ(FSession->TakeLateReferences(), std::vector<int32_t>{200}) << c.Note;
    }
}

// A late refusal in front of the prompt is logged, and the submission goes on.
TEST_F(AtSessionSubmitTest, ALateRefusalInFrontOfThePromptIsLogged) {
    OpenSession();
    FSim.SetPromptInterjection("\r\n+CMS ERROR: 332\r\n");
    EXPECT_EQ(FSession->Submit(Queued("12345", "x").Prepared).Code, TGsmResult::OK);
    EXPECT_TRUE(FSession->TakeLateReferences().empty());
    EXPECT_TRUE(HasLine("Отказ сети с опозданием: +CMS ERROR: 332")) << LogText();
}

// The claim is asked once more at each part's prompt: a message whose claim went meanwhile
// stops there, its open entry cancelled with nothing sent for that part, and the session goes
// on working.
TEST_F(AtSessionSubmitTest, AMessageWhoseClaimWentStopsAtThePrompt) {
    std::string latin(200, 'a'); // two parts
    OpenSession(Options());
    int32_t asked = 0;
    const struct {
        int32_t AllowedParts;
        size_t Sent;
    } cases[] = {{0, 0}, {1, 1}, {2, 2}};
    size_t total = 0;
    for (const auto& c : cases) {
        asked = 0;
        const TSubmitResult result = FSession->Submit(Queued("12345", latin).Prepared,
                                                      [&] { return ++asked <= c.AllowedParts; });
        EXPECT_EQ(result.Code, TGsmResult::OK) << LogText();
        EXPECT_EQ(result.Stopped, c.AllowedParts < 2) << c.AllowedParts;
        EXPECT_EQ(result.References.size(), c.Sent) << "only the parts written count";
        EXPECT_EQ(asked, std::min(c.AllowedParts + 1, 2)) << "asked at every prompt";
        total += c.Sent;
        ASSERT_TRUE(FSim.WaitForSubmitted(total, 10000)) << LogText();
        EXPECT_EQ(FSim.SubmittedCount(), total) << "a cancelled entry sends nothing";
    }
    EXPECT_EQ(FSession->Submit(Queued("12345", "x").Prepared).Code, TGsmResult::OK)
        << "the cancelled entry leaves the terminal working" << LogText();
}

} // namespace
} // namespace qvx
