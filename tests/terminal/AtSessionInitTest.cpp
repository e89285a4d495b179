// The initialisation of an AT session against the simulator.
#include "TerminalFixture.h"
#include "processing/PinAttempts.h"

namespace qvx {
namespace {

using test::TTerminalFixture;

class AtSessionInitTest : public TTerminalFixture {};

const std::string RefusedWait = "PIN код отвергнут SIM картой и повторно не посылается: задайте "
                                "другой PIN код и перезагрузите настройки";
const std::string PukWait = "SIM карта заблокирована и требует PUK код: PIN код не посылается";

const std::string Smsc =
    "Номер SMS центра получен: <cr><lf>+CSCA: \"+79037011111\",145<cr><lf><cr><lf>OK<cr><lf>";

TEST_F(AtSessionInitTest, BringsTheTerminalUpOrSaysWhyNot) {
    struct TCase {
        std::string SimPin;
        std::string Pin;
        int32_t SimBusy;
        bool Clip;
        int32_t Code;
        std::vector<std::string> Log;
        const char* Note;
    };
    const TCase cases[] = {
        {"",
         "",
         0,
         false,
         0,
         {"Регистрация PIN кода...", "PIN код не требуется", Smsc},
         "no PIN needed"},
        {"1234",
         "",
         0,
         false,
         13,
         {"Регистрация PIN кода...", "Задайте PIN код в настройках проекта на вкладке GSM !"},
         "PIN needed, none configured"},
        {"1234",
         "1234",
         0,
         false,
         0,
         {"Регистрация PIN кода...", "PIN код \"1234\" принят - регистрация прошла успешно", Smsc},
         "PIN needed and given"},
        {"1234",
         "9999",
         0,
         false,
         12,
         {"Регистрация PIN кода...", "PIN код \"9999\" НЕ принят - регистрация не удалась !",
          RefusedWait},
         "PIN refused"},
        {"",
         "",
         14,
         false,
         0,
         {"Регистрация PIN кода...", "PIN код не требуется", Smsc},
         "SIM busy 14 times, the 15th attempt succeeds"},
        {"",
         "",
         15,
         false,
         14,
         {"Регистрация PIN кода...", "PIN код не требуется"},
         "SIM busy 15 times: no SMS centre, and no at+csca? error line"},
        {"",
         "",
         0,
         true,
         0,
         {"Регистрация PIN кода...", "PIN код не требуется", Smsc,
          "Включение режима регистрации входящих звонков...", "ОК"},
         "caller identification switched on"},
    };
    for (const TCase& c : cases) {
        FSim.SetPin(c.SimPin);
        FSim.SetSimBusyCount(c.SimBusy);
        TAtSessionOptions options = Options();
        options.Settings.Pin = c.Pin;
        options.Clip = c.Clip;
        options.RetryPauseMs = 1;
        OpenSession(options, false);
        const int32_t pinsBefore = FSim.CommandCount("at+cpin");
        const int32_t clipsBefore = FSim.CommandCount("at+clip");
        const int32_t centreBefore = FSim.CommandCount("at+csca?");
        EXPECT_EQ(static_cast<int32_t>(FSession->Initialise()), c.Code) << c.Note;
        EXPECT_EQ(LogLines(), c.Log) << c.Note << "\n" << LogText();
        EXPECT_EQ(FSim.CommandCount("at+cpin") - pinsBefore, c.Pin.empty() ? 0 : 1)
            << c.Note << ": at+cpin= only with a configured PIN that is needed";
        EXPECT_EQ(FSim.CommandCount("at+clip") - clipsBefore, c.Clip ? 1 : 0) << c.Note;
        if (c.SimBusy > 0) {
            EXPECT_EQ(FSim.CommandCount("at+csca?") - centreBefore, 15) << c.Note;
        }
        FSession->Close();
        FSim.Unplug(); // power-on state for the next case
        ASSERT_TRUE(FSim.Plug());
    }
}

// Each terminal object stands for one reload: the PIN the SIM refused is handed on, as the
// worker does. A PIN goes out once, and never to a SIM that asks for its PUK.
TEST_F(AtSessionInitTest, PinIsTriedOnceAndNeverAgainstAPuk) {
    struct TCase {
        std::string Pin;
        int32_t PinsSent;
        int32_t Wait;
        std::vector<std::string> Log;
        const char* Note;
    };
    const std::string Asked = "Регистрация PIN кода...";
    const auto refused = [&](const std::string& pin, const std::string& then) {
        return std::vector<std::string>{
            Asked, "PIN код \"" + pin + "\" НЕ принят - регистрация не удалась !", RefusedWait,
            Asked, then};
    };
    // Two initialisations each; the second logs its wait only when the reason changed.
    const TCase cases[] = {
        {"9999", 1, 1, refused("9999", ""), "a wrong PIN is sent once"},
        {"9999", 0, 1, {Asked, RefusedWait, Asked}, "the same PIN after a reload"},
        {"1111", 1, 1, refused("1111", ""), "a different PIN is tried"},
        {"2222", 1, 2, refused("2222", PukWait), "the third wrong PIN locks the SIM"},
        {"1234", 0, 2, {Asked, PukWait, Asked}, "even the right PIN waits for a PUK"},
    };
    FSim.SetPin("1234");
    std::string refusedPin;
    for (const TCase& c : cases) {
        TAtSessionOptions options = Options();
        options.Settings.Pin = c.Pin;
        options.RefusedPin = refusedPin;
        OpenSession(options, false);
        const int32_t pinsBefore = FSim.CommandCount("at+cpin");
        for (int round = 0; round < 2; ++round)
            EXPECT_EQ(FSession->Initialise(), TGsmResult::PinRejected) << c.Note;
        EXPECT_EQ(FSim.CommandCount("at+cpin") - pinsBefore, c.PinsSent) << c.Note;
        EXPECT_EQ(static_cast<int32_t>(FSession->PinWait()), c.Wait) << c.Note;
        std::vector<std::string> expected = c.Log;
        if (expected.back().empty())
            expected.pop_back();
        EXPECT_EQ(LogLines(), expected) << c.Note << ": the wait is logged once\n" << LogText();
        refusedPin = FSession->RefusedPin();
    }
    EXPECT_EQ(FSim.PinAttemptsLeft(), 0);
}

// A PIN that got no answer is no refused PIN: at+cpin? tells whether the SIM took it. One it
// did not take counts, and goes again only while the owner's records allow.
TEST_F(AtSessionInitTest, APinWithoutAnAnswerIsAskedAfterNotTakenForRefused) {
    const std::string asked = "Регистрация PIN кода...";
    const std::string taken =
        "SIM карта не ответила на PIN код, но готова к работе: PIN код принят";
    const std::string counted = "SIM карта не ответила на PIN код и ждёт его: попытка засчитана";
    const std::string again =
        "PIN код посылается: попыток на этой SIM карте уже было 1, у неё осталось не меньше 2";
    const std::string spent = "PIN код не посылается: служба израсходовала свои попытки на этой "
                              "SIM карте, последнюю из 3 оставляем для ввода PIN кода вручную";
    const struct {
        std::string Pin;
        std::vector<TGsmResult> Results;
        int32_t PinsSent;
        int32_t SimAttemptsLeft;
        size_t Kept;
        TPinWait Wait;
        std::vector<std::string> Log;
        const char* Note;
    } cases[] = {
        {"1234", {TGsmResult::OK}, 1, 3, 0, TPinWait::None, {asked, taken, Smsc}, "taken"},
        {"9999",
         {TGsmResult::Timeout, TGsmResult::Timeout, TGsmResult::PinRejected},
         2,
         1,
         2,
         TPinWait::Exhausted,
         {asked, counted, asked, again, counted, asked, spent},
         "counted, sent once more, then left to a person"},
    };
    FSim.SetPin("1234");
    for (const auto& c : cases) {
        FSim.SetPinAnswersLost(2);
        TPinRecords pins;
        TAtSessionOptions options = Options();
        options.Settings.Pin = c.Pin;
        options.PinAttempt = [&pins](const std::string& iccid, const std::string& pin) {
            return RecordPinAttempt(pins, iccid, pin, 0, [] { return std::string(); });
        };
        options.PinVerdict = [&pins](const std::string& iccid, const std::string& pin,
                                     bool accepted) {
            ApplyPinVerdict(pins, iccid, pin, accepted);
        };
        OpenSession(options, false);
        const int32_t pinsBefore = FSim.CommandCount("at+cpin");
        std::vector<TGsmResult> results;
        for (size_t round = 0; round < c.Results.size(); ++round)
            results.push_back(FSession->Initialise());
        EXPECT_EQ(results, c.Results) << c.Note;
        EXPECT_EQ(LogLines(), c.Log) << c.Note << ": refusal lines only for a refusal\n"
                                     << LogText();
        EXPECT_EQ(FSim.CommandCount("at+cpin") - pinsBefore, c.PinsSent) << c.Note;
        EXPECT_EQ(FSim.PinAttemptsLeft(), c.SimAttemptsLeft) << c.Note;
        EXPECT_EQ(pins.size(), c.Kept) << c.Note << ": attempts counted";
        EXPECT_EQ(FSession->PinWait(), c.Wait) << c.Note;
        EXPECT_EQ(FSession->RefusedPin(), "") << c.Note << ": not refused";
        // The right PIN, answered, gives the SIM its three tries back for the next case.
        FSim.SetPinAnswersLost(0);
        TAtSessionOptions reset = Options();
        reset.Settings.Pin = "1234";
        FSim.Unplug();
        ASSERT_TRUE(FSim.Plug());
        OpenSession(reset);
        FSession->Close();
        FSim.Unplug();
        ASSERT_TRUE(FSim.Plug());
    }
}

// Answers played by hand: the first two commands always succeed, the PIN query and the SMS
// centre query as each case says (an empty answer: the terminal stays silent).
TEST_F(AtSessionInitTest, PinQueryAndCentreQueryAnswers) {
    struct TCase {
        std::string PinAnswer;
        std::string CentreAnswer;
        int32_t Code;
        std::vector<std::string> Log;
        const char* Note;
    };
    const TCase cases[] = {
        {"",
         "\r\n+CSCA: \"+7903\",145\r\n\r\nOK\r\n",
         0,
         {"Регистрация PIN кода...",
          "Номер SMS центра получен: <cr><lf>+CSCA: \"+7903\",145<cr><lf><cr><lf>OK<cr><lf>"},
         "an unanswered PIN query is skipped without a PIN line"},
        {"\r\n+CPIN: READY\r\n\r\nOK\r\n",
         "\r\n+CME ERROR: SIM failure\r\n",
         3,
         {"Регистрация PIN кода...", "PIN код не требуется",
          "Ошибка at+csca?: <cr><lf>+CME ERROR: SIM failure<cr>"},
         "an SMS centre error other than SIM busy"},
        {"\r\n+CPIN: READY\r\n\r\nOK\r\n",
         "\r\nOK\r\n",
         0,
         {"Регистрация PIN кода...", "PIN код не требуется",
          "Нераспознанный ответ на команду at+csca?: <cr><lf>OK<cr><lf>"},
         "an SMS centre answer without CSCA"},
    };
    FSim.SetSilent(true);
    OpenSession(false);
    int32_t round = 0;
    for (const TCase& c : cases) {
        ++round;
        FDir.Write("Siemens.log", "");
        AnswerAfter("at+cmee", round, "\r\nOK\r\n");
        AnswerAfter("atq0v1e0", round, "\r\nOK\r\n");
        AnswerAfter("at+cmgf", round, "\r\nOK\r\n");
        if (!c.PinAnswer.empty())
            AnswerAfter("at+cpin?", round, c.PinAnswer);
        AnswerAfter("at+csca?", round, c.CentreAnswer);
        EXPECT_EQ(static_cast<int32_t>(FSession->Initialise()), c.Code) << c.Note;
        EXPECT_EQ(LogLines(), c.Log) << c.Note << "\n" << LogText();
    }
}

// The IMSI is asked only when the owner counts by it, once the SIM is ready; a terminal that
// cannot tell it still comes up, with no IMSI.
TEST_F(AtSessionInitTest, AsksTheImsiOnlyWhenToldAndKeepsOnlyAValidOne) {
    struct TCase {
        bool Query;
        std::string SimPin;
        std::string SimImsi;
        std::string Imsi;
        const char* Note;
    };
    const TCase cases[] = {
        {false, "", "250990000000001", "", "not asked"},
        {true, "", "250990000000001", "250990000000001", "read"},
        {true, "1234", "250990000000002", "250990000000002", "read once the PIN is given"},
        {true, "", "", "", "the terminal answers ERROR"},
        {true, "", "2509900000000012", "", "sixteen digits are no IMSI"},
    };
    const std::string unknown = "Не могу получить IMSI SIM карты ! [at+cimi]";
    for (const TCase& c : cases) {
        FSim.SetPin(c.SimPin);
        FSim.SetImsi(c.SimImsi);
        TAtSessionOptions options = Options();
        options.Settings.Pin = c.SimPin;
        options.QueryImsi = c.Query;
        OpenSession(options, false);
        const int32_t asked = FSim.CommandCount("at+cimi");
        ASSERT_EQ(FSession->Initialise(), TGsmResult::OK) << c.Note << "\n" << LogText();
        EXPECT_EQ(FSession->Imsi(), c.Imsi) << c.Note;
        EXPECT_EQ(FSim.CommandCount("at+cimi") - asked, c.Query ? 1 : 0) << c.Note;
        const std::vector<std::string> lines = LogLines();
        ASSERT_FALSE(lines.empty()) << c.Note;
        if (c.Query) {
            EXPECT_EQ(lines.back(), c.Imsi.empty() ? unknown : "IMSI SIM карты: " + c.Imsi)
                << c.Note << "\n"
                << LogText();
            const std::vector<std::string> commands = FSim.CommandLog();
            EXPECT_EQ(commands[commands.size() - 2], "at+csca?") << c.Note << ": asked too early";
        } else {
            EXPECT_EQ(lines.back(), Smsc) << c.Note << ": nothing about an IMSI";
        }
        FSession->Close();
        FSim.Unplug(); // power-on state for the next case
        ASSERT_TRUE(FSim.Plug());
    }
}

// The entries kept across a restart are taken up by the SIM they were kept for: a listed entry
// among them is deleted without a second hand-over; any other entry is handed over.
TEST_F(AtSessionInitTest, TakesUpTheEntriesKeptForItsSim) {
    const std::string own = "8970199123456789012";
    const std::string other = "8970199000000000009";
    const struct {
        std::string SimIccid;
        std::string KeptFor;    // empty: carried in Handled instead
        std::string HandledSim; // whose SIM the carried Handled is
        bool HandedOver;
        const char* Note;
    } cases[] = {
        {own, own, "", false, "kept for this SIM"},
        {own, other, "", true, "kept for another SIM"},
        {own, "terminal:2", "", false, "kept while the terminal's SIM told no ICCID"},
        {"", "terminal:2", "", false, "a SIM that does not tell its ICCID"},
        {"", own, "", true, "kept for a SIM this one cannot be told to be"},
        {own, "", own, false, "carried from the last session of this SIM"},
        {own, "", other, true, "carried from a SIM taken out since"},
    };
    for (const auto& c : cases) {
        FSim.ClearStored();
        FSim.SetIccid(c.SimIccid);
        const std::vector<int32_t> stored = FSim.StoreText("+79161234567", "1");
        ASSERT_EQ(stored.size(), 1u);
        THandledEntries entry;
        entry.Add(stored[0], FSim.Stored().front().Pdu);
        TAtSessionOptions options = Options();
        options.QueryIccid = true;
        options.UnnamedSim = "terminal:2";
        options.HandledSim = c.HandledSim;
        if (c.KeptFor.empty())
            options.Handled = entry;
        else
            options.KeptEntries[c.KeptFor] = entry;
        OpenSession(options);
        EXPECT_EQ(FSession->Iccid(), c.SimIccid) << c.Note;
        EXPECT_EQ(FSession->Receive().Messages.size(), c.HandedOver ? 1u : 0u) << c.Note;
        EXPECT_EQ(FSim.StoredCount(), 0u) << c.Note << ": deleted either way";
    }
}

// PDU mode is selected right after the result codes; a terminal that refuses it is not ready.
TEST_F(AtSessionInitTest, ATerminalRefusingPduModeIsNotReady) {
    FSim.SetPduModeRefused(true);
    OpenSession(false);
    EXPECT_EQ(FSession->Initialise(), TGsmResult::ATCommand);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Не могу включить режим PDU ! [at+cmgf=0]"})
        << LogText();
    const std::vector<std::string> commands = FSim.CommandLog();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 2], "atq0v1e0");
    EXPECT_EQ(commands.back(), "at+cmgf=0") << "nothing may be sent after the refusal";
}

TEST_F(AtSessionInitTest, SilentTerminalFailsTheFirstCommand) {
    FSim.SetSilent(true);
    TAtSessionOptions options = Options();
    options.Settings.ModemTimeoutMs = 100;
    OpenSession(options, false);
    EXPECT_EQ(FSession->Initialise(), TGsmResult::ATCommand);
    EXPECT_EQ(FSim.CommandCount("atq0v1e0"), 0) << "the second command is never sent";
}

} // namespace
} // namespace qvx
