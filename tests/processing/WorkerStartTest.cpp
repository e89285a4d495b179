// The worker's initialisation against a real database: required settings, the database
// version, the parameters read from appconfig, reloads and errors. The terminal is a port
// that does not exist, so it never becomes ready.
#include "WorkerHarness.h"
#include "processing/DatabaseRules.h"
#include "processing/Error.h"
#include "support/Text.h"

namespace qvx {
namespace {

using test::TWorkerTest;

constexpr const char* MissingPort = "Device=/nonexistent/qvx-no-such-port";

class WorkerStartTest : public TWorkerTest {};

const std::string PlainTextWarning = std::string("Внимание: ") + UnencryptedMessage;

TEST_F(WorkerStartTest, DatabaseVersionDecidesTheStart) {
    struct {
        const char* ValueSql; // NULL: no DBVER row at all
        bool Accepted;
        const char* VersionLine; // nullptr: no version line
    } const cases[] = {
        {"'2.00'", true, "Версия базы данных \"Кворвекс\": 2.00"},
        {"'10.3'", true, "Версия базы данных \"Кворвекс\": 10.3"},
        {"'1.99'", false, "Версия базы данных \"Кворвекс\": 1.99"},
        {"'2'", false, "Версия базы данных \"Кворвекс\": 2"},
        {"NULL", false, "Версия базы данных \"Кворвекс\": "},
        {nullptr, false, nullptr},
    };
    WriteIni(MissingPort);
    for (const auto& c : cases) {
        const std::string name = c.ValueSql ? c.ValueSql : "no row";
        FDb->Exec("DELETE FROM appconfig WHERE propid = 'DBVER'");
        if (c.ValueSql)
            FDb->Exec(std::string("INSERT INTO appconfig VALUES ('DBVER', ") + c.ValueSql + ")");
        const size_t before = Log().size();
        StartWorker();
        EXPECT_EQ(FWorker->StartResult(), c.Accepted ? 1 : 0) << "DBVER " << name;
        StopWorker();
        const auto lines = LogSince(before);
        // The test server runs on 127.0.0.1 without TLS.
        std::vector<std::string> expected{PlainTextWarning};
        if (c.VersionLine)
            expected.push_back(c.VersionLine);
        if (!c.Accepted)
            expected.push_back(c.VersionLine ? "Ошибка: Версия базы данных должна быть не ниже 2.00"
                                             : "Ошибка: Отсутствует информация о версии базы "
                                               "данных");
        EXPECT_EQ(lines, expected) << "log of DBVER " << name;
    }
}

TEST_F(WorkerStartTest, RequiredSettingsAreReportedFirstMissingFirst) {
    struct {
        std::string Ini;
        const char* Message;
    } const cases[] = {
        {"[Database]\r\nDBName=x\r\n",
         "Ошибка: Не задан адрес сервера базы данных (параметр 'Host')"},
        {"[Database]\r\nHost=h\r\n", "Ошибка: Не задано имя базы данных (параметр 'DBName')"},
        {"[Database]\r\nHost=h\r\nDBName=x\r\n",
         "Ошибка: Не задано имя пользователя базы данных (параметр 'UserName')"},
        {FDb->IniSection(), "Ошибка: Не задан порт GSM терминала (параметр 'Device')"},
        {FDb->IniSection() + "SSLMode=Require\r\n[GSMTerminal]\r\n" + MissingPort,
         "Ошибка: Недопустимое значение параметра 'SSLMode': \"Require\" (допустимы disable, "
         "allow, prefer, require, verify-ca, verify-full)"},
    };
    for (const auto& c : cases) {
        FDir.Write("QuorvexSMS.ini", c.Ini);
        const size_t before = Log().size();
        StartWorker();
        EXPECT_EQ(FWorker->StartResult(), 0) << c.Message;
        EXPECT_EQ(FWorker->Counters().TerminalState.load(), -1)
            << "no terminal after a failed start";
        StopWorker();
        const auto lines = LogSince(before);
        ASSERT_FALSE(lines.empty()) << "an error line is expected for " << c.Message;
        EXPECT_EQ(lines.back(), c.Message);
    }
}

TEST_F(WorkerStartTest, CommandsWaitForAReloadThatSucceeds) {
    FDir.Write("QuorvexSMS.ini", FDb->IniSection());
    AddMessage("'+79160000001'", "'hello'");
    StartWorker();
    ASSERT_EQ(FWorker->StartResult(), 0);
    const size_t before = Log().size();
    FDb->Exec("DROP TABLE msglog CASCADE"); // any database access in a cycle would now fail
    Cycle(true);
    EXPECT_TRUE(LogSince(before).empty()) << "a worker that failed to start ignores 128";

    WriteIni(MissingPort);
    FDb->Exec("DELETE FROM appconfig WHERE propid = 'DBVER'; INSERT INTO appconfig VALUES "
              "('DBVER', '3.1')");
    FWorker->PostCommand(CommandReload);
    ASSERT_TRUE(WaitLog("Новые настройки применены")) << "a successful reload is reported";
    EXPECT_EQ(FWorker->StartResult(), 1);
    EXPECT_GE(FWorker->Counters().TerminalState.load(), 0) << "the reload must start a terminal";
    EXPECT_EQ(LogSince(before),
              (std::vector<std::string>{PlainTextWarning, "Версия базы данных \"Кворвекс\": 3.1",
                                        "Новые настройки применены"}));

    // A reload that fails leaves no terminal behind and no "applied" line.
    FDb->Exec("UPDATE appconfig SET val = '1.0' WHERE propid = 'DBVER'");
    const size_t beforeFailure = Log().size();
    FWorker->PostCommand(CommandReload);
    ASSERT_TRUE(WaitLog("Ошибка: Версия базы данных должна быть не ниже 2.00"));
    WaitTurns();
    EXPECT_EQ(FWorker->StartResult(), 0);
    EXPECT_EQ(FWorker->Counters().TerminalState.load(), -1)
        << "a failed reload must stop the old terminal";
    EXPECT_EQ(LogSince(beforeFailure),
              (std::vector<std::string>{PlainTextWarning, "Версия базы данных \"Кворвекс\": 1.0",
                                        "Ошибка: Версия базы данных должна быть не ниже 2.00"}));
}

TEST_F(WorkerStartTest, UnreachableDatabaseIsTriedAgainWhileTheTerminalRuns) {
    TConfig probe("/nonexistent/");
    FDb->ApplyTo(probe);
    FDir.Write("QuorvexSMS.ini", "[Database]\r\nHost=" + probe.Host +
                                     "\r\nPort=1\r\nDBName=x\r\nUserName=u\r\nPassword="
                                     "hidden-Pw\r\n[GSMTerminal]\r\n" +
                                     MissingPort + "\r\n");
    StartWorker();
    EXPECT_EQ(FWorker->StartResult(), StartWaitingForDatabase);
    EXPECT_GE(FWorker->Counters().TerminalState.load(), 0)
        << "the terminal must run without the database";
    ASSERT_TRUE(test::WaitUntil([this] { return !Log().empty(); })) << "an error line is expected";
    const auto lines = Log();
    ASSERT_EQ(lines.size(), 1u) << "exactly one error line is expected";
    EXPECT_EQ(lines[0].rfind("Ошибка: ", 0), 0u) << lines[0];
    EXPECT_GT(lines[0].size(), std::string("Ошибка: ").size()) << "the client's text follows";
    EXPECT_EQ(lines[0].find("hidden-Pw"), std::string::npos) << "the password must not be logged";

    // A reload that still finds no database applies nothing yet, and says nothing of it.
    FWorker->PostCommand(CommandReload);
    ASSERT_TRUE(test::WaitUntil([this] { return Log().size() >= 2; })) << "the reload's error";
    WaitTurns();
    EXPECT_EQ(FWorker->StartResult(), StartWaitingForDatabase);
    for (const auto& line : Log())
        EXPECT_NE(line, "Новые настройки применены") << "nothing was applied yet";

    // A reload does not wait for the next try.
    WriteIni(MissingPort);
    FWorker->PostCommand(CommandReload);
    ASSERT_TRUE(WaitLog("Новые настройки применены")) << "the reload must end";
    EXPECT_EQ(FWorker->StartResult(), 1) << "the reload must reach the database";
}

TEST_F(WorkerStartTest, TerminalNotReadyLeavesEveryRowUnsent) {
    UseZone(test::ZoneWithLocalHour(12));
    WriteIni(MissingPort);
    StartWorker();
    ASSERT_EQ(FWorker->StartResult(), 1);
    ASSERT_TRUE(test::WaitUntil([this] { return FWorker->Counters().TerminalState.load() == 1; }))
        << "a missing port keeps the terminal opening";

    size_t before = Log().size();
    Cycle(true);
    EXPECT_TRUE(LogSince(before).empty())
        << "an empty result writes nothing and does not look at the terminal";

    const int32_t first = AddMessage("'+79160000001'", "'hello'", 3);
    const int32_t second = AddMessage("'+79160000002'", test::U8(u8"'Привет'"), 2);
    before = Log().size();
    Cycle(true);
    EXPECT_EQ(LogSince(before),
              std::vector<std::string>{"GSM терминал не готов к работе (State=1)"})
        << "only the state line, no summary";
    EXPECT_FALSE(IsSent(first));
    EXPECT_FALSE(IsSent(second));

    before = Log().size();
    Cycle(false);
    EXPECT_TRUE(LogSince(before).empty()) << "a cycle without send-now runs no pass";
}

TEST_F(WorkerStartTest, ErrorInACycleIsLoggedAndTheNextCycleWorks) {
    UseZone(test::ZoneWithLocalHour(12));
    WriteIni(MissingPort);
    StartWorker();
    ASSERT_EQ(FWorker->StartResult(), 1);
    AddMessage("'+79160000001'", "'hello'");
    FDb->Exec("ALTER TABLE msglog RENAME TO msglog_away");
    size_t before = Log().size();
    Cycle(true);
    const auto failed = LogSince(before);
    ASSERT_EQ(failed.size(), 1u) << "one error line is expected";
    EXPECT_EQ(failed[0].rfind("Ошибка: ", 0), 0u) << failed[0];

    FDb->Exec("ALTER TABLE msglog_away RENAME TO msglog");
    before = Log().size();
    Cycle(true);
    EXPECT_EQ(LogSince(before),
              std::vector<std::string>{"GSM терминал не готов к работе (State=1)"})
        << "the next cycle must reach the database again";
    // A failed statement does not end the claim session, nor add another.
    EXPECT_EQ(FDb->Scalar("SELECT count(*) FROM pg_stat_activity WHERE datname = "
                          "current_database() AND application_name LIKE 'quorvexsms@%'"),
              std::optional<std::string>("1"))
        << "the worker keeps one session";
}

TEST_F(WorkerStartTest, OutsideTheDaytimeNothingIsRead) {
    UseZone(test::ZoneWithLocalHour(23));
    WriteIni(MissingPort);
    StartWorker();
    ASSERT_EQ(FWorker->StartResult(), 1);
    AddMessage("'+79160000001'", "'hello'");
    FDb->Exec("ALTER TABLE msglog RENAME TO msglog_away"); // a read would fail loudly
    const size_t before = Log().size();
    Cycle(true);
    EXPECT_TRUE(LogSince(before).empty()) << "at 23:xx local the pass must read and log nothing";
}

} // namespace
} // namespace qvx
