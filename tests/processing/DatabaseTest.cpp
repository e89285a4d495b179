// TDatabase against a real PostgreSQL database loaded with the demo schema.
#include "processing/Database.h"

#include "infra/LogFile.h"
#include "infra/Thread.h"
#include "processing/DatabaseRules.h"
#include "processing/Error.h"
#include "support/PgFixture.h"
#include "support/Text.h"
#include "support/Waiting.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>

namespace qvx {
namespace {

using test::HexOf;
using test::U8;

class DatabaseTest : public test::TPgTest {
protected:
    void SetUp() override {
        TPgTest::SetUp();
        if (HasFatalFailure())
            return;
        TConfig config("/nonexistent/");
        FDb->ApplyTo(config);
        FParams = DbParamsOf(config);
        FDatabase.SetParams(FParams);
        FDb->Exec("INSERT INTO abonents (cellphone, name) VALUES ('+79161234567', 'A'), "
                  "(NULL, 'B'), ('8 926 555-01-02', 'C')");
    }

    // Registers one SMS delivery `hoursAgo` hours old and returns its msgid.
    int32_t AddMessage(int abonent, const std::string& textSql, double hoursAgo) {
        const auto id = FDb->Scalar(
            "WITH m AS (INSERT INTO msglog (abonentid, msgtext, regdt) VALUES (" +
            std::to_string(abonent) + ", " + textSql + ", LOCALTIMESTAMP - interval '" +
            std::to_string(hoursAgo * 3600) +
            " seconds') RETURNING msgid) INSERT INTO msgdelivery (msgid, chanid) SELECT msgid, "
            "0 FROM m RETURNING msgid");
        return std::stoi(id.value());
    }

    // The server process of the service's session, found by its application name.
    int ServicePid() const {
        return std::stoi(FDb->Scalar("SELECT pid FROM pg_stat_activity WHERE application_name LIKE "
                                     "'quorvexsms@%' AND datname = current_database()")
                             .value_or("0"));
    }
    bool ServiceRunsAStatement() const {
        return FDb->Scalar("SELECT count(*) FROM pg_stat_activity WHERE application_name LIKE "
                           "'quorvexsms@%' AND state <> 'idle'") != "0";
    }
    bool ServiceWaitsForALock() const {
        return FDb->Scalar("SELECT count(*) FROM pg_stat_activity WHERE application_name LIKE "
                           "'quorvexsms@%' AND wait_event_type = 'Lock'") == "1";
    }

    TDbParams FParams;
    TDatabase FDatabase;
};

TEST_F(DatabaseTest, ReadsAppconfigRows) {
    FDb->Exec(U8(u8"INSERT INTO appconfig VALUES ('EMPTY', NULL), ('RU', 'Версия')"));
    EXPECT_EQ(FDatabase.ReadParam("DBVER"), std::optional<std::string>("2.00"));
    EXPECT_EQ(FDatabase.ReadParam("MISSING"), std::nullopt) << "no row must read as nullopt";
    EXPECT_EQ(FDatabase.ReadParam("EMPTY"), std::optional<std::string>(""))
        << "a null value must read as the empty text";
    EXPECT_EQ(HexOf(FDatabase.ReadParam("RU").value_or("")), HexOf("Версия"))
        << "UTF-8 from the server must arrive as Windows-1251";
    EXPECT_TRUE(FDatabase.Connected()) << "the connection is opened on demand and kept";
    FDatabase.Close();
    EXPECT_FALSE(FDatabase.Connected());
    EXPECT_EQ(FDatabase.ReadParam("DBVER"), std::optional<std::string>("2.00"))
        << "a closed connection must be opened again by the next statement";
}

TEST_F(DatabaseTest, PendingDeliveriesWithinTheLifetimeOldestFirst) {
    const int32_t young = AddMessage(1, "'young'", 1);
    const int32_t old25 = AddMessage(1, "'25 hours'", 25);
    const int32_t old47 = AddMessage(3, "'47 hours'", 47);
    const int32_t old49 = AddMessage(1, "'49 hours'", 49);
    const int32_t sent = AddMessage(1, "'sent'", 2);
    FDb->Exec("UPDATE msgdelivery SET sentdt = LOCALTIMESTAMP WHERE msgid = " +
              std::to_string(sent));
    FDb->Exec("INSERT INTO msgdelivery VALUES (" + std::to_string(young) + ", 1, NULL)");

    auto ids = [](const std::vector<TPendingSMS>& rows) {
        std::vector<int32_t> result;
        for (const auto& row : rows)
            result.push_back(row.MsgId);
        return result;
    };
    EXPECT_EQ(ids(FDatabase.GetSMS(24)), std::vector<int32_t>{young})
        << "with 24 hours only the young unsent SMS delivery is due (25 hours is too old, "
           "sent rows and other channels never count)";
    const auto rows48 = FDatabase.GetSMS(48);
    EXPECT_EQ(ids(rows48), (std::vector<int32_t>{old47, old25, young}))
        << "with 48 hours the rows must come oldest registration first";
    ASSERT_EQ(rows48.size(), 3u);
    EXPECT_NEAR(rows48[0].AgeSec, 47 * 3600.0, 120) << "the age by the database's clock";
    EXPECT_TRUE(FDatabase.GetSMS(0).empty()) << "a lifetime of 0 hours leaves nothing";
    (void)old49;
}

TEST_F(DatabaseTest, PendingTextsAreConvertedAndNullsReadEmpty) {
    const int32_t russian = AddMessage(1, U8(u8"'Привет, мир'"), 1);
    const int32_t foreign = AddMessage(1, U8(u8"'Preis 5 € 😀 ok'"), 1);
    const int32_t noText = AddMessage(1, "NULL", 1);
    const int32_t noPhone = AddMessage(2, "'x'", 1);
    const auto rows = FDatabase.GetSMS(24);
    ASSERT_EQ(rows.size(), 4u) << "every unsent row of the last day must be listed";
    EXPECT_EQ(rows[0].MsgId, russian);
    EXPECT_EQ(HexOf(rows[0].Text), HexOf("Привет, мир")) << "Russian text must be cp1251";
    EXPECT_EQ(rows[0].Telephone, "+79161234567");
    EXPECT_EQ(rows[1].MsgId, foreign);
    EXPECT_EQ(HexOf(rows[1].Text), HexOf("Preis 5 \x88 ? ok"))
        << "the euro sign has a cp1251 byte, the emoji must become '?'";
    EXPECT_EQ(rows[2].MsgId, noText);
    EXPECT_EQ(rows[2].Text, "") << "a null text must read as empty";
    EXPECT_EQ(rows[3].MsgId, noPhone);
    EXPECT_EQ(rows[3].Telephone, "") << "a null number must read as empty";
}

// An id the service cannot hold skips its row with one line, not the pass.
TEST_F(DatabaseTest, ARowWithAnUnusableIdIsPassedOver) {
    const int32_t before = AddMessage(1, "'before'", 2);
    FDb->Exec("ALTER TABLE msgdelivery DROP CONSTRAINT msgdelivery_msgid_fkey; ALTER TABLE "
              "msgdelivery ALTER msgid TYPE bigint; ALTER TABLE msglog ALTER msgid TYPE bigint; "
              "INSERT INTO msglog (msgid, abonentid, msgtext, regdt) VALUES (3000000000, 1, "
              "'big', LOCALTIMESTAMP - interval '1 hour'); INSERT INTO msgdelivery (msgid, "
              "chanid) VALUES (3000000000, 0)");
    const int32_t after = AddMessage(1, "'after'", 0.5);
    TLogCapture log(LogFileName());
    std::vector<int32_t> ids;
    for (const TPendingSMS& row : FDatabase.GetSMS(24))
        ids.push_back(row.MsgId);
    EXPECT_EQ(ids, (std::vector<int32_t>{before, after}));
    EXPECT_EQ(log.Take(),
              std::vector<std::string>{"Недопустимый идентификатор сообщения в базе данных: "
                                       "'3000000000', строка пропущена"});
}

// 1,201 rows, 300 of them sharing one registration time: the pages give each row once, in
// the order of one read, also when stamps run between two pages and after a read that was
// broken off.
TEST_F(DatabaseTest, PagesGiveEveryRowOnceInOrder) {
    FDb->Exec("INSERT INTO msglog (abonentid, msgtext, regdt) SELECT 1, 'm' || i, "
              "date_trunc('second', LOCALTIMESTAMP) - interval '1 hour' + "
              "(CASE WHEN i <= 300 THEN 0 ELSE i END) * interval '1.5 ms' "
              "FROM generate_series(1, 1201) i; "
              "INSERT INTO msgdelivery (msgid, chanid) SELECT msgid, 0 FROM msglog");
    const std::vector<TPendingSMS> whole = FDatabase.GetSMS(24);
    ASSERT_EQ(whole.size(), 1201u);
    TPendingCursor broken;
    ASSERT_EQ(FDatabase.GetSMSPage(24, broken).size(), size_t(TDatabase::PendingPageRows));
    TPendingCursor cursor;
    std::vector<int32_t> paged;
    size_t pages = 0;
    while (!cursor.End) {
        const std::vector<TPendingSMS> page = FDatabase.GetSMSPage(24, cursor);
        EXPECT_LE(page.size(), size_t(TDatabase::PendingPageRows));
        for (const TPendingSMS& row : page)
            paged.push_back(row.MsgId);
        if (++pages == 1)
            FDatabase.MarkSent({page[0].MsgId, whole[700].MsgId});
    }
    EXPECT_EQ(pages, 3u) << "1,201 rows in pages of 500";
    std::vector<int32_t> expected;
    for (const TPendingSMS& row : whole)
        expected.push_back(row.MsgId);
    EXPECT_EQ(paged, expected) << "every row of one read once, oldest first, ties by id";
    EXPECT_EQ(FDatabase.GetSMS(24).size(), 1199u) << "the next read sees the stamps";
}

// A text is cut one character beyond the longest that can ever be sent, so it still reads as
// too long; a number is never cut into another one.
TEST_F(DatabaseTest, PendingTextsAndNumbersAreBounded) {
    FDb->Exec("INSERT INTO abonents (abonentid, cellphone, name) VALUES (4, repeat(' ', 300) || "
              "'+79161234567', 'D')");
    AddMessage(1, "repeat('a', 50000)", 2);
    AddMessage(4, "'x'", 1);
    const auto rows = FDatabase.GetSMS(24);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].Text.size(), 39016u) << "39,015 septets fill 255 parts; one more is cut";
    EXPECT_EQ(rows[1].Telephone, "") << "an overlong number reads as missing, not cut";
}

TEST_F(DatabaseTest, StampingABatchCountsChangedRows) {
    const int32_t a = AddMessage(1, "'a'", 1);
    const int32_t b = AddMessage(1, "'b'", 1);
    const int32_t other = AddMessage(1, "'other'", 1);
    FDb->Exec("INSERT INTO msgdelivery VALUES (" + std::to_string(a) + ", 1, NULL)");
    const auto stamped = [this](int32_t id, int chan) {
        return FDb
            ->Scalar("SELECT sentdt FROM msgdelivery WHERE msgid = " + std::to_string(id) +
                     " AND chanid = " + std::to_string(chan))
            .has_value();
    };
    EXPECT_EQ(FDatabase.MarkSent({a, b, other + 1000}), 2)
        << "both SMS delivery rows of the batch must be stamped; an unknown id changes nothing";
    EXPECT_TRUE(stamped(a, 0) && stamped(b, 0)) << "the stamps must be written";
    EXPECT_FALSE(stamped(a, 1)) << "another channel's row must stay unsent";
    EXPECT_FALSE(stamped(other, 0)) << "a message outside the batch must stay unsent";
    EXPECT_EQ(FDatabase.MarkSent({a}), 0) << "a stamped row keeps its first stamp";
    EXPECT_EQ(FDatabase.MarkSent({}), 0) << "an empty batch must be a valid statement";
}

TEST_F(DatabaseTest, AccountRequestResults) {
    EXPECT_EQ(FDatabase.PrepareAccInfo("+7 916 123-45-67"), std::optional<int64_t>(0))
        << "a known number must be prepared";
    EXPECT_EQ(FDb->Scalar(U8(u8"SELECT count(*) FROM msglog m JOIN msgdelivery d USING (msgid) "
                             u8"WHERE d.chanid = 0 AND m.msgtext LIKE 'Состояние счета%'")),
              std::optional<std::string>("1"))
        << "the function must register one SMS delivery";
    EXPECT_EQ(FDatabase.PrepareAccInfo("+70000000000"), std::optional<int64_t>(1))
        << "an unknown number must give 1";

    FDb->Exec("CREATE OR REPLACE FUNCTION prepare_acc_info(phone text) RETURNS integer "
              "LANGUAGE sql AS 'SELECT 5'");
    EXPECT_EQ(FDatabase.PrepareAccInfo("1"), std::optional<int64_t>(5));
    FDb->Exec("CREATE OR REPLACE FUNCTION prepare_acc_info(phone text) RETURNS integer "
              "LANGUAGE sql AS 'SELECT NULL::integer'");
    EXPECT_EQ(FDatabase.PrepareAccInfo("1"), std::optional<int64_t>(TDatabase::AccInfoUnreadable))
        << "a null result is neither prepared nor unknown";
    FDb->Exec("DROP FUNCTION prepare_acc_info(text); CREATE FUNCTION prepare_acc_info(text) "
              "RETURNS SETOF integer LANGUAGE sql AS 'SELECT 0 WHERE false'");
    EXPECT_EQ(FDatabase.PrepareAccInfo("1"), std::nullopt) << "no row must read as nullopt";
}

TEST_F(DatabaseTest, ParametersTravelAsValues) {
    // A number that would break a pasted statement must reach the function unchanged.
    FDb->Exec("CREATE TABLE seen (phone text); CREATE OR REPLACE FUNCTION "
              "prepare_acc_info(phone text) RETURNS integer LANGUAGE plpgsql AS "
              "$$ BEGIN INSERT INTO seen VALUES (phone); RETURN 1; END $$");
    const std::string hostile = "'); DROP TABLE abonents; --Ж";
    EXPECT_EQ(FDatabase.PrepareAccInfo(hostile), std::optional<int64_t>(1));
    EXPECT_EQ(FDb->Scalar("SELECT phone FROM seen"),
              std::optional<std::string>(U8(u8"'); DROP "
                                            u8"TABLE abonents; --Ж")))
        << "the parameter must arrive as one UTF-8 value";
    EXPECT_EQ(FDb->Scalar("SELECT count(*) FROM abonents"), std::optional<std::string>("3"));
}

TEST_F(DatabaseTest, FailuresCarryTheClientMessageAndReconnect) {
    FDatabase.ReadParam("DBVER");
    FDb->TerminateSessions();
    try {
        FDatabase.ReadParam("DBVER");
        ADD_FAILURE() << "a statement on a terminated session must throw";
    } catch (const EServiceError& error) {
        EXPECT_STRNE(error.what(), "") << "the error must carry the client's message";
    }
    EXPECT_EQ(FDatabase.ReadParam("DBVER"), std::optional<std::string>("2.00"))
        << "the next statement must connect anew";
    EXPECT_EQ(FDatabase.Reachability(), 1) << "a new connection makes the database reachable";
    EXPECT_FALSE(FDatabase.LastError().empty()) << "the broken session's error is remembered";

    FDb->Exec("DROP TABLE appconfig");
    EXPECT_THROW(FDatabase.ReadParam("DBVER"), EServiceError) << "a failed statement must throw";
    EXPECT_EQ(FDatabase.Reachability(), 1) << "a refused statement is no unreachable server";
    EXPECT_NE(FDatabase.LastError().find("appconfig"), std::string::npos)
        << "the last error must be the newest: " << FDatabase.LastError();
}

TEST_F(DatabaseTest, UnreachableServerFailsWithoutThePassword) {
    // Port 1 on the loopback refuses at once.
    FParams.Port = 1;
    FParams.Password = "s3cret-Пароль";
    FDatabase.SetParams(FParams);
    try {
        FDatabase.ReadParam("DBVER");
        ADD_FAILURE() << "connecting to a closed port must throw";
    } catch (const EServiceError& error) {
        const std::string message = error.what();
        EXPECT_FALSE(message.empty()) << "the error must carry the client's message";
        EXPECT_EQ(message.find("s3cret"), std::string::npos)
            << "the password must never appear in an error: " << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << "no trailing line break: " << message;
    }
    EXPECT_FALSE(FDatabase.Connected());
    EXPECT_EQ(FDatabase.Reachability(), 0) << "a failed connection makes it unreachable";
}

TEST_F(DatabaseTest, SslModeReachesTheClient) {
    // The test server offers no TLS.
    FParams.SSLMode = "require";
    FDatabase.SetParams(FParams);
    try {
        FDatabase.ReadParam("DBVER");
        ADD_FAILURE() << "sslmode require must refuse a server without TLS";
    } catch (const EDatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find("SSL"), std::string::npos) << error.what();
    }
    // A server without TLS is refused before the password is sent to it.
    FParams.SSLMode = "verify-full";
    FParams.SSLRootCert = "/nonexistent/qvx-ca.crt";
    FDatabase.SetParams(FParams);
    EXPECT_THROW(FDatabase.ReadParam("DBVER"), EDatabaseError) << "verify-full without TLS";
    EXPECT_FALSE(FDatabase.Unencrypted()) << "no connection, nothing to say";
    FParams.SSLMode = "disable";
    FDatabase.SetParams(FParams);
    EXPECT_EQ(FDatabase.ReadParam("DBVER"), std::optional<std::string>("2.00"));
    EXPECT_TRUE(FDatabase.Unencrypted()) << "TCP to 127.0.0.1 without TLS is plain text";
}

// Each way a statement can hang ends well before the service's defaults would end it.
TEST_F(DatabaseTest, EveryWaitIsBounded) {
    enum class THang { Lock, SlowStatement, SilentServer, Interrupt };
    struct {
        THang Hang;
        int32_t StatementTimeoutMs;
        int32_t LockTimeoutMs;
        int32_t ReplyGraceMs;
        const char* Message; // a part of the error's text
        bool Dropped;        // the client gave up: the connection is closed
        const char* Note;
    } const cases[] = {
        {THang::Lock, 300000, 300, 30000, "lock timeout", false, "a lock held by someone else"},
        {THang::SlowStatement, 300, 60000, 30000, "statement timeout", false,
         "a runaway statement"},
        {THang::SilentServer, 300, 60000, 300, "не ответил за 1 с", true,
         "a server that went silent"},
        {THang::Interrupt, 300000, 60000, 30000, "прерван", true, "a stop while a lock is awaited"},
    };
    for (const auto& c : cases) {
        FDb->Exec(std::string("CREATE OR REPLACE FUNCTION prepare_acc_info(phone text) RETURNS "
                              "integer LANGUAGE sql AS ") +
                  (c.Hang == THang::SlowStatement ? "'SELECT 0 FROM pg_sleep(30)'"
                                                  : "'SELECT count(*)::integer FROM appconfig'"));
        FParams.Limits = {c.StatementTimeoutMs, c.LockTimeoutMs, c.ReplyGraceMs};
        FDatabase.SetParams(FParams);
        ASSERT_TRUE(FDatabase.ReadParam("DBVER")) << "connects: " << c.Note;
        TStopEvent stop;
        FDatabase.SetInterrupt(stop.Fd(), -1);
        test::TPgSession blocker(*FDb);
        std::thread trigger;
        if (c.Hang == THang::Lock || c.Hang == THang::Interrupt)
            blocker.Exec("BEGIN; LOCK TABLE appconfig IN ACCESS EXCLUSIVE MODE");
        const int pid = ServicePid();
        ASSERT_GT(pid, 0) << "the service's session must be found by its name";
        if (c.Hang == THang::SilentServer)
            kill(pid, SIGSTOP);
        if (c.Hang == THang::Interrupt)
            trigger = std::thread([&] {
                test::WaitUntil([&] { return ServiceWaitsForALock(); });
                stop.Signal();
            });
        const auto start = std::chrono::steady_clock::now();
        try {
            FDatabase.PrepareAccInfo("1");
            ADD_FAILURE() << "the call must fail: " << c.Note;
        } catch (const EDatabaseError& error) {
            EXPECT_NE(std::string(error.what()).find(c.Message), std::string::npos)
                << c.Note << ": " << error.what();
        }
        const auto seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (trigger.joinable())
            trigger.join();
        if (c.Hang == THang::SilentServer)
            kill(pid, SIGCONT);
        EXPECT_LT(seconds, 5.0) << "the call must end within its limits: " << c.Note;
        // The server must not go on with a statement its client gave up, even while the
        // lock it waits for is still held.
        EXPECT_TRUE(test::WaitUntil([&] { return !ServiceRunsAStatement(); }, 5000))
            << "the statement must be over on the server: " << c.Note;
        EXPECT_EQ(FDatabase.Connected(), !c.Dropped) << c.Note;
    }
}

} // namespace
} // namespace qvx
