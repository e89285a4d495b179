// The AT exchange of TAtSession, driven step by step, with the simulator silent where a test
// plays the answer itself.
#include "TerminalFixture.h"

#include <chrono>
#include <future>

namespace qvx {
namespace {

using test::TTerminalFixture;
using namespace std::chrono_literals;

class AtSessionExchangeTest : public TTerminalFixture {};

TEST_F(AtSessionExchangeTest, SendCommandRecognisesTheFinalLine) {
    struct TCase {
        std::string Command;
        std::string Reply;
        std::string Expected;
        bool Result;
        std::string Answer;
        const char* Note;
        std::vector<int32_t> Late = {};
    };
    const TCase cases[] = {
        {"at+a", "\r\nOK\r\n", "OK", true, "\r\nOK\r\n", "plain OK, answer kept whole"},
        {"at+b", "\r\nERROR\r\n", "", true, "\r\nERROR\r\n",
         "empty expected: the first line ends it, whatever it says"},
        {"at+c", "\r\n+CME ERROR: SIM busy\r\n", "OK", false, "\r\n+CME ERROR: SIM busy\r",
         "an error line ends it at once, before its LF is stored"},
        {"at+d", "at+d\r\r\n+X: 1\r\n\r\nOK\r\n", "OK", true, "at+d\r\r\n+X: 1\r\n\r\nOK\r\n",
         "an echoed line and a data line before the final line"},
        {"at+e", "\r\nRING\r\n\r\nOK\r\n", "OK", true, "\r\nRING\r\n\r\nOK\r\n",
         "an unsolicited line during the answer belongs to the answer"},
        {"at+f",
         "\r\n+CMGS: 5\r\n\r\nOK\r\n\r\nOK\r\n",
         "OK",
         true,
         "\r\n\r\n\r\nOK\r\n",
         "a late acknowledgement and its OK are no part of the answer",
         {5}},
        {"at+g",
         "\r\n+CMGS: 6\r\n\r\n+X: 1\r\n\r\nOK\r\n",
         "OK",
         true,
         "\r\n\r\n+X: 1\r\n\r\nOK\r\n",
         "a late acknowledgement without its OK",
         {6}},
        {"at+h",
         "\r\n+CMGS: 255,\"07911326040000F0\"\r\n\r\nOK\r\n\r\nOK\r\n",
         "OK",
         true,
         "\r\n\r\n\r\nOK\r\n",
         "more fields behind the reference",
         {255}},
    };
    OpenSession(false);
    FSim.SetSilent(true);
    for (const TCase& c : cases) {
        AnswerAfter(c.Command, 1, c.Reply);
        std::string answer;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(FSession->SendCommand(c.Command, answer, true, c.Expected, 20000), c.Result)
            << c.Note;
        EXPECT_EQ(answer, c.Answer) << c.Note;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
            << c.Note << ": the answer must end the wait, not the 20 s timeout";
        EXPECT_EQ(FSession->TakeLateReferences(), c.Late) << c.Note;
    }
    EXPECT_TRUE(FSession->Saved().empty()) << "nothing was waiting before the commands";
}

// A late acknowledgement that arrives between commands, whole or cut anywhere, never reaches
// the saved text and never lends its OK to the next command.
TEST_F(AtSessionExchangeTest, ALateAcknowledgementBetweenCommandsIsTakenOut) {
    struct TCase {
        std::string Before; // arrives before the command goes out
        std::string After;  // the rest, and the command's own answer
        const char* Note;
    };
    const TCase cases[] = {
        {"\r\n+CMGS: 7\r\n\r\nOK\r\n", "\r\nOK\r\n", "whole before the command"},
        {"\r\n+CMGS: 7", "\r\n\r\nOK\r\n\r\nOK\r\n", "cut inside its line"},
        {"\r\n+CMGS: 7\r\n", "\r\nOK\r\n\r\nOK\r\n", "its OK still to come"},
    };
    OpenSession(false);
    FSim.SetSilent(true);
    int32_t index = 0;
    for (const TCase& c : cases) {
        const uint64_t before = FSim.BytesSent();
        FSim.InjectBytes(c.Before);
        ASSERT_TRUE(WaitUntil([&] { return FSim.BytesSent() >= before + c.Before.size(); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // through the pseudo-terminal
        const std::string command = "at+l" + std::to_string(index++);
        AnswerAfter(command, 1, c.After);
        std::string answer;
        EXPECT_TRUE(FSession->SendCommand(command, answer, false, "OK", 20000)) << c.Note;
        EXPECT_EQ(answer.find("OK"), answer.rfind("OK")) << c.Note << ": one OK, its own";
        EXPECT_EQ(FSession->TakeLateReferences(), std::vector<int32_t>{7}) << c.Note;
        FSession->FlushSave();
        EXPECT_EQ(FSession->Saved().find_first_not_of("\r\n"), std::string::npos)
            << c.Note << ": " << FSession->Saved();
    }
}

TEST_F(AtSessionExchangeTest, AnswersThatNeverEndRunIntoTheTimeout) {
    TAtSessionOptions options = Options();
    options.LogExchange = true;
    OpenSession(options, false);
    FSim.SetSilent(true);
    AnswerAfter("at+f", 1, "\r\n\r\n\r\n");
    std::string answer;
    EXPECT_FALSE(FSession->SendCommand("at+f", answer, true, "OK", 1000))
        << "CR and LF alone never complete a line";
    EXPECT_EQ(answer, "\r\n\r\n\r\n");
    EXPECT_TRUE(HasLine("Получено: <cr><lf><cr><lf><cr><lf>")) << LogText();
    // A terminal that says anything: its control bytes reach the log as text only.
    AnswerAfter("at+e", 1, "\r\n\a\x1b[2J\r\n");
    FSession->SendCommand("at+e", answer, true, "OK", 500);
    EXPECT_TRUE(HasLine("Получено: <cr><lf><07><1B>[2J<cr><lf>")) << LogText();
    EXPECT_EQ(LogText().find_first_of("\a\x1b"), std::string::npos) << "a raw control byte";

    EXPECT_FALSE(FSession->SendCommand("at+g", answer, true, "OK", 200));
    EXPECT_TRUE(answer.empty());
    EXPECT_TRUE(HasLine("Нет ответа от модема ! [200 мсек]")) << LogText();

    EXPECT_FALSE(FSession->SendCommand("at+h", answer, false, "OK", 100));
    EXPECT_FALSE(HasLine("Послано:  at+h<cr>")) << "log off keeps the exchange out of the log";
}

TEST_F(AtSessionExchangeTest, CommandsGetOneCarriageReturn) {
    TAtSessionOptions options = Options();
    options.LogExchange = true;
    OpenSession(options, false);
    FSim.SetSilent(true);
    std::string answer;
    FSession->SendCommand("at+csca?", answer, true, "OK", 0);
    FSession->SendCommand("at+cmgs=16\r", answer, true, "OK", 0);
    FSession->SendCommand(std::string("0011\x1A"), answer, true, "OK", 0);
    EXPECT_FALSE(FSession->SendCommand("", answer, true, "OK", 0)) << "an empty command";
    const std::vector<std::string> expected = {
        "Послано:  at+csca?<cr>",
        "Нет ответа от модема ! [0 мсек]",
        "Послано:  at+cmgs=16<cr>",
        "Нет ответа от модема ! [0 мсек]",
        "Послано:  0011<1A>", // Ctrl-Z, shown as text
        "Нет ответа от модема ! [0 мсек]",
        "Нет ответа от модема ! [0 мсек]",
    };
    EXPECT_EQ(LogLines(), expected) << LogText();
    EXPECT_TRUE(WaitUntil([&] { return FSim.CommandCount("at+cmgs") == 1; }))
        << "the command with its own CR reached the terminal as one line";
}

TEST_F(AtSessionExchangeTest, WaitingInputGoesToTheSavedText) {
    OpenSession(false);
    const uint64_t before = FSim.BytesSent();
    FSim.InjectLine("RING");
    ASSERT_TRUE(WaitUntil([&] { return FSim.BytesSent() >= before + 8; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // through the pseudo-terminal
    std::string answer;
    EXPECT_TRUE(FSession->SendCommand("at+cmee=2", answer, true, "OK", 3000));
    EXPECT_EQ(FSession->Saved(), "\r\nRING\r\n");
    EXPECT_EQ(answer.find("RING"), std::string::npos) << "RING must not be part of the answer";
    EXPECT_TRUE(HasLine("FlushSave: <cr><lf>RING<cr><lf>")) << LogText();
    // Every command logs the whole pending text again until it is consumed.
    EXPECT_TRUE(FSession->SendCommand("at+cmee=2", answer, true, "OK", 3000));
    EXPECT_EQ(CountLines("FlushSave: <cr><lf>RING<cr><lf>"), 2u) << LogText();
}

TEST_F(AtSessionExchangeTest, BytesPastTheEndOfAnAnswerAreKeptForTheSavedText) {
    OpenSession(false);
    FSim.SetSilent(true);
    AnswerAfter("at+x", 1, "\r\n+CME ERROR: SIM busy\r\n\r\nRING\r\n");
    std::string answer;
    EXPECT_FALSE(FSession->SendCommand("at+x", answer, true, "OK", 20000));
    EXPECT_EQ(answer, "\r\n+CME ERROR: SIM busy\r");
    EXPECT_TRUE(FSession->FlushSave()) << "the RING read with the error line is still there";
    EXPECT_EQ(FSession->Saved(), "\r\nRING\r\n");
}

TEST_F(AtSessionExchangeTest, OverlongAnswersAreCutAfterTheBound) {
    OpenSession(false);
    FSim.SetSilent(true);
    AnswerAfter("at+long", 1, std::string(6000, 'x'));
    std::string answer;
    EXPECT_FALSE(FSession->SendCommand("at+long", answer, true, "OK", 10000));
    EXPECT_EQ(answer.size(), TAtSession::AnswerMax + 1) << "the 5001st character ends it";

    ASSERT_TRUE(FlushUntil(6000 - 5001)) << "the rest of the long answer";
    EXPECT_EQ(FSession->NextUnsolicited().Kind, TUnsolicitedKind::None);
    EXPECT_TRUE(FSession->Saved().empty()) << "text without an event is thrown away";
    FSession->SendString("at+wait\r", false);
    AnswerAfter("at+wait", 1, std::string(6000, 'y'));
    std::string waited;
    EXPECT_FALSE(FSession->WaitAnswer("OK", "ERROR", 10s, &waited, false));
    EXPECT_EQ(waited.size(), TAtSession::AnswerMax + 1);
}

TEST_F(AtSessionExchangeTest, WaitAnswerLooksForItsMarkersAnywhere) {
    struct TCase {
        std::string Reply;
        std::string Success;
        std::string Failure;
        bool Result;
        const char* Note;
    };
    const TCase cases[] = {
        {"\r\n> ", "> ", "", true, "a prompt without line end"},
        {"\r\n+CSCA: \"+79037011111\",145\r\n\r\nOK\r\n", "OK", "ERROR", true, "an answer"},
        {"\r\n+CMS ERROR: 500\r\n", "OK", "ERROR", false, "an error report ends it at once"},
        {"\r\nERROR\r\n", "OK", "", false, "without a failure marker only the timeout ends it"},
    };
    OpenSession(false);
    FSim.SetSilent(true);
    int32_t index = 0;
    for (const TCase& c : cases) {
        const std::string command = "at+w" + std::to_string(index++);
        FSession->SendString(command + "\r", false);
        AnswerAfter(command, 1, c.Reply);
        std::string answer;
        EXPECT_EQ(FSession->WaitAnswer(c.Success, c.Failure, c.Failure.empty() ? 1s : 20s, &answer,
                                       false),
                  c.Result)
            << c.Note;
        EXPECT_EQ(answer, c.Reply) << c.Note;
    }
    // A timeout of 0 s ends the wait before any byte is read: the bytes are still there for
    // the saved text afterwards.
    const uint64_t before = FSim.BytesSent();
    FSim.InjectBytes("OK");
    ASSERT_TRUE(WaitUntil([&] { return FSim.BytesSent() >= before + 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // through the pseudo-terminal
    std::string answer = "old";
    EXPECT_FALSE(FSession->WaitAnswer("OK", "", 0s, &answer, false));
    EXPECT_TRUE(answer.empty());
    EXPECT_TRUE(FSession->FlushSave());
    EXPECT_EQ(FSession->Saved(), "OK") << "nothing may be read with a zero timeout";
}

TEST_F(AtSessionExchangeTest, StopEndsALongWaitAtOnce) {
    OpenSession(false);
    FSim.SetSilent(true);
    auto wait = std::async(std::launch::async, [&] {
        return FSession->WaitAnswer("OK", "ERROR", 30s, nullptr, false);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FOwner.Terminate();
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "a stop must end the 30 s wait";
    EXPECT_FALSE(wait.get());
    std::string answer;
    EXPECT_FALSE(FSession->SendCommand("at", answer, false, "OK", 30000))
        << "a stopped terminal waits no more";
}

TEST_F(AtSessionExchangeTest, ClosedPortAndLogBounds) {
    FSession = std::make_unique<TAtSession>(Options(), &FOwner); // never opened
    std::string answer;
    EXPECT_FALSE(FSession->SendCommand("at", answer, true, "OK", 1000));
    EXPECT_FALSE(FSession->WaitAnswer("OK", "", 1s, &answer, true));
    EXPECT_FALSE(FSession->FlushSave());
    EXPECT_FALSE(FSession->SendString("at\r", true));
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Порт модема не инициализирован !"});

    FDir.Write("Siemens.log", "");
    FSession->LogMessage("%s", std::string(1500, 'z').c_str());
    FSession->LogMessage("a\r\nb");
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(999, 'z')) << "a long message is cut to 999 characters";
    EXPECT_EQ(lines[1], "a<cr><lf>b");
}

} // namespace
} // namespace qvx
