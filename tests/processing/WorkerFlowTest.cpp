// The two main flows end to end: pending rows of a real database reach the terminal
// simulator through a real TSiemens and are stamped once it acknowledges them, and a
// subscriber's "1" is answered in the same cycle, ahead of any backlog. The local hour is put
// inside the daytime window with TZ.
#include "WorkerHarness.h"
#include "support/Text.h"

#include <algorithm>

namespace qvx {
namespace {

using test::TSimWorkerTest;
using test::U8;
using test::WaitUntil;
using test::ZoneWithLocalHour;

class WorkerFlowTest : public TSimWorkerTest {
protected:
    // Waits until the terminal has queued every stored message; each stays on the SIM until
    // the worker has made it safe.
    void WaitIncoming(int32_t count) {
        ASSERT_TRUE(WaitUntil([&] { return FWorker->Counters().Incoming.load() == count; }))
            << "the terminal must queue " << count << " received messages";
    }
    std::string Id(int32_t msgId) const { return std::to_string(msgId); }
};

TEST_F(WorkerFlowTest, PassHandsOverStampsAndSummarises) {
    UseZone(ZoneWithLocalHour(12));
    StartReady();
    const int32_t latin = AddMessage("'+79161234567'", "'Hello'", 50);
    const int32_t noPhone = AddMessage("NULL", "'x'", 40);
    const int32_t letters = AddMessage("'+7916abc1234'", "'x'", 35);
    const int32_t noDigits = AddMessage("'+( )-'", "'x'", 30);
    const int32_t noText = AddMessage("'+79160000003'", "NULL", 20);
    const int32_t russian = AddMessage("'8 (926) 555-01-02'", U8(u8"'Привет'"), 10);
    const int32_t longNumber = AddMessage("'+123456789012345678901'", "'x'", 9);
    const int32_t longText = AddMessage("'+79160000004'", "repeat('a', 39016)", 8);

    const size_t before = Log().size();
    Cycle(true);
    const std::vector<std::string> skipped = {
        "Отсутствует номер телефона (ID=" + Id(noPhone) + ")",
        "Номер телефона содержит буквы (ID=" + Id(letters) + ")",
        "Отсутствует номер телефона (ID=" + Id(noDigits) + ")",
        "Отсутствует текст сообщения (ID=" + Id(noText) + ")",
        "Номер телефона длиннее 20 цифр (ID=" + Id(longNumber) + ")",
        "Текст сообщения длиннее 255 SMS (ID=" + Id(longText) + ")",
    };
    std::vector<std::string> expected = {"Сообщение ID=" + Id(latin) + ": ОТПРАВЛЕНО"};
    expected.insert(expected.end(), skipped.begin(), skipped.begin() + 4);
    expected.push_back("Сообщение ID=" + Id(russian) + ": ОТПРАВЛЕНО");
    expected.insert(expected.end(), skipped.begin() + 4, skipped.end());
    expected.push_back("Сообщений всего/отправлено: 8/2");
    EXPECT_EQ(LogSince(before), expected)
        << "what the terminal could never send is refused before the hand-over";
    EXPECT_TRUE(WaitSent({latin, russian})) << "acknowledged rows must be stamped";
    EXPECT_FALSE(IsSent(noPhone) || IsSent(letters) || IsSent(noDigits) || IsSent(noText) ||
                 IsSent(longNumber) || IsSent(longText))
        << "skipped rows must stay unsent";
    EXPECT_EQ(FWorker->Counters().Acknowledged.load(), 2);
    EXPECT_GT(FWorker->Counters().LastAcknowledgedAt.load(), 0);

    ASSERT_TRUE(FSim.WaitForSubmitted(2, 10000)) << "both messages must reach the terminal";
    const auto sent = FSim.Submitted();
    EXPECT_EQ(sent[0].View.Destination, "79161234567");
    EXPECT_EQ(sent[0].View.Text, "Hello");
    EXPECT_EQ(sent[0].View.MessageClass, 0) << "every message is handed over as flash";
    EXPECT_EQ(sent[1].View.Destination, "89265550102") << "the terminal sends the digits";
    EXPECT_EQ(sent[1].View.Text, U8(u8"Привет")) << "Russian text goes out unchanged";

    const size_t again = Log().size();
    Cycle(true);
    expected = skipped;
    expected.push_back("Сообщений всего/отправлено: 6/0");
    EXPECT_EQ(LogSince(again), expected)
        << "stamped rows are not sent again; skipped ones are reported at every pass";
}

TEST_F(WorkerFlowTest, LifetimeFollowsSmsOldHours) {
    UseZone(ZoneWithLocalHour(12));
    const int32_t old25 = AddMessage("'+79160000001'", "'old'", 25 * 60);
    const int32_t young = AddMessage("'+79160000002'", "'young'", 23 * 60);
    StartReady();
    Cycle(true);
    EXPECT_TRUE(WaitSent({young})) << "a message 23 hours old is within the default 24 hours";
    EXPECT_FALSE(IsSent(old25)) << "a message 25 hours old is never sent by default";

    FDb->Exec("UPDATE appconfig SET val = '48' WHERE propid = 'SMSOLDHOURS'");
    Cycle(true);
    EXPECT_FALSE(IsSent(old25)) << "appconfig changes count only after a reload";
    Reload();
    Cycle(true);
    EXPECT_TRUE(WaitSent({old25})) << "with SMSOLDHOURS 48 the 25-hour-old message is due";
    ASSERT_TRUE(FSim.WaitForSubmitted(2, 10000));
    EXPECT_EQ(SubmittedTexts(), (std::vector<std::string>{"young", "old"}));

    // A lifetime of no hours sends nothing, and the log says so once a load.
    FDb->Exec("UPDATE appconfig SET val = '0' WHERE propid = 'SMSOLDHOURS'");
    const size_t beforeZero = Log().size();
    Reload();
    const auto zeroLines = LogSince(beforeZero);
    EXPECT_EQ(std::count(zeroLines.begin(), zeroLines.end(),
                         "Параметр SMSOLDHOURS=0: срок жизни сообщений истек сразу, SMS не "
                         "отправляются"),
              1)
        << "sending that is off is said once";

    // A value that is not an integer, or no row at all, gives the default 24 hours again.
    for (const char* change : {"UPDATE appconfig SET val = 'abc' WHERE propid = 'SMSOLDHOURS'",
                               "DELETE FROM appconfig WHERE propid = 'SMSOLDHOURS'"}) {
        FDb->Exec(change);
        Reload();
        const int32_t tooOld = AddMessage("'+79160000003'", "'too old'", 25 * 60);
        const int32_t due = AddMessage("'+79160000004'", "'due'", 23 * 60);
        Cycle(true);
        EXPECT_TRUE(WaitSent({due}) && !IsSent(tooOld)) << "24 hours expected after: " << change;
    }
}

TEST_F(WorkerFlowTest, TransliterationFollowsSmsTransliterate) {
    UseZone(ZoneWithLocalHour(12));
    struct {
        const char* Value;
        bool Latin;
    } const cases[] = {{"1", true}, {"-1", true}, {"0", false}, {"yes", false}};
    StartReady();
    for (const auto& c : cases) {
        FDb->Exec(std::string("UPDATE appconfig SET val = '") + c.Value +
                  "' WHERE propid = 'SMSTRANSLITERATE'");
        Reload();
        FSim.ClearSubmitted();
        AddMessage("'+79160000001'", U8(u8"'Привет'"));
        Cycle(true);
        ASSERT_TRUE(FSim.WaitForSubmitted(1, 10000)) << "SMSTRANSLITERATE " << c.Value;
        EXPECT_EQ(FSim.Submitted()[0].View.Text, c.Latin ? std::string("Privet") : U8(u8"Привет"))
            << "SMSTRANSLITERATE " << c.Value;
    }
}

TEST_F(WorkerFlowTest, AccountRequestIsAnsweredInTheSameCycle) {
    UseZone(ZoneWithLocalHour(10));
    FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+79161234567', 'A', 12.5)");
    StartReady();
    ASSERT_FALSE(FSim.StoreText("+79161234567", "1").empty()) << "the SIM must take the request";
    WaitIncoming(1);
    EXPECT_EQ(FSim.StoredCount(), 1u) << "on the SIM until the worker has it safe";
    const size_t before = Log().size();
    Cycle(false);
    const int32_t listings = FSim.CommandCount("at+cmgl");
    EXPECT_TRUE(WaitUntil([&] { return FSim.StoredCount() == 0; }));
    EXPECT_LE(FSim.CommandCount("at+cmgl"), listings + 2) << "deleted by the next pass";
    const auto lines = LogSince(before);
    ASSERT_EQ(lines.size(), 3u) << "received line, hand-over, summary";
    EXPECT_EQ(lines[0], "Принято SMS. Номер: '79161234567', текст: '1'");
    EXPECT_EQ(lines[1].rfind("Сообщение ID=", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "Сообщений всего/отправлено: 1/1");
    ASSERT_TRUE(FSim.WaitForSubmitted(1, 10000)) << "the answer must reach the terminal";
    const auto answer = FSim.Submitted()[0].View;
    EXPECT_EQ(answer.Destination, "79161234567");
    EXPECT_EQ(answer.Text.rfind(U8(u8"Состояние счета"), 0), 0u) << answer.Text;
}

// A request whose preparation the server refuses is logged and dropped: it would be refused
// again and hold every later request behind it. The request after it is answered.
TEST_F(WorkerFlowTest, ARefusedRequestIsDroppedAndTheNextOneAnswered) {
    UseZone(ZoneWithLocalHour(10));
    FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+79161234567', 'A', 12.5)");
    StartReady();
    FDb->Exec("ALTER FUNCTION prepare_acc_info(text) RENAME TO prepare_acc_info_kept; "
              "CREATE FUNCTION prepare_acc_info(phone text) RETURNS integer LANGUAGE plpgsql "
              "AS $$ BEGIN IF phone LIKE '%0001' THEN RAISE EXCEPTION 'server busy'; END IF; "
              "RETURN prepare_acc_info_kept(phone); END $$");
    ASSERT_FALSE(FSim.StoreText("+79160000001", "1").empty());
    ASSERT_FALSE(FSim.StoreText("+79161234567", "1").empty());
    WaitIncoming(2);
    size_t before = Log().size();
    Cycle(false);
    auto lines = LogSince(before);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Принято SMS. Номер: '79160000001', текст: '1'");
    EXPECT_NE(lines[1].find("server busy"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "Запрос подготовки состояния счета вернул ошибку");
    EXPECT_EQ(lines[3], "Принято SMS. Номер: '79161234567', текст: '1'");
    EXPECT_EQ(lines.back(), "Сообщений всего/отправлено: 1/1") << "the good request is answered";
    ASSERT_TRUE(FSim.WaitForSubmitted(1, 10000)) << "the answer must reach the terminal";
    EXPECT_EQ(FSim.Submitted()[0].View.Destination, "79161234567");
    before = Log().size();
    Cycle(false);
    for (const std::string& line : LogSince(before))
        EXPECT_EQ(line.find("server busy"), std::string::npos) << "the refused one came back";
    EXPECT_TRUE(WaitUntil([&] { return FSim.StoredCount() == 0; })) << "a dropped one leaves too";
}

// When the connection is lost while a request's answer is prepared, the request waits for the
// next cycle, and stays on the SIM until it is answered.
TEST_F(WorkerFlowTest, ARequestOutlivesALostConnection) {
    UseZone(ZoneWithLocalHour(10));
    FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+79161234567', 'A', 12.5)");
    StartReady();
    FDb->Exec("ALTER FUNCTION prepare_acc_info(text) RENAME TO prepare_acc_info_kept; "
              "CREATE FUNCTION prepare_acc_info(phone text) RETURNS integer LANGUAGE plpgsql "
              "AS $$ BEGIN PERFORM pg_terminate_backend(pg_backend_pid()); RETURN 0; END $$");
    ASSERT_FALSE(FSim.StoreText("+79161234567", "1").empty()) << "the SIM must take the request";
    WaitIncoming(1);
    size_t before = Log().size();
    Cycle(false);
    auto lines = LogSince(before);
    ASSERT_GE(lines.size(), 2u) << "received line and the database's error";
    EXPECT_EQ(lines[0], "Принято SMS. Номер: '79161234567', текст: '1'");
    for (const std::string& line : lines)
        EXPECT_NE(line, "Запрос подготовки состояния счета вернул ошибку") << "dropped";
    EXPECT_EQ(FSim.SubmittedCount(), 0u) << "the connection must have been lost";
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", FSim.CommandCount("at+cmgl") + 2, 10000));
    EXPECT_EQ(FSim.StoredCount(), 1u) << "unanswered, the request stays on the SIM";

    FDb->Exec("DROP FUNCTION prepare_acc_info(text); "
              "ALTER FUNCTION prepare_acc_info_kept(text) RENAME TO prepare_acc_info");
    // Tried again after the database's back-off (10 s), with no error line per cycle meanwhile.
    before = Log().size();
    ASSERT_TRUE(WaitUntil(
        [&] {
            Cycle(false);
            return FSim.SubmittedCount() > 0;
        },
        30000))
        << "the kept request must be answered once the connection is back";
    for (const std::string& line : LogSince(before))
        EXPECT_EQ(line.rfind("Ошибка", 0), std::string::npos) << "a line per cycle: " << line;
    EXPECT_EQ(FSim.Submitted()[0].View.Destination, "79161234567");
    EXPECT_TRUE(WaitUntil([&] { return FSim.StoredCount() == 0; })) << "and then deleted";
}

TEST_F(WorkerFlowTest, ReceivedMessagesAreJudgedOneByOne) {
    UseZone(ZoneWithLocalHour(12));
    FDb->Exec("INSERT INTO abonents (cellphone, name) VALUES ('+79161111111', 'A'), "
              "('+79162222222', 'B')");
    StartReady();
    const std::pair<const char*, std::string> received[] = {
        {"+79161111111", "1"},  {"+79990000000", "1"},          {"+79162222222", " 1"},
        {"+79162222222", "01"}, {"+79162222222", U8(u8"один")}, {"+79162222222", "a\r\nb"},
        {"+79162222222", "1"},
    };
    for (const auto& [number, text] : received)
        ASSERT_FALSE(FSim.StoreText(number, text).empty()) << "the SIM must store " << text;
    WaitIncoming(7);
    const size_t before = Log().size();
    Cycle(false);
    const auto lines = LogSince(before);
    const std::vector<std::string> expectedStart = {
        "Принято SMS. Номер: '79161111111', текст: '1'",
        "Принято SMS. Номер: '79990000000', текст: '1'",
        "В БД не найдено ни одного абонента с номером '79990000000'",
        "Принято SMS. Номер: '79162222222', текст: ' 1'",
        "Принято SMS. Номер: '79162222222', текст: '01'",
        "Принято SMS. Номер: '79162222222', текст: 'один'",
        "Принято SMS. Номер: '79162222222', текст: 'a<cr><lf>b'",
        "Принято SMS. Номер: '79162222222', текст: '1'",
    };
    ASSERT_GE(lines.size(), expectedStart.size() + 3) << "two answers and a summary follow";
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 8), expectedStart)
        << "every message is logged; CR and LF cannot start a new log line";
    EXPECT_EQ(lines.back(), "Сообщений всего/отправлено: 2/2")
        << "both prepared answers go out in the same cycle";
    ASSERT_TRUE(FSim.WaitForSubmitted(2, 10000));
    const auto sent = FSim.Submitted();
    EXPECT_EQ(sent[0].View.Destination, "79161111111");
    EXPECT_EQ(sent[1].View.Destination, "79162222222");
}

TEST_F(WorkerFlowTest, FailedOrSilentFunctionIsLoggedWithoutAPass) {
    UseZone(ZoneWithLocalHour(12));
    StartReady();
    AddMessage("'+79160000009'", "'pending'");
    struct {
        const char* Function;
        const char* Line;
    } const cases[] = {
        {"CREATE OR REPLACE FUNCTION prepare_acc_info(phone text) RETURNS integer LANGUAGE sql "
         "AS 'SELECT 5'",
         "Запрос подготовки состояния счета вернул ошибку"},
        {"DROP FUNCTION prepare_acc_info(text); CREATE FUNCTION prepare_acc_info(phone text) "
         "RETURNS SETOF integer LANGUAGE sql AS 'SELECT 0 WHERE false'",
         "Ошибка: запрос подготовки состояния счета не вернул результата"},
    };
    for (const auto& c : cases) {
        FDb->Exec(c.Function);
        ASSERT_FALSE(FSim.StoreText("+79161234567", "1").empty());
        WaitIncoming(1);
        const size_t before = Log().size();
        Cycle(false);
        EXPECT_EQ(LogSince(before), (std::vector<std::string>{
                                        "Принято SMS. Номер: '79161234567', текст: '1'", c.Line}))
            << "no sending pass may follow: " << c.Line;
    }
    EXPECT_EQ(FSim.SubmittedCount(), 0u) << "nothing may be sent without a prepared answer";
}

// A pass while the terminal still holds the previous pass's messages hands nothing over twice,
// and an account answer goes out behind the message in submission, not behind the backlog.
TEST_F(WorkerFlowTest, AnAnswerOvertakesTheBacklog) {
    UseZone(ZoneWithLocalHour(12));
    FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+79161234567', 'A', 7)");
    StartReady();
    FSim.SetAnswerDelayMs(40);
    constexpr int32_t Backlog = 30;
    for (int32_t i = 0; i < Backlog; ++i)
        AddMessage("'+7916000" + std::to_string(1000 + i) + "'", "'backlog " + Id(i) + "'", 30);
    Cycle(true);
    ASSERT_TRUE(FSim.WaitForSubmitted(1, 10000));
    size_t before = Log().size();
    Cycle(true);
    EXPECT_TRUE(LogSince(before).empty()) << "queued messages must not be handed over again";

    ASSERT_FALSE(FSim.StoreText("+79161234567", "1").empty());
    WaitIncoming(1);
    before = Log().size();
    Cycle(false);
    const size_t submittedAtRequest = FSim.SubmittedCount();
    EXPECT_EQ(LogSince(before).back(), "Сообщений всего/отправлено: 1/1")
        << "only the answer is new to the pass";
    ASSERT_TRUE(WaitUntil([this] {
        for (const auto& sms : FSim.Submitted())
            if (sms.View.Destination == "79161234567")
                return true;
        return false;
    })) << "the answer must go out";
    size_t position = 0;
    while (FSim.Submitted()[position].View.Destination != "79161234567")
        ++position;
    EXPECT_LE(position, submittedAtRequest + 1)
        << "at most the message in submission may go before the answer";
    ASSERT_TRUE(FSim.WaitForSubmitted(Backlog + 1, 30000));
    EXPECT_EQ(FSim.SubmittedCount(), size_t(Backlog + 1)) << "nothing may go out twice";
}

// However long the backlog, the terminal is handed at most about a thousand messages at a
// time; an answer the pass finds beyond them, pages later, still goes out first.
TEST_F(WorkerFlowTest, ABacklogIsHandedOverBoundedAndTheAnswerStillFirst) {
    UseZone(ZoneWithLocalHour(12));
    FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+79161234567', 'A', 7)");
    FDb->Exec("INSERT INTO abonents (cellphone, name) SELECT '+7926' || lpad(i::text, 7, '0'), "
              "'B' FROM generate_series(1, 1200) i; INSERT INTO msglog (abonentid, msgtext, "
              "regdt) SELECT abonentid, 'backlog', LOCALTIMESTAMP - interval '1 hour' FROM "
              "abonents WHERE name = 'B'; INSERT INTO msgdelivery (msgid, chanid) SELECT msgid, "
              "0 FROM msglog");
    StartReady();
    FSim.SetAnswerDelayMs(40);
    ASSERT_FALSE(FSim.StoreText("+79161234567", "1").empty());
    WaitIncoming(1);
    const size_t before = Log().size();
    Cycle(false);
    const std::string summary = LogSince(before).back();
    const std::string prefix = "Сообщений всего/отправлено: 1201/";
    ASSERT_EQ(summary.rfind(prefix, 0), 0u) << summary;
    const int handedOver = std::stoi(summary.substr(prefix.size()));
    EXPECT_GE(handedOver, 1001) << "a thousand of the backlog and the answer";
    EXPECT_LE(handedOver, 1050) << "only what the terminal sent meanwhile may follow";
    ASSERT_TRUE(FSim.WaitForSubmitted(2, 10000));
    EXPECT_TRUE(FSim.Submitted()[0].View.Destination == "79161234567" ||
                FSim.Submitted()[1].View.Destination == "79161234567")
        << "at most the message in submission may go before the answer";
}

// While the database refuses the stamps, the acknowledged ids are kept: no pass hands their
// messages over again, and they are stamped once the database takes them.
TEST_F(WorkerFlowTest, AcknowledgementsWaitForTheDatabase) {
    UseZone(ZoneWithLocalHour(12));
    StartReady();
    const int32_t first = AddMessage("'+79160000001'", "'first'", 30);
    const int32_t second = AddMessage("'+79160000002'", "'second'", 20);
    FDb->Exec("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE "
              "EXCEPTION 'database is read-only'; END $$; CREATE TRIGGER refuse BEFORE UPDATE "
              "ON msgdelivery FOR EACH ROW EXECUTE FUNCTION refuse()");
    Cycle(true);
    ASSERT_TRUE(WaitUntil([this] { return FWorker->Counters().Acknowledged.load() == 2; }));
    ASSERT_TRUE(WaitUntil([this] {
        for (const auto& line : Log())
            if (line.rfind("Ошибка отметки сообщения ID=", 0) == 0)
                return true;
        return false;
    })) << "the failed stamp must be logged";
    EXPECT_FALSE(IsSent(first) || IsSent(second));

    const size_t before = Log().size();
    Cycle(true);
    for (const auto& line : LogSince(before))
        EXPECT_EQ(line.rfind("Сообщени", 0), std::string::npos)
            << "an acknowledged message must not be handed over again: " << line;
    FDb->Exec("DROP TRIGGER refuse ON msgdelivery");
    EXPECT_TRUE(WaitSent({first, second}, 20000)) << "the kept ids must be stamped";
    EXPECT_EQ(FSim.SubmittedCount(), 2u) << "nothing may go out twice";
}

// A pass that found the terminal unplugged runs once the terminal works again, with the
// ordinary one-second cycles and no new request to send.
TEST_F(WorkerFlowTest, APassThatFoundNoTerminalRunsWhenItWorks) {
    UseZone(ZoneWithLocalHour(12));
    StartReady();
    ASSERT_TRUE(FSim.Unplug()) << FSim.LastError();
    ASSERT_TRUE(WaitUntil([this] { return FWorker->Counters().TerminalState.load() != 3; }, 20000));
    const int32_t id = AddMessage("'+79160000001'", "'late'", 5);
    const size_t before = Log().size();
    Cycle(true);
    ASSERT_EQ(LogSince(before).size(), 1u) << "only the line that the terminal is not ready";
    Cycle(false);
    EXPECT_EQ(LogSince(before).size(), 1u) << "no pass and no line while the terminal is away";
    ASSERT_TRUE(FSim.Plug()) << FSim.LastError();
    EXPECT_TRUE(WaitUntil(
        [&] {
            Cycle(false);
            return IsSent(id);
        },
        30000))
        << "the pass that was due must run without a new request";
}

// An answer whose pass found the terminal away keeps its place: once the terminal works, it
// leaves before the rows that were waiting already.
TEST_F(WorkerFlowTest, AnAnswerKeepsItsPlaceThroughAPassThatEndedEarly) {
    UseZone(ZoneWithLocalHour(12));
    FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+79161234567', 'A', 7)");
    StartReady();
    ASSERT_FALSE(FSim.StoreText("+79161234567", "1").empty());
    WaitIncoming(1);
    ASSERT_TRUE(FSim.Unplug()) << FSim.LastError();
    ASSERT_TRUE(WaitUntil([this] { return FWorker->Counters().TerminalState.load() != 3; }, 20000));
    for (int32_t i = 0; i < 5; ++i)
        AddMessage("'+7916000" + std::to_string(1000 + i) + "'", "'backlog " + Id(i) + "'", 30);
    Cycle(false); // the request is prepared; its pass finds no terminal
    ASSERT_TRUE(FSim.Plug()) << FSim.LastError();
    ASSERT_TRUE(WaitUntil(
        [&] {
            Cycle(false);
            return FSim.SubmittedCount() >= 1;
        },
        30000))
        << "the pass that was due must run";
    EXPECT_EQ(FSim.Submitted().front().View.Destination, "79161234567")
        << "the answer goes first, ahead of the backlog";
}

// A SIM allows three wrong PINs before it needs the carrier's PUK: a refused PIN goes out once,
// also across a reload that brings it again; a reload with the right one brings the terminal up.
TEST_F(WorkerFlowTest, RefusedPinWaitsForAReloadWithAnotherOne) {
    FSim.SetPin("1234");
    WriteIni("Device=" + FSim.LinkPath() + "\r\nPIN=9999");
    StartWorker();
    ASSERT_TRUE(WaitUntil([&] { return FWorker->Status().PinWait == 1; }))
        << "the status must say why the terminal waits";
    const auto reloads = [this] {
        size_t count = 0;
        for (const auto& line : Log())
            count += line == "Новые настройки применены";
        return count;
    };
    FWorker->PostCommand(CommandReload);
    ASSERT_TRUE(WaitUntil([&] { return reloads() == 1; }));
    const int32_t queries = FSim.CommandCount("at+cpin?");
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cpin?", queries + 3, 10000))
        << "the new terminal keeps initialising";
    EXPECT_EQ(FSim.CommandCount("at+cpin"), 1) << "the same PIN is not sent again";
    EXPECT_EQ(FWorker->Status().PinWait, 1);

    WriteIni("Device=" + FSim.LinkPath() + "\r\nPIN=1234");
    Reload();
    EXPECT_EQ(FSim.CommandCount("at+cpin"), 2) << "the new PIN is sent once";
    EXPECT_EQ(FSim.PinAttemptsLeft(), 3);
    EXPECT_EQ(FWorker->Status().PinWait, 0);
}

} // namespace
} // namespace qvx
