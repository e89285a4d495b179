// The two main flows end to end: pending rows of a real database reach the terminal
// simulator through a real TSiemens and are stamped, and a subscriber's "1" is answered in
// the same cycle. The local hour is put inside the daytime window with TZ.
#include "WorkerHarness.h"
#include "support/Text.h"

namespace qvx {
namespace {

using test::TSimWorkerTest;
using test::TZoneGuard;
using test::U8;
using test::WaitUntil;
using test::ZoneWithLocalHour;

class WorkerFlowTest : public TSimWorkerTest {
protected:
    // Waits until the terminal has taken every stored message off the SIM and queued it.
    void WaitIncoming(int32_t count) {
        ASSERT_TRUE(WaitUntil([&] {
            return FSim.StoredCount() == 0 && FWorker->IncomingCount() == count;
        })) << "the terminal must queue "
            << count << " received messages";
    }
    std::string Id(int32_t msgId) const { return std::to_string(msgId); }
};

TEST_F(WorkerFlowTest, PassHandsOverStampsAndSummarises) {
    const TZoneGuard zone(ZoneWithLocalHour(12));
    StartReady();
    const int32_t latin = AddMessage("'+79161234567'", "'Hello'", 50);
    const int32_t noPhone = AddMessage("NULL", "'x'", 40);
    const int32_t noDigits = AddMessage("'+( )-'", "'x'", 30);
    const int32_t noText = AddMessage("'+79160000003'", "NULL", 20);
    const int32_t russian = AddMessage("'8 (926) 555-01-02'", U8(u8"'Привет'"), 10);

    const size_t before = Log().size();
    Cycle(true);
    EXPECT_EQ(LogSince(before), (std::vector<std::string>{
                                    "Сообщение ID=" + Id(latin) + ": ОТПРАВЛЕНО",
                                    "Отсутствует номер телефона (ID=" + Id(noPhone) + ")",
                                    "Отсутствует номер телефона (ID=" + Id(noDigits) + ")",
                                    "Отсутствует текст сообщения (ID=" + Id(noText) + ")",
                                    "Сообщение ID=" + Id(russian) + ": ОТПРАВЛЕНО",
                                    "Сообщений всего/отправлено: 5/2",
                                }));
    EXPECT_TRUE(IsSent(latin) && IsSent(russian)) << "handed-over rows must be stamped";
    EXPECT_FALSE(IsSent(noPhone) || IsSent(noDigits) || IsSent(noText))
        << "skipped rows must stay unsent";

    ASSERT_TRUE(FSim.WaitForSubmitted(2, 10000)) << "both messages must reach the terminal";
    const auto sent = FSim.Submitted();
    EXPECT_EQ(sent[0].View.Destination, "79161234567");
    EXPECT_EQ(sent[0].View.Text, "Hello");
    EXPECT_EQ(sent[0].View.MessageClass, 0) << "every message is handed over as flash";
    EXPECT_EQ(sent[1].View.Destination, "89265550102") << "the terminal sends the digits";
    EXPECT_EQ(sent[1].View.Text, U8(u8"Привет")) << "Russian text goes out unchanged";

    const size_t again = Log().size();
    Cycle(true);
    EXPECT_EQ(LogSince(again), (std::vector<std::string>{
                                   "Отсутствует номер телефона (ID=" + Id(noPhone) + ")",
                                   "Отсутствует номер телефона (ID=" + Id(noDigits) + ")",
                                   "Отсутствует текст сообщения (ID=" + Id(noText) + ")",
                                   "Сообщений всего/отправлено: 3/0",
                               }))
        << "stamped rows are not sent again; skipped ones are reported at every pass";
}

TEST_F(WorkerFlowTest, LifetimeFollowsSmsOldHours) {
    const TZoneGuard zone(ZoneWithLocalHour(12));
    const int32_t old25 = AddMessage("'+79160000001'", "'old'", 25 * 60);
    const int32_t young = AddMessage("'+79160000002'", "'young'", 23 * 60);
    StartReady();
    Cycle(true);
    EXPECT_TRUE(IsSent(young)) << "a message 23 hours old is within the default 24 hours";
    EXPECT_FALSE(IsSent(old25)) << "a message 25 hours old is never sent by default";

    FDb->Exec("UPDATE appconfig SET val = '48' WHERE propid = 'SMSOLDHOURS'");
    Cycle(true);
    EXPECT_FALSE(IsSent(old25)) << "appconfig changes count only after a reload";
    Reload();
    Cycle(true);
    EXPECT_TRUE(IsSent(old25)) << "with SMSOLDHOURS 48 the 25-hour-old message is due";
    ASSERT_TRUE(FSim.WaitForSubmitted(2, 10000));
    EXPECT_EQ(SubmittedTexts(), (std::vector<std::string>{"young", "old"}));

    // A value that is not an integer, or no row at all, gives the default 24 hours again.
    for (const char* change : {"UPDATE appconfig SET val = 'abc' WHERE propid = 'SMSOLDHOURS'",
                               "DELETE FROM appconfig WHERE propid = 'SMSOLDHOURS'"}) {
        FDb->Exec(change);
        Reload();
        const int32_t tooOld = AddMessage("'+79160000003'", "'too old'", 25 * 60);
        const int32_t due = AddMessage("'+79160000004'", "'due'", 23 * 60);
        Cycle(true);
        EXPECT_TRUE(IsSent(due) && !IsSent(tooOld)) << "24 hours expected after: " << change;
    }
}

TEST_F(WorkerFlowTest, TransliterationFollowsSmsTransliterate) {
    const TZoneGuard zone(ZoneWithLocalHour(12));
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
    const TZoneGuard zone(ZoneWithLocalHour(10));
    FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+79161234567', 'A', 12.5)");
    StartReady();
    ASSERT_FALSE(FSim.StoreText("+79161234567", "1").empty()) << "the SIM must take the request";
    WaitIncoming(1);
    const size_t before = Log().size();
    Cycle(false);
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

TEST_F(WorkerFlowTest, ReceivedMessagesAreJudgedOneByOne) {
    const TZoneGuard zone(ZoneWithLocalHour(12));
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
    const TZoneGuard zone(ZoneWithLocalHour(12));
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

TEST_F(WorkerFlowTest, LostConnectionEndsTheCycleAndTheNextOneRecovers) {
    const TZoneGuard zone(ZoneWithLocalHour(12));
    StartReady();
    const int32_t first = AddMessage("'+79160000001'", "'first'", 30);
    const int32_t second = AddMessage("'+79160000002'", "'second'", 20);
    const int32_t third = AddMessage("'+79160000003'", "'third'", 10);
    // Stamping the second message kills the worker's own session, as a server crash would.
    FDb->Exec("CREATE FUNCTION kill_session() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
              "PERFORM pg_terminate_backend(pg_backend_pid()); RETURN NEW; END $$; "
              "CREATE TRIGGER kill BEFORE UPDATE ON msgdelivery FOR EACH ROW WHEN (NEW.msgid = " +
              Id(second) + ") EXECUTE FUNCTION kill_session()");
    size_t before = Log().size();
    Cycle(true);
    auto lines = LogSince(before);
    ASSERT_EQ(lines.size(), 3u) << "two hand-overs, then the error; no summary";
    EXPECT_EQ(lines[0], "Сообщение ID=" + Id(first) + ": ОТПРАВЛЕНО");
    EXPECT_EQ(lines[1], "Сообщение ID=" + Id(second) + ": ОТПРАВЛЕНО");
    EXPECT_EQ(lines[2].rfind("Ошибка: ", 0), 0u) << lines[2];
    EXPECT_TRUE(IsSent(first));
    EXPECT_FALSE(IsSent(second)) << "the stamp of the second message was lost with the session";
    EXPECT_FALSE(IsSent(third)) << "the pass ended before the third message";

    FDb->Exec("DROP TRIGGER kill ON msgdelivery");
    before = Log().size();
    Cycle(true);
    lines = LogSince(before);
    EXPECT_EQ(lines, (std::vector<std::string>{"Сообщение ID=" + Id(second) + ": ОТПРАВЛЕНО",
                                               "Сообщение ID=" + Id(third) + ": ОТПРАВЛЕНО",
                                               "Сообщений всего/отправлено: 2/2"}))
        << "the next cycle connects anew and hands the unstamped message over again";
    EXPECT_TRUE(IsSent(second) && IsSent(third));
}

} // namespace
} // namespace qvx
