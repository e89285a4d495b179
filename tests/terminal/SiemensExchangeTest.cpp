// The AT exchange of TSiemens, driven by direct calls on a terminal that is not started, with
// the simulator silent where a test plays the answer itself.
#include "SiemensFixture.h"

#include <chrono>
#include <future>

namespace qvx {
namespace {

using test::TSiemensFixture;

class SiemensExchangeTest : public TSiemensFixture {};

TEST_F(SiemensExchangeTest, SendCommandRecognisesTheFinalLine) {
    struct TCase {
        std::string Command;
        std::string Reply;
        std::string Expected;
        bool Result;
        std::string Answer;
        const char* Note;
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
    };
    OpenDirect(false);
    FSim.SetSilent(true);
    for (const TCase& c : cases) {
        AnswerAfter(c.Command, 1, c.Reply);
        std::string answer;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(FTerminal->SendCommand(c.Command, answer, true, c.Expected, 20000), c.Result)
            << c.Note;
        EXPECT_EQ(answer, c.Answer) << c.Note;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
            << c.Note << ": the answer must end the wait, not the 20 s timeout";
    }
    EXPECT_TRUE(FTerminal->FSaved.empty()) << "nothing was waiting before the commands";
}

TEST_F(SiemensExchangeTest, AnswersThatNeverEndRunIntoTheTimeout) {
    OpenDirect(false);
    FSim.SetSilent(true);
    FTerminal->FLogExchange = true;
    AnswerAfter("at+f", 1, "\r\n\r\n\r\n");
    std::string answer;
    EXPECT_FALSE(FTerminal->SendCommand("at+f", answer, true, "OK", 1000))
        << "CR and LF alone never complete a line";
    EXPECT_EQ(answer, "\r\n\r\n\r\n");
    EXPECT_TRUE(HasLine("Получено: <cr><lf><cr><lf><cr><lf>")) << LogText();
    // A terminal that says anything: its control bytes reach the log as text only.
    AnswerAfter("at+e", 1, "\r\n\a\x1b[2J\r\n");
    FTerminal->SendCommand("at+e", answer, true, "OK", 500);
    EXPECT_TRUE(HasLine("Получено: <cr><lf><07><1B>[2J<cr><lf>")) << LogText();
    EXPECT_EQ(LogText().find_first_of("\a\x1b"), std::string::npos) << "a raw control byte";

    EXPECT_FALSE(FTerminal->SendCommand("at+g", answer, true, "OK", 200));
    EXPECT_TRUE(answer.empty());
    EXPECT_TRUE(HasLine("Нет ответа от модема ! [200 мсек]")) << LogText();

    EXPECT_FALSE(FTerminal->SendCommand("at+h", answer, false, "OK", 100));
    EXPECT_FALSE(HasLine("Послано:  at+h<cr>")) << "log off keeps the exchange out of the log";
}

TEST_F(SiemensExchangeTest, CommandsGetOneCarriageReturn) {
    OpenDirect(false);
    FSim.SetSilent(true);
    FTerminal->FLogExchange = true;
    std::string answer;
    FTerminal->SendCommand("at+csca?", answer, true, "OK", 0);
    FTerminal->SendCommand("at+cmgs=16\r", answer, true, "OK", 0);
    FTerminal->SendCommand(std::string("0011\x1A"), answer, true, "OK", 0);
    EXPECT_FALSE(FTerminal->SendCommand("", answer, true, "OK", 0)) << "an empty command";
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

TEST_F(SiemensExchangeTest, WaitingInputGoesToTheSavedText) {
    OpenDirect(false);
    FSim.InjectLine("RING");
    ASSERT_TRUE(WaitForInput(8));
    std::string answer;
    EXPECT_TRUE(FTerminal->SendCommand("at+cmee=2", answer, true, "OK", 3000));
    EXPECT_EQ(FTerminal->FSaved, "\r\nRING\r\n");
    EXPECT_EQ(answer.find("RING"), std::string::npos) << "RING must not be part of the answer";
    EXPECT_TRUE(HasLine("FlushSave: <cr><lf>RING<cr><lf>")) << LogText();
    // Every command logs the whole pending text again until it is consumed.
    EXPECT_TRUE(FTerminal->SendCommand("at+cmee=2", answer, true, "OK", 3000));
    EXPECT_EQ(CountLines("FlushSave: <cr><lf>RING<cr><lf>"), 2u) << LogText();
}

TEST_F(SiemensExchangeTest, BytesPastTheEndOfAnAnswerAreKeptForTheSavedText) {
    OpenDirect(false);
    FSim.SetSilent(true);
    AnswerAfter("at+x", 1, "\r\n+CME ERROR: SIM busy\r\n\r\nRING\r\n");
    std::string answer;
    EXPECT_FALSE(FTerminal->SendCommand("at+x", answer, true, "OK", 20000));
    EXPECT_EQ(answer, "\r\n+CME ERROR: SIM busy\r");
    EXPECT_TRUE(FTerminal->FlushSave()) << "the RING read with the error line is still there";
    EXPECT_EQ(FTerminal->FSaved, "\r\nRING\r\n");
}

TEST_F(SiemensExchangeTest, OverlongAnswersAreCutAfterTheBound) {
    OpenDirect(false);
    FSim.SetSilent(true);
    AnswerAfter("at+long", 1, std::string(6000, 'x'));
    std::string answer;
    EXPECT_FALSE(FTerminal->SendCommand("at+long", answer, true, "OK", 10000));
    EXPECT_EQ(answer.size(), TSiemens::AnswerMax + 1) << "the 5001st character ends it";

    ASSERT_TRUE(WaitForInput(6000 - 5001)) << "the rest of the long answer";
    FTerminal->FlushSave();
    FTerminal->FSaved.clear();
    FTerminal->SendString("at+wait\r", false);
    AnswerAfter("at+wait", 1, std::string(6000, 'y'));
    std::string waited;
    EXPECT_FALSE(FTerminal->WaitAnswer("OK", "ERROR", 10000, &waited, false));
    EXPECT_EQ(waited.size(), TSiemens::AnswerMax + 1);
}

TEST_F(SiemensExchangeTest, WaitAnswerLooksForItsMarkersAnywhere) {
    struct TCase {
        std::string Reply;
        std::string Success;
        std::string Failure;
        bool Result;
        const char* Note;
    };
    const TCase cases[] = {
        {"\r\n> ", "> ", "", true, "a prompt without line end"},
        {"\r\n+CMGS: 7\r\n\r\nOK\r\n", "OK", "ERROR", true, "acknowledgement"},
        {"\r\n+CMS ERROR: 500\r\n", "OK", "ERROR", false, "an error report ends it at once"},
        {"\r\nERROR\r\n", "OK", "", false, "without a failure marker only the timeout ends it"},
    };
    OpenDirect(false);
    FSim.SetSilent(true);
    int32_t index = 0;
    for (const TCase& c : cases) {
        const std::string command = "at+w" + std::to_string(index++);
        FTerminal->SendString(command + "\r", false);
        AnswerAfter(command, 1, c.Reply);
        std::string answer;
        EXPECT_EQ(FTerminal->WaitAnswer(c.Success, c.Failure, c.Failure.empty() ? 1000 : 20000,
                                        &answer, false),
                  c.Result)
            << c.Note;
        EXPECT_EQ(answer, c.Reply) << c.Note;
    }
    // A timeout of 0 s ends the wait before any byte is read.
    FSim.InjectBytes("OK");
    ASSERT_TRUE(WaitForInput(2));
    std::string answer = "old";
    EXPECT_FALSE(FTerminal->WaitAnswer("OK", "", 0, &answer, false));
    EXPECT_TRUE(answer.empty());
    EXPECT_EQ(FTerminal->FComPort.InQueue(), 2) << "nothing may be read with a zero timeout";
    EXPECT_FALSE(FTerminal->WaitAnswer("OK", "", 999, &answer, false));
    EXPECT_EQ(FTerminal->FComPort.InQueue(), 2) << "the wait counts whole seconds only";
}

TEST_F(SiemensExchangeTest, StopEndsALongWaitAtOnce) {
    OpenDirect(false);
    FSim.SetSilent(true);
    auto wait = std::async(std::launch::async, [&] {
        return FTerminal->WaitAnswer("OK", "ERROR", 30000, nullptr, false);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FTerminal->Terminate();
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "a stop must end the 30 s wait";
    EXPECT_FALSE(wait.get());
    std::string answer;
    EXPECT_FALSE(FTerminal->SendCommand("at", answer, false, "OK", 30000))
        << "a stopped terminal waits no more";
}

TEST_F(SiemensExchangeTest, ClosedPortAndLogBounds) {
    std::string answer;
    EXPECT_FALSE(FTerminal->SendCommand("at", answer, true, "OK", 1000));
    EXPECT_FALSE(FTerminal->WaitAnswer("OK", "", 1000, &answer, true));
    EXPECT_FALSE(FTerminal->FlushSave());
    EXPECT_FALSE(FTerminal->SendString("at\r", true));
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Порт модема не инициализирован !"});

    FDir.Write("Siemens.log", "");
    FTerminal->LogMessage("%s", std::string(1500, 'z').c_str());
    FTerminal->LogMessage("a\r\nb");
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(999, 'z')) << "a long message is cut to 999 characters";
    EXPECT_EQ(lines[1], "a<cr><lf>b");
}

} // namespace
} // namespace qvx
