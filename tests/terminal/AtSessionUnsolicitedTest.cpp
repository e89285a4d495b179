// The unsolicited events of an AT session: text the simulator sends between commands, moved
// off the port by FlushSave.
#include "TerminalFixture.h"

namespace qvx {
namespace {

using test::TTerminalFixture;

class AtSessionUnsolicitedTest : public TTerminalFixture {
protected:
    // The bytes as the terminal sends them, moved into the saved text.
    void Arrive(const std::string& bytes) {
        FSim.InjectBytes(bytes);
        ASSERT_TRUE(FlushUntil(bytes.size()));
        FDir.Write("Siemens.log", "");
    }
};

TEST_F(AtSessionUnsolicitedTest, CallsAndUssdResultsAreTakenOneAtATime) {
    struct TCase {
        std::string Saved;
        bool Clip;
        TUnsolicitedKind Kind;
        std::string Telephone;
        bool International;
        std::string UssdText;
        std::vector<std::string> Log;
        const char* Note;
    };
    const TCase cases[] = {
        {"\r\nRING\r\n\r\n+CLIP: \"12345\",129\r\n",
         true,
         TUnsolicitedKind::Call,
         "12345",
         false,
         "",
         {},
         "national caller"},
        {"RING\r\n+CLIP: \"+79161234567\",145,,,,0\r\n",
         true,
         TUnsolicitedKind::Call,
         "+79161234567",
         true,
         "",
         {},
         "international caller keeps its plus"},
        {"RING\r\n+CLIP: \"\",128\r\n",
         true,
         TUnsolicitedKind::Call,
         "",
         true,
         "",
         {},
         "withheld number"},
        {"RING\r\n+CLIP: \"12345\",129\r\n",
         false,
         TUnsolicitedKind::Call,
         "12345",
         false,
         "",
         {},
         "without caller identification the call is still taken off"},
        {"\r\n+CUSD: 2,\"0041004200430044\",72\r\n",
         true,
         TUnsolicitedKind::Ussd,
         "",
         false,
         "ABCD",
         {"USSD: \"ABCD\" size=4/16 DCS=2"},
         "USSD status 2 is UCS2"},
        {"+CUSD: 0,\"0041004200430044\",15\r\n",
         true,
         TUnsolicitedKind::Ussd,
         "",
         false,
         "0041004200430044",
         {"USSD: \"0041004200430044\" size=16/16 DCS=0"},
         "USSD status 0 is taken unchanged"},
        {"RING\r\n+CUSD: 0,\"bal\"\r\n",
         false,
         TUnsolicitedKind::Ussd,
         "",
         false,
         "bal",
         {"USSD: \"bal\" size=3/3 DCS=0"},
         "without caller identification a RING waits for nothing and goes at once"},
        {"\r\n\r\n", true, TUnsolicitedKind::None, "", false, "", {}, "CR and LF alone"},
        {"\r\nOK\r\n", true, TUnsolicitedKind::None, "", false, "", {}, "a late OK is thrown away"},
    };
    for (const TCase& c : cases) {
        TAtSessionOptions options = Options();
        options.Clip = c.Clip;
        OpenSession(options, false);
        Arrive(c.Saved);
        const TUnsolicitedEvent event = FSession->NextUnsolicited();
        EXPECT_EQ(event.Kind, c.Kind) << c.Note;
        EXPECT_TRUE(FSession->Saved().empty()) << c.Note << ": left " << FSession->Saved();
        EXPECT_EQ(event.Telephone, c.Telephone) << c.Note;
        EXPECT_EQ(event.International, c.International) << c.Note;
        EXPECT_EQ(event.UssdText, c.UssdText) << c.Note;
        EXPECT_EQ(LogLines(), c.Log) << c.Note << "\n" << LogText();
    }
}

TEST_F(AtSessionUnsolicitedTest, TwoCallsInOneFlushTakeTwoPasses) {
    TAtSessionOptions options = Options();
    options.Clip = true;
    OpenSession(options);
    Arrive("\r\nRING\r\n\r\n+CLIP: \"111\",129\r\n\r\nRING\r\n\r\n+CLIP: \"222\",145\r\n");
    const TUnsolicitedEvent first = FSession->NextUnsolicited();
    const TUnsolicitedEvent second = FSession->NextUnsolicited();
    EXPECT_EQ(FSession->NextUnsolicited().Kind, TUnsolicitedKind::None);
    EXPECT_EQ(first.Kind, TUnsolicitedKind::Call);
    EXPECT_EQ(first.Telephone, "111");
    EXPECT_EQ(second.Kind, TUnsolicitedKind::Call);
    EXPECT_EQ(second.Telephone, "222");
    EXPECT_TRUE(second.International);
}

TEST_F(AtSessionUnsolicitedTest, RingSplitOverTwoFlushesIsLost) {
    TAtSessionOptions options = Options();
    options.Clip = true;
    OpenSession(options);
    for (const char* piece : {"RI", "NG\r\n+CLIP: \"1\",129\r\n"}) {
        Arrive(piece);
        EXPECT_EQ(FSession->NextUnsolicited().Kind, TUnsolicitedKind::None) << piece;
        EXPECT_TRUE(FSession->Saved().empty()) << piece;
    }
}

TEST_F(AtSessionUnsolicitedTest, SavedTextStaysBoundedAndARingWaitsOnlySoLong) {
    uint32_t tick = 1000;
    TAtSessionOptions options = Options();
    options.TickSource = [&tick] { return tick; };
    options.LogExchange = true;
    options.Clip = true;
    OpenSession(options);
    // More than the port buffers at once: moved off in several flushes; the oldest bytes go.
    const uint64_t before = FSim.BytesSent();
    FSim.InjectBytes("+CUSD: 0,\"bal\"\r\n" + std::string(20000, 'z'));
    ASSERT_TRUE(WaitUntil([&] {
        FSession->FlushSave();
        return FSim.BytesSent() >= before + 20016;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // through the pseudo-terminal
    FSession->FlushSave();
    EXPECT_EQ(FSession->Saved(), std::string(TAtSession::SavedMax, 'z'));
    EXPECT_EQ(FSession->NextUnsolicited().Kind, TUnsolicitedKind::None);
    // An unidentified call holds a USSD result back, but only until its wait has run out.
    Arrive("\r\nRING\r\n");
    EXPECT_EQ(FSession->NextUnsolicited().Kind, TUnsolicitedKind::None);
    EXPECT_TRUE(HasLine("Получены данные от модема: \"RING<cr><lf>\"")) << LogText();
    FSim.InjectBytes("+CUSD: 0,\"bal\"\r\n");
    ASSERT_TRUE(FlushUntil(6 + 16));
    tick += TAtSession::RingWaitMs - 1;
    EXPECT_EQ(FSession->NextUnsolicited().Kind, TUnsolicitedKind::None)
        << "the RING still waits for its caller line";
    tick += 1;
    const TUnsolicitedEvent event = FSession->NextUnsolicited();
    EXPECT_EQ(event.Kind, TUnsolicitedKind::Ussd) << "the retired RING frees the USSD result";
    EXPECT_EQ(event.UssdText, "bal");
    EXPECT_TRUE(FSession->Saved().empty()) << FSession->Saved();
}

} // namespace
} // namespace qvx
