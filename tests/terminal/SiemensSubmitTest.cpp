// Outgoing messages through the running terminal thread; what the simulator received is read
// back with its own decoder, which was written without the service's encoder.
#include "SiemensFixture.h"
#include "infra/Codepage.h"
#include "support/Text.h"

namespace qvx {
namespace {

using test::TSiemensFixture;
using test::U8;

class SiemensSubmitTest : public TSiemensFixture {
protected:
    void StartWorking() {
        ASSERT_TRUE(FTerminal->Start());
        ASSERT_TRUE(WaitForState(TTerminalState::Working)) << LogText();
    }
    bool WaitForQueueEmpty() {
        return WaitUntil([&] { return FTerminal->OutgoingCount() == 0; });
    }
    // The outcomes reported so far, after waiting for count of them.
    std::vector<TOutcome> Outcomes(size_t count) {
        EXPECT_TRUE(WaitUntil([&] {
            FTerminal->TakeOutcomes(FOutcomes);
            return FOutcomes.size() >= count;
        })) << "only "
            << FOutcomes.size() << " of " << count << " outcomes came\n"
            << LogText();
        return FOutcomes;
    }
    static TSMS Sms(const std::string& phone, const std::string& text, int32_t msgId) {
        return {phone, text, false, false, msgId, 0};
    }

    std::vector<TOutcome> FOutcomes;
};

TEST_F(SiemensSubmitTest, QueuedNumberIsSubmittedAsDigits) {
    StartWorking();
    EXPECT_TRUE(FTerminal->QueueSMS({"+7 (916) 123-45-67", "hello", true, false}));
    ASSERT_TRUE(FSim.WaitForSubmitted(1, 10000)) << LogText();
    ASSERT_TRUE(WaitForLine("SMS тел=\"+7 (916) 123-45-67\" текст=\"hello\" отправлена"))
        << "the success line shows the number as queued\n"
        << LogText();
    const TSubmittedSms sms = FSim.Submitted()[0];
    EXPECT_EQ(sms.View.Error, "");
    EXPECT_EQ(sms.View.Destination, "79161234567");
    EXPECT_EQ(sms.View.DestinationType, 0x91);
    EXPECT_EQ(sms.View.Text, "hello");
    EXPECT_EQ(sms.View.MessageClass, 0) << "flash in the default alphabet is class 0";
    EXPECT_TRUE(sms.LengthMatches) << "the at+cmgs length counts the octets after the SMSC";
    EXPECT_EQ(FTerminal->OutgoingCount(), 0);
}

TEST_F(SiemensSubmitTest, MessagesThatCanNeverBeSentAreDropped) {
    struct TCase {
        TSMS Sms;
        std::string Line;
        int32_t Code;
    };
    const TCase cases[] = {
        {{"+-()", "x", true, false, 1},
         "Ошибка отправки SMS: неверный телефонный номер (пустой) [тел=\"\" текст=\"x\" код=10]",
         10},
        {{"123456789012345678901", "x", true, false, 2},
         "Ошибка отправки SMS: неверный телефонный номер (пустой) "
         "[тел=\"123456789012345678901\" текст=\"x\" код=10]",
         10},
        {{"12345", "", true, false, 3},
         "Ошибка отправки SMS: неверный текст сообщения (пустой) [тел=\"12345\" текст=\"\" "
         "код=11]",
         11},
        {{"12345", "a\x98", true, false, 4},
         "Ошибка отправки SMS: при преобразовании текста в UNICODE [тел=\"12345\" "
         "текст=\"a<98>\" код=2]", // 0x98 stops a cp1251 converter: shown as text
         2},
    };
    StartWorking();
    for (const TCase& c : cases)
        FTerminal->QueueSMS(c.Sms);
    FTerminal->QueueSMS(Sms("12345", "last", 5));
    ASSERT_TRUE(FSim.WaitForSubmitted(1, 10000)) << LogText();
    ASSERT_TRUE(WaitForQueueEmpty());
    for (const TCase& c : cases)
        EXPECT_EQ(CountLines(c.Line), 1u) << c.Line << "\n" << LogText();
    EXPECT_EQ(FSim.SubmittedCount(), 1u) << "nothing of the dropped messages reached the line";
    EXPECT_EQ(FSim.Submitted()[0].View.Text, "last");
    EXPECT_FALSE(HasLine("Выполним инициализацию повторно")) << LogText();

    const std::vector<TOutcome> outcomes = Outcomes(5);
    ASSERT_EQ(outcomes.size(), 5u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(outcomes[i].MsgId, cases[i].Sms.MsgId);
        EXPECT_EQ(outcomes[i].Kind, TOutcomeKind::GivenUp) << "a dropped message is given up";
        EXPECT_EQ(outcomes[i].ResultCode, cases[i].Code) << cases[i].Line;
    }
    EXPECT_EQ(outcomes[4].MsgId, 5);
    EXPECT_EQ(outcomes[4].Kind, TOutcomeKind::Acknowledged);
    EXPECT_EQ(outcomes[4].References, std::vector<int32_t>{FSim.Submitted()[0].Reference})
        << "the acknowledgement carries the terminal's message reference";
}

// The network refusing one number must cost its message three tries, not the queue behind it.
TEST_F(SiemensSubmitTest, ARefusedMessageIsGivenUpAfterThreeRefusals) {
    FSim.SetRefusedNumber("111", 21);
    StartWorking();
    FTerminal->QueueSMS(Sms("+111", "refused", 7));
    FTerminal->QueueSMS(Sms("12345", "next", 8));
    const std::vector<TOutcome> outcomes = Outcomes(2);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].MsgId, 7);
    EXPECT_EQ(outcomes[0].Kind, TOutcomeKind::GivenUp);
    EXPECT_NE(outcomes[0].Reason.find("+CMS ERROR: 21"), std::string::npos)
        << "the reason must carry the network's answer: " << outcomes[0].Reason;
    EXPECT_EQ(outcomes[1].MsgId, 8);
    EXPECT_EQ(outcomes[1].Kind, TOutcomeKind::Acknowledged);
    const std::vector<TSubmittedSms> sent = FSim.Submitted();
    ASSERT_EQ(sent.size(), 4u) << LogText();
    EXPECT_EQ(sent[2].View.Text, "refused") << "three tries of the refused message";
    EXPECT_EQ(sent[3].View.Text, "next");
    EXPECT_EQ(CountLines("Выполним инициализацию повторно"), 2u)
        << "a re-initialisation after each refusal but the last\n"
        << LogText();
}

TEST_F(SiemensSubmitTest, FailedSubmissionReinitialisesAndRetries) {
    struct TCase {
        TSubmitReply Reply;
        std::string Line;
    };
    const TCase cases[] = {
        {TSubmitReply::NoPrompt, "Ошибка отправки SMS: при выполнении AT команды "
                                 "[тел=\"12345\" текст=\"Ёлка\" код=3]"},
        {TSubmitReply::CmsError, "Ошибка отправки SMS: при записи SMS кадра "
                                 "[тел=\"12345\" текст=\"Ёлка\" код=4]"},
    };
    StartWorking();
    size_t attempts = 0;
    for (const TCase& c : cases) {
        FSim.SetSubmitReply(c.Reply, 1);
        FDir.Write("Siemens.log", "");
        FTerminal->QueueSMS({"12345", "Ёлка", false, false});
        ASSERT_TRUE(WaitForQueueEmpty()) << LogText();
        const std::vector<std::string> lines = LogLines();
        const auto failed = std::find(lines.begin(), lines.end(), c.Line);
        ASSERT_NE(failed, lines.end()) << LogText();
        ASSERT_LT(failed + 2, lines.end()) << LogText();
        EXPECT_EQ(failed[1], "Выполним инициализацию повторно") << LogText();
        EXPECT_EQ(failed[2], "Открытие порта \"" + FDir.File("modem") + "\"") << LogText();
        EXPECT_EQ(lines.back(), "SMS тел=\"12345\" текст=\"Ёлка\" отправлена") << LogText();
        attempts += c.Reply == TSubmitReply::CmsError ? 2 : 1;
        ASSERT_TRUE(FSim.WaitForSubmitted(attempts, 10000));
        EXPECT_EQ(FSim.Submitted().back().View.Text, U8(u8"Ёлка"))
            << "the same message is sent after re-initialisation";
    }
}

TEST_F(SiemensSubmitTest, OneSubmissionPerPass) {
    StartWorking();
    for (const char* text : {"one", "two", "three"})
        FTerminal->QueueSMS({"12345", text, false, false});
    ASSERT_TRUE(FSim.WaitForSubmitted(3, 10000)) << LogText();
    std::vector<std::string> heads;
    for (const std::string& line : FSim.CommandLog()) {
        if (line.rfind("at+cmgs", 0) == 0)
            heads.push_back("cmgs");
        else if (line.rfind("at+cmgl", 0) == 0)
            heads.push_back("cmgl");
    }
    for (size_t i = 1; i < heads.size(); ++i)
        EXPECT_FALSE(heads[i] == "cmgs" && heads[i - 1] == "cmgs")
            << "two submissions without a listing between them at " << i;
    const std::vector<TSubmittedSms> sent = FSim.Submitted();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].View.Text, "one");
    EXPECT_EQ(sent[2].View.Text, "three") << "the queue keeps its order";
}

TEST_F(SiemensSubmitTest, LongTextsGoAsConcatenatedParts) {
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
        {Utf8ToCp1251(cyrillicUtf8), cyrillicUtf8, 2, TSmsCoding::Ucs2},
    };
    StartWorking();
    size_t total = 0;
    int32_t lastRef = -1;
    for (const TCase& c : cases) {
        FTerminal->QueueSMS({"12345", c.Text, false, false});
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
        EXPECT_NE(sent[total - 1].View.ConcatRef, lastRef) << "each message has its own reference";
        lastRef = sent[total - 1].View.ConcatRef;
    }
}

} // namespace
} // namespace qvx
