// TDatabase against a real PostgreSQL database loaded with the demo schema.
#include "processing/Database.h"

#include "processing/Error.h"
#include "support/PgFixture.h"
#include "support/Text.h"

#include <gtest/gtest.h>

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
        FDatabase.SetParams(
            {config.Host, config.Port, config.DBName, config.UserName, config.Password});
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

    FDb->Exec("DROP TABLE appconfig");
    EXPECT_THROW(FDatabase.ReadParam("DBVER"), EServiceError) << "a failed statement must throw";
}

TEST_F(DatabaseTest, UnreachableServerFailsWithoutThePassword) {
    TConfig config("/nonexistent/");
    FDb->ApplyTo(config);
    // Port 1 on the loopback refuses at once.
    FDatabase.SetParams({config.Host, 1, config.DBName, config.UserName, "s3cret-Пароль"});
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
}

} // namespace
} // namespace qvx
