// The terminal thread as the worker runs it: started, fed, watched through its state, its
// outcomes and its log, stopped.
#include "TerminalFixture.h"

#include <algorithm>
#include <atomic>

namespace qvx {
namespace {

using test::TTerminalFixture;

class SiemensThreadTest : public TTerminalFixture {
protected:
    void StartWorking(TSiemensOptions options) {
        StartTerminal(std::move(options));
        ASSERT_TRUE(WaitForState(TTerminalState::Working)) << LogText();
    }
    void StartWorking() { StartWorking(ThreadOptions()); }
    bool WaitForQueueEmpty() {
        return WaitUntil([&] { return FTerminal->OutgoingCount() == 0; });
    }
    // The outcomes reported so far, after waiting for count of them.
    std::vector<TOutcome> Outcomes(size_t count, int timeoutMs = 10000) {
        EXPECT_TRUE(WaitUntil(
            [&] {
                FTerminal->TakeOutcomes(FOutcomes);
                return FOutcomes.size() >= count;
            },
            timeoutMs))
            << "only " << FOutcomes.size() << " of " << count << " outcomes came\n"
            << LogText();
        return FOutcomes;
    }
    // The terminal's ticks move only by hand, so that a network period passes exactly when
    // asked; the listing after the query shows that both answers were read.
    void NextPeriod(uint32_t periodMs) {
        const int32_t asked = FSim.CommandCount("at+creg?");
        FTick += periodMs;
        WaitForQuery(asked + 1);
    }
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

    std::string Settings() const {
        return "Скорость: 115200 Стоповые биты: 1 Четность: нет Управление потоком: нет";
    }
    std::string Opening() const { return "Открытие порта \"" + FDir.File("modem") + "\""; }

    std::vector<TOutcome> FOutcomes;
    std::atomic<uint32_t> FTick{1000};
};

const std::string Final = "Поток работы с GSM терминалом завершен.";

TEST_F(SiemensThreadTest, ComesUpWorksAndStops) {
    FTerminal = std::make_unique<TSiemens>(ThreadOptions());
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
    TSiemensOptions options = ThreadOptions();
    options.Session.Settings.Line = {6, 2, 2, true};
    StartTerminal(options);
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
        TSiemensOptions options = ThreadOptions();
        options.Session.RetryPauseMs = 1000; // the stop must cut the retry pause short
        FDir.Write("Siemens.log", "");
        c.Arrange();
        StartTerminal(options);
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
    TSiemensOptions options = ThreadOptions();
    options.Session.Settings.Pin = "0000";
    StartTerminal(options);
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
    StartWorking();
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
    TSiemensOptions options = ThreadOptions();
    options.Session.Settings.ModemTimeoutMs = 100;
    StartTerminal(options);
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
    TSiemensOptions options = ThreadOptions();
    options.Session.Clip = true;
    StartWorking(options);
    FSim.StoreText("+79161234567", "1");
    // Lines that arrive during a deletion's answer belong to that answer; wait until the
    // message is gone, so that only listings remain to race with them.
    ASSERT_TRUE(WaitUntil([&] { return FSim.StoredCount() == 0; }));
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", FSim.CommandCount("at+cmgl") + 1, 10000));
    FSim.InjectLine("RING");
    FSim.InjectLine("+CLIP: \"+79161234567\",145,,,,0");
    FSim.InjectLine("+CUSD: 2,\"0041004200430044\",72");
    ASSERT_TRUE(WaitUntil([&] { return FTerminal->ReceivedSMSCount() >= 2; })) << LogText();
    TSMS first, second;
    ASSERT_TRUE(FTerminal->GetReceivedSMS(first));
    ASSERT_TRUE(FTerminal->GetReceivedSMS(second));
    TSMS request{"79161234567", "1", false, false};
    request.SimIndex = first.SimIndex;
    request.SimPdu = first.SimPdu;
    EXPECT_EQ(first, request);
    EXPECT_FALSE(first.SimPdu.empty()) << "a received text names its SIM entry";
    EXPECT_EQ(second, (TSMS{"USSD", "ABCD", true, false}));
    EXPECT_EQ(FSim.StoredCount(), 0u);
    TRing ring;
    ASSERT_TRUE(WaitUntil([&] { return FTerminal->GetRing(ring); })) << LogText();
    EXPECT_EQ(ring.Telephone, "+79161234567");
    EXPECT_TRUE(ring.International);
}

TEST_F(SiemensThreadTest, MessagesThatCanNeverBeSentAreDropped) {
    struct TCase {
        TQueuedSms Sms;
        std::string Line;
        int32_t Code;
    };
    const TCase cases[] = {
        {Queued("+-()", "x", 1),
         "Ошибка отправки SMS: неверный телефонный номер (пустой) [тел=\"\" текст=\"x\" код=10]",
         10},
        {Queued("123456789012345678901", "x", 2),
         "Ошибка отправки SMS: неверный телефонный номер (пустой) "
         "[тел=\"123456789012345678901\" текст=\"x\" код=10]",
         10},
        {Queued("12345", "", 3),
         "Ошибка отправки SMS: неверный текст сообщения (пустой) [тел=\"12345\" текст=\"\" "
         "код=11]",
         11},
    };
    StartWorking();
    for (const TCase& c : cases)
        FTerminal->QueueSMS(c.Sms);
    FTerminal->QueueSMS(Queued("12345", "last", 5));
    ASSERT_TRUE(FSim.WaitForSubmitted(1, 10000)) << LogText();
    ASSERT_TRUE(WaitForQueueEmpty());
    for (const TCase& c : cases)
        EXPECT_EQ(CountLines(c.Line), 1u) << c.Line << "\n" << LogText();
    EXPECT_EQ(FSim.SubmittedCount(), 1u) << "nothing of the dropped messages reached the line";
    EXPECT_EQ(FSim.Submitted()[0].View.Text, "last");
    EXPECT_FALSE(HasLine("Выполним инициализацию повторно")) << LogText();

    const std::vector<TOutcome> outcomes = Outcomes(4);
    ASSERT_EQ(outcomes.size(), 4u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(outcomes[i].MsgId, cases[i].Sms.Sms.MsgId);
        EXPECT_EQ(outcomes[i].Kind, TOutcomeKind::GivenUp) << "a dropped message is given up";
        EXPECT_EQ(outcomes[i].ResultCode, cases[i].Code) << cases[i].Line;
    }
    EXPECT_EQ(outcomes[3].MsgId, 5);
    EXPECT_EQ(outcomes[3].Kind, TOutcomeKind::Acknowledged);
    EXPECT_EQ(outcomes[3].References, std::vector<int32_t>{FSim.Submitted()[0].Reference})
        << "the acknowledgement carries the terminal's message reference";
}

// Every refusal hands its message back at once with the network's answer and the queue goes
// on: the same message refused three times is not given up here, and refusals for the
// message's own cause hold nothing.
TEST_F(SiemensThreadTest, EachRefusalComesBackAsAFailedOutcome) {
    FSim.SetRefusedNumber("111", 21);
    StartWorking();
    for (int32_t id = 1; id <= 3; ++id)
        FTerminal->QueueSMS(Queued("+111", "refused", id));
    FTerminal->QueueSMS(Queued("12345", "next", 4));
    const std::vector<TOutcome> outcomes = Outcomes(4);
    ASSERT_EQ(outcomes.size(), 4u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(outcomes[i].MsgId, static_cast<int32_t>(i + 1));
        EXPECT_EQ(outcomes[i].Kind, TOutcomeKind::Failed) << "the owner decides, not the terminal";
        EXPECT_EQ(outcomes[i].Reason, "+CMS ERROR: 21") << "the reason is the network's answer";
    }
    EXPECT_EQ(outcomes[3].Kind, TOutcomeKind::Acknowledged);
    EXPECT_EQ(FSim.SubmittedCount(), 4u) << "one try each";
    EXPECT_FALSE(HasLine("Сеть не принимает SMS (+CMS ERROR: 21): отправка приостановлена"))
        << LogText();
    EXPECT_FALSE(HasLine("Выполним инициализацию повторно"))
        << "a refusal is an answer: no re-initialisation\n"
        << LogText();
}

// Refusals that are no message's fault, for no network service or for this SIM's barring,
// still hand every message back at once, and three in a row hold the queue for 5 s; once the
// network takes messages again the held one goes out, with one line for the hold and one for
// its end.
TEST_F(SiemensThreadTest, RefusalsNoMessageIsToBlameForHoldTheQueue) {
    struct TCase {
        int32_t Cause;
        const char* Note;
    };
    const TCase cases[] = {{331, "no network service"}, {8, "operator determined barring"}};
    int32_t id = 0;
    for (const TCase& c : cases) {
        StopTerminal();
        FOutcomes.clear();
        FDir.Write("Siemens.log", "");
        TSiemensOptions options = ThreadOptions();
        options.Session.TickSource = [this] { return FTick.load(); };
        FSim.SetSubmitReply(TSubmitReply::CmsError, 0, c.Cause);
        const size_t before = FSim.SubmittedCount();
        StartWorking(options);
        for (int32_t i = 0; i < 4; ++i)
            FTerminal->QueueSMS(Queued("12345", "m", ++id));
        const std::string refusal = "+CMS ERROR: " + std::to_string(c.Cause);
        for (const TOutcome& outcome : Outcomes(3)) {
            EXPECT_EQ(outcome.Kind, TOutcomeKind::Failed) << c.Note;
            EXPECT_EQ(outcome.Reason, refusal) << c.Note;
        }
        const std::string held = "Сеть не принимает SMS (" + refusal + "): отправка приостановлена";
        ASSERT_TRUE(WaitForLine(held)) << c.Note << "\n" << LogText();
        const auto passes = [this] { return FSim.CommandCount("at+cmgl"); };
        ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", passes() + 3, 10000));
        FTick += 4999;
        ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", passes() + 3, 10000));
        EXPECT_EQ(FSim.SubmittedCount() - before, 3u) << c.Note << ": tried while held";
        EXPECT_EQ(FTerminal->OutgoingCount(), 1) << c.Note << ": the held message stays queued";
        FSim.SetSubmitReply(TSubmitReply::Ok);
        FTick += 1;
        const std::vector<TOutcome> outcomes = Outcomes(4);
        ASSERT_EQ(outcomes.size(), 4u) << c.Note;
        EXPECT_EQ(outcomes[3].Kind, TOutcomeKind::Acknowledged) << c.Note;
        EXPECT_EQ(CountLines(held), 1u) << c.Note << "\n" << LogText();
        EXPECT_EQ(CountLines("Сеть снова принимает SMS: отправка возобновлена"), 1u) << c.Note;
        EXPECT_FALSE(HasLine("Выполним инициализацию повторно")) << c.Note << "\n" << LogText();
    }
}

// Without a registration nothing is tried; the network is asked every 5 s meanwhile, and the
// message goes out once the terminal is registered again.
TEST_F(SiemensThreadTest, NoRegistrationHoldsTheQueue) {
    TSiemensOptions options = ThreadOptions();
    options.Session.TickSource = [this] { return FTick.load(); };
    FSim.SetRegistration(2);
    StartWorking(options);
    FTerminal->QueueSMS(Queued("12345", "later", 5));
    const std::string held = "Нет регистрации в сети: отправка приостановлена";
    ASSERT_TRUE(WaitForLine(held)) << LogText();
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", FSim.CommandCount("at+cmgl") + 3, 10000));
    EXPECT_EQ(FSim.SubmittedCount(), 0u) << "tried without a network";
    FSim.SetRegistration(5);
    NextPeriod(5000);
    const std::vector<TOutcome> outcomes = Outcomes(1);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].Kind, TOutcomeKind::Acknowledged);
    EXPECT_EQ(CountLines(held), 1u) << LogText();
    EXPECT_EQ(CountLines("Регистрация в сети восстановлена: отправка возобновлена"), 1u)
        << LogText();
}

// A message the terminal fails on leaves its queue at once as a Failed outcome and the one
// behind it goes next; only a failure without an answer starts the terminal over.
TEST_F(SiemensThreadTest, AFailedSubmissionLeavesTheQueueAtOnce) {
    struct TCase {
        std::function<void()> Arrange;
        std::string Line;
        int32_t Code;
        std::string Reason;
        bool Reinitialised; // a refusal is an answer and needs none
        const char* Note;
    };
    const TCase cases[] = {
        {[this] { FSim.SetSubmitReply(TSubmitReply::CmsError, 1); },
         "Ошибка отправки SMS: при записи SMS кадра [тел=\"12345\" текст=\"Ёлка\" код=4]", 4,
         "+CMS ERROR: 500", false, "refused"},
        {[this] { FSim.SetSubmitReply(TSubmitReply::NoPrompt, 1); },
         "Ошибка отправки SMS: при выполнении AT команды [тел=\"12345\" текст=\"Ёлка\" код=3]", 3,
         "", true, "no prompt"},
    };
    StartWorking();
    int32_t id = 0;
    for (const TCase& c : cases) {
        FDir.Write("Siemens.log", "");
        FOutcomes.clear();
        c.Arrange();
        const int32_t tried = FSim.CommandCount("at+cmgs");
        FTerminal->QueueSMS(Queued("12345", "Ёлка", ++id));
        FTerminal->QueueSMS(Queued("12345", "good", ++id));
        const std::vector<TOutcome> outcomes = Outcomes(2);
        ASSERT_EQ(outcomes.size(), 2u) << c.Note;
        EXPECT_EQ(outcomes[0].MsgId, id - 1) << c.Note;
        EXPECT_EQ(outcomes[0].Kind, TOutcomeKind::Failed) << c.Note;
        EXPECT_EQ(outcomes[0].ResultCode, c.Code) << c.Note;
        EXPECT_EQ(outcomes[0].Reason, c.Reason) << c.Note;
        EXPECT_EQ(outcomes[1].MsgId, id) << c.Note << ": the message behind goes next";
        EXPECT_EQ(outcomes[1].Kind, TOutcomeKind::Acknowledged) << c.Note;
        EXPECT_EQ(FSim.CommandCount("at+cmgs") - tried, 2) << c.Note << ": one try each";
        const std::vector<std::string> lines = LogLines();
        const auto failed = std::find(lines.begin(), lines.end(), c.Line);
        ASSERT_NE(failed, lines.end()) << c.Note << "\n" << LogText();
        ASSERT_LT(failed + 1, lines.end()) << LogText();
        EXPECT_EQ(failed[1] == "Выполним инициализацию повторно", c.Reinitialised) << c.Note << "\n"
                                                                                   << LogText();
    }
}

// A terminal found in text mode while working (another program switched it) refuses the
// listing: the pass fails, logged once, and the terminal is initialised again into PDU mode,
// so that the next message goes out as a PDU.
TEST_F(SiemensThreadTest, ARefusedListingReinitialisesIntoPduMode) {
    StartWorking();
    const int32_t formats = FSim.CommandCount("at+cmgf");
    FSim.SetTextMode(true);
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgf", formats + 1, 10000)) << LogText();
    FTerminal->QueueSMS(Queued("12345", "pdu"));
    ASSERT_TRUE(FSim.WaitForSubmitted(1, 10000)) << LogText();
    ASSERT_TRUE(WaitForQueueEmpty()) << LogText();
    const std::vector<TSubmittedSms> sent = FSim.Submitted();
    EXPECT_EQ(sent.back().View.Error, "") << "the message must go out as a PDU";
    EXPECT_EQ(sent.back().View.Text, "pdu");
    EXPECT_EQ(CountLines("Ошибка получения SMS: при выполнении AT команды [код=3]"), 1u)
        << LogText();
    EXPECT_EQ(CountLines("Выполним инициализацию повторно"), 1u) << LogText();
}

TEST_F(SiemensThreadTest, OneSubmissionPerPass) {
    StartWorking();
    for (const char* text : {"one", "two", "three"})
        FTerminal->QueueSMS(Queued("12345", text));
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

// Withdrawal takes every waiting message and never the one on the line, which still gets its
// outcome.
TEST_F(SiemensThreadTest, WithdrawLeavesTheMessageInSubmission) {
    FSim.SetSubmitReply(TSubmitReply::NoPrompt, 1);
    TSiemensOptions options = ThreadOptions();
    // The prompt is awaited this long: time enough to withdraw meanwhile.
    options.Session.Settings.ModemTimeoutMs = 2000;
    StartWorking(options);
    const int32_t tried = FSim.CommandCount("at+cmgs");
    for (int32_t id = 1; id <= 3; ++id)
        FTerminal->QueueSMS(Queued("12345", "m" + std::to_string(id), id));
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgs", tried + 1, 10000)) << LogText();
    std::vector<int32_t> withdrawn;
    for (const TQueuedSms& queued : FTerminal->Withdraw())
        withdrawn.push_back(queued.Sms.MsgId);
    EXPECT_EQ(withdrawn, (std::vector<int32_t>{2, 3}));
    EXPECT_EQ(FTerminal->OutgoingCount(), 1);
    const std::vector<TOutcome> outcomes = Outcomes(1);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].MsgId, 1);
    EXPECT_EQ(outcomes[0].Kind, TOutcomeKind::Failed);
    ASSERT_TRUE(WaitForQueueEmpty());
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", FSim.CommandCount("at+cmgl") + 2, 10000));
    EXPECT_EQ(FSim.CommandCount("at+cmgs") - tried, 1) << "nothing withdrawn may go out";
}

// The network answers a part only after the frame wait: the message comes back as MaybeSent,
// the terminal is started over, and the answer, arriving in front of the answers to the
// initialisation, acknowledges it without a second submission. Takes the frame wait once.
TEST_F(SiemensThreadTest, ALateAnswerAcknowledgesAMessageThatMayHaveGone) {
    StartWorking();
    FSim.SetNetworkDelayMs(40000, 1);
    FTerminal->QueueSMS(Queued("12345", "late", 1));
    const std::vector<TOutcome> outcomes = Outcomes(2, 60000);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].MsgId, 1);
    EXPECT_EQ(outcomes[0].Kind, TOutcomeKind::MaybeSent);
    EXPECT_EQ(outcomes[0].References, std::vector<int32_t>{}) << "a single part";
    EXPECT_EQ(outcomes[1].MsgId, 1);
    EXPECT_EQ(outcomes[1].Kind, TOutcomeKind::Acknowledged);
    ASSERT_EQ(FSim.SubmittedCount(), 1u) << "the terminal must not send it again\n" << LogText();
    EXPECT_EQ(outcomes[1].References, std::vector<int32_t>{FSim.Submitted()[0].Reference});
    EXPECT_EQ(CountLines("SMS тел=\"12345\" возможно отправлена: сеть не ответила за 30 с"), 1u)
        << LogText();
    const std::string late = "SMS тел=\"12345\" отправлена: сеть ответила с опозданием (";
    const std::vector<std::string> lines = LogLines();
    const auto acknowledged = std::find_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(late, 0) == 0; });
    ASSERT_NE(acknowledged, lines.end()) << LogText();
    EXPECT_NE(std::find(lines.begin(), acknowledged, "Выполним инициализацию повторно"),
              acknowledged)
        << "the terminal is started over after the frame wait\n"
        << LogText();
    FTerminal->QueueSMS(Queued("12345", "after", 2));
    ASSERT_EQ(Outcomes(3).back().Kind, TOutcomeKind::Acknowledged) << LogText();
}

// A terminal that only sends never lists or deletes the SIM's messages, still takes what the
// terminal reports unasked, and notices a dead line while idle.
TEST_F(SiemensThreadTest, ATerminalThatDoesNotReceiveOnlySendsAndWatches) {
    TSiemensOptions options = ThreadOptions();
    options.Receive = false;
    options.NetworkPeriodMs = 0; // a query every pass shows the passes
    FSim.StoreText("+79161234567", "1");
    StartWorking(options);
    FTerminal->QueueSMS(Queued("12345", "out", 1));
    const std::vector<TOutcome> outcomes = Outcomes(1);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].Kind, TOutcomeKind::Acknowledged);
    FSim.InjectLine("+CUSD: 2,\"0041004200430044\",72");
    ASSERT_TRUE(WaitUntil([&] { return FTerminal->ReceivedSMSCount() == 1; })) << LogText();
    TSMS ussd;
    ASSERT_TRUE(FTerminal->GetReceivedSMS(ussd));
    EXPECT_EQ(ussd, (TSMS{"USSD", "ABCD", true, false}));
    ASSERT_TRUE(FSim.WaitForCommandCount("at+creg?", FSim.CommandCount("at+creg?") + 3, 10000));
    EXPECT_EQ(FSim.CommandCount("at+cmgl"), 0) << "the SIM must not be listed";
    EXPECT_EQ(FSim.CommandCount("at+cmgd"), 0);
    EXPECT_EQ(FSim.StoredCount(), 1u);
    ASSERT_TRUE(FSim.Unplug());
    ASSERT_TRUE(WaitForState(TTerminalState::Opening)) << LogText();
    EXPECT_EQ(CountLines("Ошибка связи с GSM терминалом: порт модема не готов [код=5]"), 1u)
        << LogText();
}

// A request to initialise the terminal again is served once, before the next message; every
// successful initialisation publishes the IMSI it read, an unknown one too.
TEST_F(SiemensThreadTest, ReinitialisationRequestIsServedOnceAndRereadsTheImsi) {
    TSiemensOptions options = ThreadOptions();
    options.Session.QueryImsi = true;
    StartWorking(options);
    EXPECT_EQ(FTerminal->Imsi(), "250990000000001") << "known once the terminal works";
    int32_t id = 0;
    for (const std::string imsi : {"250990000000002", ""}) {
        FDir.Write("Siemens.log", "");
        FSim.SetImsi(imsi);
        const int32_t asked = FSim.CommandCount("at+cimi");
        FTerminal->RequestReinitialise();
        ASSERT_TRUE(FSim.WaitForCommandCount("at+cimi", asked + 1, 10000)) << LogText();
        ASSERT_TRUE(WaitForState(TTerminalState::Working)) << LogText();
        ASSERT_TRUE(WaitUntil([&] { return FTerminal->Imsi() == imsi; }))
            << "IMSI " << FTerminal->Imsi() << " after reading " << imsi;
        FTerminal->QueueSMS(Queued("12345", "after", ++id));
        ASSERT_TRUE(WaitForQueueEmpty()) << LogText();
        ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", FSim.CommandCount("at+cmgl") + 3, 10000));
        EXPECT_EQ(FSim.CommandCount("at+cimi"), asked + 1) << "one initialisation per request";
        const std::vector<std::string> lines = LogLines();
        const auto again = std::find(lines.begin(), lines.end(), "Выполним инициализацию повторно");
        const auto sent =
            std::find(lines.begin(), lines.end(), "SMS тел=\"12345\" текст=\"after\" отправлена");
        EXPECT_LT(again, sent) << LogText();
        EXPECT_NE(sent, lines.end()) << LogText();
    }
}

const std::string HomeLine = "Регистрация в сети: домашняя сеть [1]";
const std::string SearchingLine = "Регистрация в сети: поиск сети [2]";

TEST_F(SiemensThreadTest, AsksAfterInitialisationThenOncePerPeriodAndLogsOnlyChanges) {
    TSiemensOptions options = ThreadOptions();
    options.Session.TickSource = [this] { return FTick.load(); };
    FTerminal = std::make_unique<TSiemens>(options);
    EXPECT_EQ(FTerminal->Network().Registration, -1) << "nothing is known before the first answer";
    ASSERT_TRUE(FTerminal->Start());
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", 5, 10000)) << LogText();
    EXPECT_EQ(FSim.CommandCount("at+creg?"), 1) << "one query after the initialisation only";
    EXPECT_EQ(FSim.CommandCount("at+csq"), 1) << "one query after the initialisation only";
    ExpectNetwork(1, 20, "the simulator's defaults");
    EXPECT_EQ(CountLines(HomeLine), 1u) << LogText();

    FSim.SetRegistration(2);
    FSim.SetSignalRssi(5);
    NextPeriod(options.NetworkPeriodMs);
    ExpectNetwork(2, 5, "the new values after a period");
    NextPeriod(options.NetworkPeriodMs);
    EXPECT_EQ(CountLines(SearchingLine), 1u) << "a change is one line\n" << LogText();
    EXPECT_EQ(CountLines(HomeLine), 1u) << "an unchanged registration writes nothing\n"
                                        << LogText();

    // Errors keep the last values and do not disturb the terminal.
    FSim.SetRegistration(-1);
    FSim.SetSignalRssi(-1);
    NextPeriod(options.NetworkPeriodMs);
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

// A text the owner must confirm stays on the SIM, listed in every pass but handed over once;
// the pass after the confirmation deletes it, and a re-initialisation meanwhile changes none
// of that.
TEST_F(SiemensThreadTest, AReceivedTextStaysOnTheSimUntilConfirmed) {
    TSiemensOptions options = ThreadOptions();
    options.Session.HoldUntilConfirmed = true;
    StartWorking(options);
    FSim.StoreText("+79161234567", "1");
    ASSERT_TRUE(WaitUntil([&] { return FTerminal->ReceivedSMSCount() == 1; })) << LogText();
    const int32_t inits = FSim.CommandCount("at+cmgf");
    FSim.SetTextMode(true); // the listing is refused: the thread initialises the terminal again
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgf", inits + 1, 10000)) << LogText();
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", FSim.CommandCount("at+cmgl") + 3, 10000));
    EXPECT_EQ(FSim.StoredCount(), 1u) << "unconfirmed, it stays on the SIM";
    EXPECT_EQ(FTerminal->ReceivedSMSCount(), 1) << "and is handed over once\n" << LogText();
    EXPECT_EQ(FSim.CommandCount("at+cmgd"), 0);
    TSMS sms;
    ASSERT_TRUE(FTerminal->GetReceivedSMS(sms));
    FTerminal->ConfirmReceived(sms);
    ASSERT_TRUE(WaitUntil([&] { return FSim.StoredCount() == 0; })) << LogText();
    EXPECT_EQ(FTerminal->ReceivedSMSCount(), 0);
    EXPECT_EQ(CountLines("Получена SMS тел=\"79161234567\" текст=\"1\" DCS=0"), 1u) << LogText();
}

TEST_F(SiemensThreadTest, NeverAsksInsideASubmissionOrAListing) {
    TSiemensOptions options = ThreadOptions();
    options.NetworkPeriodMs = 0; // before every pass
    FTerminal = std::make_unique<TSiemens>(options);
    FSim.SetAnswerDelayMs(3);
    for (int i = 0; i < 4; ++i) {
        FTerminal->QueueSMS(
            Queued("+7900123456" + std::to_string(i), "hello " + std::to_string(i)));
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
