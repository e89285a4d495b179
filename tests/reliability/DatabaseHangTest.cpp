// A database that holds the service up: a table locked by the accounting system while a pass
// waits for it, and a pass so long that it outlasts the watchdog interval. A stop or reload
// must not wait for the lock, and a long pass must not look like a hang to the watchdog.
#include "reliability/ReliabilityHarness.h"

#include <csignal>
#include <sstream>

namespace qvx::test {
namespace {

constexpr const char* AppliedLine = "Новые настройки применены";
constexpr const char* InterruptedLine = "Ошибка: Запрос к базе данных прерван";

class DatabaseHangTest : public TReliabilityTest {
protected:
    void SetUp() override {
        TReliabilityTest::SetUp();
        if (!HasFatalFailure())
            UseSharedServer();
    }

    // Starts a pass and waits until it waits for the lock.
    void PassIntoTheLock(TServiceProcess& service) {
        service.Signal(SIGUSR1);
        ASSERT_TRUE(WaitUntil([&] { return ServiceSessions(true) == 1; }))
            << "the pass must wait for the locked table" << Diagnostics();
    }
};

TEST_F(DatabaseHangTest, ReloadAndStopDoNotWaitForALockedTable) {
    WriteIni();
    auto service = StartReady();
    ASSERT_FALSE(HasFatalFailure());
    SeedMessages(1, 3, "L");
    TPgSession accounting(*FDb);
    accounting.Exec("BEGIN; LOCK TABLE msgdelivery IN ACCESS EXCLUSIVE MODE");

    PassIntoTheLock(*service);
    ASSERT_FALSE(HasFatalFailure());
    const auto reload = std::chrono::steady_clock::now();
    service->Signal(SIGHUP);
    EXPECT_TRUE(WaitForLog(AppliedLine, 1, 5000)) << "the reload must not wait" << Diagnostics();
    const double reloadSeconds = SecondsSince(reload);
    EXPECT_EQ(LogCountPrefix(InterruptedLine), 1u) << "the broken-off pass is logged";

    PassIntoTheLock(*service);
    ASSERT_FALSE(HasFatalFailure());
    const double stopSeconds = StopService(*service);
    // Cancelled on the server, not merely left behind by a client that went away.
    EXPECT_TRUE(WaitUntil([&] { return ServiceSessions() == 0; }, 5000))
        << "the statement must be cancelled while the lock is still held";
    accounting.Exec("ROLLBACK");
    EXPECT_EQ(UnsentCount(), 3) << "nothing was handed over";
    std::ostringstream figures;
    figures << "locked table: reload done " << reloadSeconds << " s, stop done " << stopSeconds
            << " s after the signal";
    PrintFigures(figures.str());
}

TEST_F(DatabaseHangTest, ALongPassKeepsTheWatchdogFed) {
    // The host pings only while the work went on within half of this.
    constexpr uint64_t WatchdogUsec = 2'000'000;
    constexpr int32_t ServerSeconds = 4;
    const int32_t rows = Scaled(100000, 30000);
    WriteIni();
    // Rows without a digit in the number are read and logged one by one but never sent, so
    // that the pass is long for the database and the log, not for the terminal; and the
    // server takes its time to answer, as a remote one with a large table does.
    FDb->Exec("WITH a AS (INSERT INTO abonents (cellphone, name) SELECT '-', g::text FROM "
              "generate_series(1, " +
              std::to_string(rows) +
              ") g RETURNING abonentid), m AS (INSERT INTO msglog (abonentid, msgtext, regdt) "
              "SELECT abonentid, 'x', LOCALTIMESTAMP - interval '1 minute' FROM a RETURNING "
              "msgid) INSERT INTO msgdelivery (msgid, chanid) SELECT msgid, 0 FROM m");
    // A stable function without arguments is evaluated once per statement, not per row.
    FDb->Exec("CREATE FUNCTION slow_server() RETURNS boolean LANGUAGE plpgsql STABLE AS $$ BEGIN "
              "PERFORM pg_sleep(" +
              std::to_string(ServerSeconds) +
              "); RETURN true; END $$; ALTER TABLE msglog RENAME TO msglog_rows; CREATE VIEW "
              "msglog AS SELECT * FROM msglog_rows WHERE slow_server()");
    TNotifySocket notify(FDir.File("notify"));
    auto service = StartService(notify.Environment(WatchdogUsec));
    // The first timer tick runs the pass.
    ASSERT_TRUE(notify.NextStarting("READY=1", 30000)) << "no READY=1" << Diagnostics();
    const auto start = std::chrono::steady_clock::now();
    const std::string summary = "Сообщений всего/отправлено: " + std::to_string(rows) + "/0";
    auto lastPing = start;
    double longestSilence = 0;
    while (LogCountPrefix(summary) == 0 && SecondsSince(start) < 300) {
        if (notify.NextStarting("WATCHDOG=1", 500)) {
            const auto now = std::chrono::steady_clock::now();
            longestSilence =
                std::max(longestSilence, std::chrono::duration<double>(now - lastPing).count());
            lastPing = now;
        }
    }
    const double passSeconds = SecondsSince(start);
    ASSERT_EQ(LogCountPrefix(summary), 1u) << "the pass must end" << Diagnostics();
    EXPECT_GT(passSeconds, WatchdogUsec / 1e6) << "the pass must outlast the watchdog interval";
    EXPECT_LT(longestSilence, WatchdogUsec / 1e6)
        << "the watchdog must be fed throughout the pass" << Diagnostics();
    EXPECT_TRUE(service->Running()) << Diagnostics();
    StopService(*service);
    std::ostringstream figures;
    figures << "long pass: " << rows << " rows in " << passSeconds
            << " s, longest silence of the watchdog " << longestSilence << " s of "
            << WatchdogUsec / 1e6 << " s allowed";
    PrintFigures(figures.str());
}

} // namespace
} // namespace qvx::test
