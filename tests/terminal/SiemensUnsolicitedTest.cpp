// CheckForRing on a terminal that is not started: saved text put in place by hand or moved
// off the simulated port by FlushSave.
#include "SiemensFixture.h"

namespace qvx {
namespace {

using test::TSiemensFixture;

class SiemensUnsolicitedTest : public TSiemensFixture {};

TEST_F(SiemensUnsolicitedTest, CallsAndUssdResultsReachTheirQueues) {
    struct TCase {
        std::string Saved;
        bool Clip;
        bool Result;
        int32_t Rings;
        std::string Telephone;
        bool International;
        std::string UssdText;
        std::vector<std::string> Log;
        const char* Note;
    };
    const TCase cases[] = {
        {"\r\nRING\r\n\r\n+CLIP: \"12345\",129\r\n",
         true,
         true,
         1,
         "12345",
         false,
         "",
         {},
         "national caller"},
        {"RING\r\n+CLIP: \"+79161234567\",145,,,,0\r\n",
         true,
         true,
         1,
         "+79161234567",
         true,
         "",
         {},
         "international caller keeps its plus"},
        {"RING\r\n+CLIP: \"\",128\r\n", true, true, 1, "", true, "", {}, "withheld number"},
        {"RING\r\n+CLIP: \"12345\",129\r\n",
         false,
         true,
         0,
         "",
         false,
         "",
         {},
         "without caller identification nothing is recorded"},
        {"\r\n+CUSD: 2,\"0041004200430044\",72\r\n",
         true,
         false,
         0,
         "",
         false,
         "ABCD",
         {"USSD: \"ABCD\" size=4/16 DCS=2"},
         "USSD status 2 is UCS2"},
        {"+CUSD: 0,\"0041004200430044\",15\r\n",
         true,
         false,
         0,
         "",
         false,
         "0041004200430044",
         {"USSD: \"0041004200430044\" size=16/16 DCS=0"},
         "USSD status 0 is taken unchanged"},
        {"+CUSD: 2,\"004100420043004400\"\r\n",
         true,
         false,
         0,
         "",
         false,
         "ABCD",
         {"USSD: \"ABCD\" size=4/18 DCS=2"},
         "18 hex digits are decoded from their first 16"},
        {"+CUSD: 2,\"00410042004300440\"\r\n",
         true,
         false,
         0,
         "",
         false,
         "ABCD",
         {"USSD: \"ABCD\" size=4/17 DCS=2"},
         "an odd number of hex digits"},
        {"RING\r\n+CUSD: 0,\"bal\"\r\n",
         false,
         false,
         0,
         "",
         false,
         "bal",
         {"USSD: \"bal\" size=3/3 DCS=0"},
         "without caller identification a RING waits for nothing and goes at once"},
        {"\r\n\r\n", true, false, 0, "", false, "", {}, "CR and LF alone"},
        {"\r\nOK\r\n", true, false, 0, "", false, "", {}, "a late OK is thrown away"},
    };
    for (const TCase& c : cases) {
        FTerminal = MakeTerminal(FDir.File("modem"));
        FDir.Write("Siemens.log", "");
        FTerminal->FClip = c.Clip;
        FTerminal->FSaved = c.Saved;
        EXPECT_EQ(FTerminal->CheckForRing(), c.Result) << c.Note;
        EXPECT_TRUE(FTerminal->FSaved.empty()) << c.Note << ": left " << FTerminal->FSaved;
        EXPECT_EQ(FTerminal->FRings.Count(), c.Rings) << c.Note;
        TRing ring;
        if (FTerminal->FRings.Pop(ring)) {
            EXPECT_EQ(ring.Telephone, c.Telephone) << c.Note;
            EXPECT_EQ(ring.International, c.International) << c.Note;
            EXPECT_EQ(ring.Count, 1) << c.Note;
            EXPECT_GT(ring.DateTime, 40000.0) << c.Note << ": the time of the call";
        }
        TSMS sms;
        EXPECT_EQ(FTerminal->GetReceivedSMS(sms), !c.UssdText.empty()) << c.Note;
        if (!c.UssdText.empty()) {
            EXPECT_EQ(sms, (TSMS{"USSD", c.UssdText, true, false})) << c.Note;
        }
        EXPECT_EQ(LogLines(), c.Log) << c.Note << "\n" << LogText();
    }
}

TEST_F(SiemensUnsolicitedTest, TwoCallsInOneFlushTakeTwoPasses) {
    OpenDirect();
    FTerminal->FClip = true;
    const std::string calls =
        "\r\nRING\r\n\r\n+CLIP: \"111\",129\r\n\r\nRING\r\n\r\n+CLIP: \"222\",145\r\n";
    FSim.InjectBytes(calls);
    ASSERT_TRUE(WaitForInput(static_cast<int32_t>(calls.size())));
    FTerminal->FlushSave();
    EXPECT_TRUE(FTerminal->CheckForRing());
    EXPECT_TRUE(FTerminal->CheckForRing());
    EXPECT_FALSE(FTerminal->CheckForRing());
    TRing first, second;
    ASSERT_TRUE(FTerminal->FRings.Pop(first));
    ASSERT_TRUE(FTerminal->FRings.Pop(second));
    EXPECT_EQ(first.Telephone, "111");
    EXPECT_EQ(second.Telephone, "222");
    EXPECT_TRUE(second.International);
}

TEST_F(SiemensUnsolicitedTest, RingSplitOverTwoFlushesIsLost) {
    OpenDirect();
    FTerminal->FClip = true;
    for (const char* piece : {"RI", "NG\r\n+CLIP: \"1\",129\r\n"}) {
        FSim.InjectBytes(piece);
        ASSERT_TRUE(WaitForInput(2));
        FTerminal->FlushSave();
        EXPECT_FALSE(FTerminal->CheckForRing()) << piece;
        EXPECT_TRUE(FTerminal->FSaved.empty()) << piece;
    }
    EXPECT_EQ(FTerminal->FRings.Count(), 0);
}

TEST_F(SiemensUnsolicitedTest, SavedTextStaysBounded) {
    OpenDirect();
    uint32_t tick = 1000;
    FTerminal->FTickSource = [&tick] { return tick; };
    FTerminal->FLogExchange = true;
    FTerminal->FClip = true;
    // An unidentified call holds a USSD result back, but only until its wait has run out.
    FSim.InjectBytes("\r\nRING\r\n");
    ASSERT_TRUE(WaitForInput(8));
    FTerminal->FlushSave();
    EXPECT_FALSE(FTerminal->CheckForRing());
    EXPECT_TRUE(HasLine("Получены данные от модема: \"RING<cr><lf>\"")) << LogText();
    // More than the port buffers at once: moved off in several flushes.
    const uint64_t before = FSim.BytesSent();
    const std::string flood = "+CUSD: 0,\"bal\"\r\n" + std::string(20000, 'z');
    FSim.InjectBytes(flood);
    ASSERT_TRUE(WaitUntil([&] {
        FTerminal->FlushSave();
        return FSim.BytesSent() >= before + flood.size() && FTerminal->FComPort.InQueue() == 0;
    }));
    EXPECT_EQ(FTerminal->FSaved.size(), TSiemens::SavedMax) << "the oldest bytes go first";
    FTerminal->FSaved = "RING\r\n+CUSD: 0,\"bal\"\r\n";
    tick += TSiemens::RingWaitMs - 1;
    EXPECT_FALSE(FTerminal->CheckForRing());
    TSMS sms;
    EXPECT_FALSE(FTerminal->GetReceivedSMS(sms)) << "the RING still waits for its caller line";
    tick += 1;
    EXPECT_FALSE(FTerminal->CheckForRing());
    ASSERT_TRUE(FTerminal->GetReceivedSMS(sms)) << "the retired RING frees the USSD result";
    EXPECT_EQ(sms.Text, "bal");
    EXPECT_TRUE(FTerminal->FSaved.empty()) << FTerminal->FSaved;
}

} // namespace
} // namespace qvx
