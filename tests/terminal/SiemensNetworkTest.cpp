// The network step of the running terminal thread: when it asks, what it keeps and logs, and
// that it never cuts into another dialogue.
#include "SiemensFixture.h"

#include <atomic>

namespace qvx {
namespace {

using test::TSiemensFixture;

class SiemensNetworkTest : public TSiemensFixture {
protected:
    // The terminal's ticks move only by hand, so that a period passes exactly when asked.
    void UseManualTicks() {
        FTerminal->FTickSource = [this] { return FTick.load(); };
    }
    // Lets a period pass and waits until the terminal has asked again and taken the answers.
    void NextPeriod() {
        const int32_t asked = FSim.CommandCount("at+creg?");
        FTick += FTerminal->FNetworkPeriodMs;
        WaitForQuery(asked + 1);
    }
    // The listing after the query shows that both answers were read.
    void WaitForQuery(int32_t count) {
        ASSERT_TRUE(FSim.WaitForCommandCount("at+creg?", count, 10000))
            << "no query when one was due\n"
            << LogText();
        const int32_t passes = FSim.CommandCount("at+cmgl");
        ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", passes + 1, 10000))
            << "the working passes stopped after the query\n"
            << LogText();
    }
    void ExpectNetwork(int32_t registration, int32_t rssi, const char* note) {
        const TNetworkStatus network = FTerminal->Network();
        EXPECT_EQ(network.Registration, registration) << note;
        EXPECT_EQ(network.SignalRssi, rssi) << note;
        EXPECT_GT(network.CheckedAt, 0) << note;
    }

    std::atomic<uint32_t> FTick{1000};
};

const std::string HomeLine = "Регистрация в сети: домашняя сеть [1]";
const std::string SearchingLine = "Регистрация в сети: поиск сети [2]";

TEST_F(SiemensNetworkTest, AsksAfterInitialisationThenOncePerPeriodAndLogsOnlyChanges) {
    UseManualTicks();
    EXPECT_EQ(FTerminal->Network().Registration, -1) << "nothing is known before the first answer";
    ASSERT_TRUE(FTerminal->Start());
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", 5, 10000)) << LogText();
    EXPECT_EQ(FSim.CommandCount("at+creg?"), 1) << "one query after the initialisation only";
    EXPECT_EQ(FSim.CommandCount("at+csq"), 1) << "one query after the initialisation only";
    ExpectNetwork(1, 20, "the simulator's defaults");
    EXPECT_EQ(CountLines(HomeLine), 1u) << LogText();

    FSim.SetRegistration(2);
    FSim.SetSignalRssi(5);
    NextPeriod();
    ExpectNetwork(2, 5, "the new values after a period");
    NextPeriod();
    EXPECT_EQ(CountLines(SearchingLine), 1u) << "a change is one line\n" << LogText();
    EXPECT_EQ(CountLines(HomeLine), 1u) << "an unchanged registration writes nothing\n"
                                        << LogText();

    // Errors keep the last values and do not disturb the terminal.
    FSim.SetRegistration(-1);
    FSim.SetSignalRssi(-1);
    NextPeriod();
    ExpectNetwork(2, 5, "errors keep the last values");
    EXPECT_EQ(FTerminal->GetState(), static_cast<int32_t>(TTerminalState::Working));
    EXPECT_FALSE(HasLine("Выполним инициализацию повторно")) << LogText();

    // A new initialisation asks at once, and logs nothing when nothing changed.
    FSim.SetRegistration(2);
    const int32_t asked = FSim.CommandCount("at+creg?");
    ASSERT_TRUE(FSim.Unplug() && FSim.Plug()) << FSim.LastError();
    WaitForQuery(asked + 1);
    EXPECT_GE(FSim.CommandCount("at+cpin?"), 2) << "the query must follow a new initialisation";
    EXPECT_EQ(CountLines(SearchingLine), 1u) << LogText();
}

TEST_F(SiemensNetworkTest, NeverAsksInsideASubmissionOrAListing) {
    FTerminal->FNetworkPeriodMs = 0; // before every pass
    FSim.SetAnswerDelayMs(3);
    for (int i = 0; i < 4; ++i) {
        FTerminal->QueueSMS(
            TSMS{"+7900123456" + std::to_string(i), "hello " + std::to_string(i), false, false});
        FSim.StoreText("+79161234567", "request " + std::to_string(i));
    }
    ASSERT_TRUE(FTerminal->Start());
    ASSERT_TRUE(FSim.WaitForSubmitted(4, 20000)) << LogText();
    ASSERT_TRUE(WaitUntil([&] { return FSim.StoredCount() == 0; })) << LogText();
    ASSERT_TRUE(FSim.WaitForCommandCount("at+creg?", FSim.CommandCount("at+creg?") + 2, 10000));
    StopTerminal();
    for (const TSubmittedSms& sms : FSim.Submitted())
        EXPECT_TRUE(sms.Accepted) << "a submission was disturbed: " << sms.Pdu;
    const std::vector<std::string> log = FSim.CommandLog();
    for (size_t i = 1; i + 2 < log.size(); ++i) {
        if (log[i] != "at+creg?")
            continue;
        EXPECT_EQ(log[i + 1], "at+csq") << "the two queries go together, line " << i;
        EXPECT_NE(log[i - 1].rfind("at+cmgs", 0), 0u) << "a query inside a submission, line " << i;
        EXPECT_NE(log[i + 2].rfind("at+cmgd", 0), 0u) << "a query inside a listing, line " << i;
    }
}

} // namespace
} // namespace qvx
