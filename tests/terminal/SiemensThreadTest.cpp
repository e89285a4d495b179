// The terminal thread as the worker runs it: started, watched through its state and its log,
// stopped.
#include "SiemensFixture.h"

#include <algorithm>

namespace qvx {
namespace {

using test::TSiemensFixture;

class SiemensThreadTest : public TSiemensFixture {
protected:
    std::string Settings() const {
        return "Скорость: 115200 Стоповые биты: 1 Четность: нет Управление потоком: нет";
    }
    std::string Opening() const { return "Открытие порта \"" + FDir.File("modem") + "\""; }
};

const std::string Final = "Поток работы с GSM терминалом завершен.";

TEST_F(SiemensThreadTest, ComesUpWorksAndStops) {
    EXPECT_EQ(FTerminal->GetState(), 0);
    ASSERT_TRUE(FTerminal->Start());
    ASSERT_TRUE(WaitForState(TTerminalState::Working)) << LogText();
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", 2, 10000)) << "working passes list the SIM";
    StopTerminal();
    EXPECT_EQ(FTerminal->GetState(), 4);
    const std::vector<std::string> expected = {
        "************************************",
        "Начало работы с GSM терминалом...",
        Opening(),
        Settings(),
        "ОК",
        "Инициализация GSM терминала...",
        "Регистрация PIN кода...",
        "PIN код не требуется",
        "Номер SMS центра получен: <cr><lf>+CSCA: \"+79037011111\",145<cr><lf><cr><lf>OK<cr><lf>",
        "Инициализация GSM терминала успешно завершена",
        "Начинаем работу...",
        "Регистрация в сети: домашняя сеть [1]",
        Final,
    };
    EXPECT_EQ(LogLines(), expected) << LogText();
}

TEST_F(SiemensThreadTest, MissingPortIsRetriedUntilItAppears) {
    FSim.Unplug(); // the link disappears with the terminal
    FTerminal->FSettings.Line.BaudRate = 6;
    FTerminal->FSettings.Line.Parity = 2;
    FTerminal->FSettings.Line.StopBits = 2;
    FTerminal->FSettings.Line.RtsCts = true;
    ASSERT_TRUE(FTerminal->Start());
    const std::string settings =
        "Скорость: 9600 Стоповые биты: 2 Четность: чет Управление потоком: RTS/CTS";
    const std::string error =
        "Ошибка открытия " + FDir.File("modem") + ": Указанный порт отствует в системе [2]";
    ASSERT_TRUE(WaitForLine(error)) << LogText();
    EXPECT_EQ(FTerminal->GetState(), 1);
    // About fifteen more attempts at 20 ms: the same failure must not write them.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(CountLines(settings), 1u) << "a repeated attempt writes nothing\n" << LogText();
    EXPECT_EQ(CountLines(error), 1u) << "a repeated failure writes nothing\n" << LogText();
    ASSERT_TRUE(FSim.Plug());
    // The simulator cannot take these settings from a pty, but a pty takes any of them.
    ASSERT_TRUE(WaitForState(TTerminalState::Working)) << LogText();
    EXPECT_EQ(CountLines(Opening()), 1u) << "one opening line for all the attempts";
    const std::vector<std::string> lines = LogLines();
    const auto ended = std::find(lines.begin(), lines.end(), error + " - больше не повторяется");
    ASSERT_NE(ended, lines.end()) << "the end of the failure is written\n" << LogText();
    ASSERT_LT(ended + 2, lines.end()) << LogText();
    EXPECT_EQ(ended[1], settings) << "then the successful attempt's lines\n" << LogText();
    EXPECT_EQ(ended[2], "ОК") << LogText();
}

TEST_F(SiemensThreadTest, StopEndsEveryPhase) {
    struct TCase {
        std::function<void()> Arrange;
        TTerminalState Phase;
        const char* Note;
    };
    const TCase cases[] = {
        {[this] { FSim.Unplug(); }, TTerminalState::Opening, "stop while the port is missing"},
        {[this] { FSim.SetSilent(true); }, TTerminalState::Initializing,
         "stop while the terminal does not answer"},
        {[] {}, TTerminalState::Working, "stop while working"},
    };
    for (const TCase& c : cases) {
        FSim.Unplug();
        FSim.SetSilent(false);
        ASSERT_TRUE(FSim.Plug());
        FTerminal = MakeTerminal(FDir.File("modem"));
        FTerminal->FRetryPauseMs = 1000; // the stop must cut the retry pause short
        FDir.Write("Siemens.log", "");
        c.Arrange();
        ASSERT_TRUE(FTerminal->Start()) << c.Note;
        ASSERT_TRUE(WaitForState(c.Phase)) << c.Note << "\n" << LogText();
        const auto start = std::chrono::steady_clock::now();
        StopTerminal();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.Note;
        EXPECT_EQ(FTerminal->GetState(), 4) << c.Note;
        const std::vector<std::string> lines = LogLines();
        ASSERT_FALSE(lines.empty()) << c.Note;
        EXPECT_EQ(lines.back(), Final) << c.Note << "\n" << LogText();
    }
}

// A SIM takes three wrong PINs before it needs the carrier's PUK: a refused PIN goes out once,
// however often the initialisation is retried.
TEST_F(SiemensThreadTest, RefusedPinIsSentOnceAndTheWaitReportedOnce) {
    FSim.SetPin("1234");
    FTerminal->FSettings.Pin = "0000";
    ASSERT_TRUE(FTerminal->Start());
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cpin?", 5, 10000)) << LogText();
    EXPECT_EQ(FSim.CommandCount("at+cpin"), 1) << "one PIN attempt\n" << LogText();
    EXPECT_EQ(FSim.PinAttemptsLeft(), 2);
    EXPECT_EQ(CountLines("PIN код \"0000\" НЕ принят - регистрация не удалась !"), 1u) << LogText();
    EXPECT_EQ(CountLines("PIN код отвергнут SIM картой и повторно не посылается: задайте другой "
                         "PIN код и перезагрузите настройки"),
              1u)
        << LogText();
    EXPECT_EQ(CountLines("Ошибка: PIN код НЕ принят [код=12]"), 1u) << LogText();
    EXPECT_EQ(FTerminal->GetState(), 2);
    EXPECT_EQ(FTerminal->GetPinWait(), static_cast<int32_t>(TPinWait::Refused));
}

TEST_F(SiemensThreadTest, UnpluggedTerminalIsOpenedAgainWhenItComesBack) {
    ASSERT_TRUE(FTerminal->Start());
    ASSERT_TRUE(WaitForState(TTerminalState::Working)) << LogText();
    FSim.Unplug();
    ASSERT_TRUE(WaitForLine("Выполним инициализацию повторно")) << LogText();
    ASSERT_TRUE(WaitForState(TTerminalState::Opening)) << LogText();
    ASSERT_TRUE(FSim.Plug());
    ASSERT_TRUE(WaitForState(TTerminalState::Working)) << LogText();
    const std::vector<std::string> lines = LogLines();
    size_t failure = 0;
    for (const std::string& line : lines)
        failure += line.rfind("Ошибка получения SMS: ", 0) == 0;
    EXPECT_GE(failure, 1u) << "the failed listing is logged\n" << LogText();
    EXPECT_EQ(CountLines(Opening()), 2u) << LogText();
}

TEST_F(SiemensThreadTest, TerminalUnpluggedDuringInitialisationIsOpenedAgain) {
    FSim.SetSilent(true);
    FTerminal->FSettings.ModemTimeoutMs = 100;
    ASSERT_TRUE(FTerminal->Start());
    ASSERT_TRUE(WaitForState(TTerminalState::Initializing)) << LogText();
    FSim.Unplug();
    FSim.SetSilent(false);
    ASSERT_TRUE(WaitForLine("Выполним инициализацию повторно")) << LogText();
    ASSERT_TRUE(FSim.Plug());
    ASSERT_TRUE(WaitForState(TTerminalState::Working))
        << "a dead port must not keep the terminal initialising for ever\n"
        << LogText();
}

TEST_F(SiemensThreadTest, ReceivedMessagesCallsAndUssdReachTheWorker) {
    FTerminal->FClip = true;
    ASSERT_TRUE(FTerminal->Start());
    ASSERT_TRUE(WaitForState(TTerminalState::Working)) << LogText();
    FSim.StoreText("+79161234567", "1");
    // Lines that arrive during a deletion's answer belong to that answer; wait until the
    // message is gone, so that only listings remain to race with them.
    ASSERT_TRUE(WaitUntil([&] { return FSim.StoredCount() == 0; }));
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", FSim.CommandCount("at+cmgl") + 1, 10000));
    FSim.InjectLine("RING");
    FSim.InjectLine("+CLIP: \"+79161234567\",145,,,,0");
    FSim.InjectLine("+CUSD: 2,\"0041004200430044\",72");
    ASSERT_TRUE(WaitUntil([&] { return FTerminal->ReceivedSMSCount() >= 2; })) << LogText();
    ASSERT_TRUE(WaitUntil([&] { return FTerminal->FRings.Count() >= 1; })) << LogText();
    TSMS first, second;
    ASSERT_TRUE(FTerminal->GetReceivedSMS(first));
    ASSERT_TRUE(FTerminal->GetReceivedSMS(second));
    EXPECT_EQ(first, (TSMS{"79161234567", "1", false, false}));
    EXPECT_EQ(second, (TSMS{"USSD", "ABCD", true, false}));
    EXPECT_EQ(FSim.StoredCount(), 0u);
    TRing ring;
    ASSERT_TRUE(FTerminal->FRings.Pop(ring));
    EXPECT_EQ(ring.Telephone, "+79161234567");
    EXPECT_TRUE(ring.International);
}

} // namespace
} // namespace qvx
