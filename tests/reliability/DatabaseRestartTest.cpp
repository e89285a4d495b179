// The database server stopped and started again while the service runs its sending passes:
// on a cluster of the test's own, so that the restarts are real. The service must log the
// failures, keep running, and deliver every message once the server is back.
#include "processing/ServiceState.h"
#include "reliability/ReliabilityHarness.h"
#include "support/Text.h"

#include <csignal>
#include <sstream>
#include <thread>

namespace qvx::test {
namespace {

class DatabaseRestartTest : public TReliabilityTest {
protected:
    static constexpr const char* Received = "Получена SMS тел=\"79161234567\" текст=\"1\"";

    void SetUp() override {
        TReliabilityTest::SetUp();
        if (!HasFatalFailure())
            UsePrivateServer();
    }
};

TEST_F(DatabaseRestartTest, FailuresAreLoggedAndEverythingIsDeliveredAfterwards) {
    const uint32_t seed = CaseSeed();
    std::mt19937 random(seed);
    const int32_t restartCount = Scaled(10, 3);
    const int32_t batch = Scaled(40, 10);
    PrintFigures("database restarts: seed " + std::to_string(seed));

    WriteIni();
    const auto start = std::chrono::steady_clock::now();
    auto service = StartReady();
    ASSERT_FALSE(HasFatalFailure());

    TSeeded seeded;
    std::uniform_int_distribution<int> intoPassMs(0, 60);
    std::bernoulli_distribution crash(0.5);
    double downSeconds = 0;
    size_t errorsWhileDown = 0;
    for (int32_t round = 0; round < restartCount; ++round) {
        const TSeeded more = SeedMessages(1 + round * batch, batch, "D" + std::to_string(round));
        seeded.insert(more.begin(), more.end());
        // A pass starts; the server goes down somewhere in it or just after it.
        service->Signal(SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(intoPassMs(random)));
        const bool immediate = crash(random);
        const auto down = std::chrono::steady_clock::now();
        ASSERT_TRUE(FCluster->Stop(immediate)) << "cannot stop the private server";
        // A pass while the server is down must fail with a logged error, nothing more.
        const size_t errorsBefore = LogCountPrefix(ErrorPrefix);
        service->Signal(SIGUSR1);
        EXPECT_TRUE(WaitForLog(ErrorPrefix, errorsBefore + 1, 20000))
            << "a pass without the server must log its error (round " << round + 1 << ")"
            << Diagnostics();
        errorsWhileDown += LogCountPrefix(ErrorPrefix) - errorsBefore;
        ASSERT_TRUE(service->Running()) << "the program died without its database" << Diagnostics();
        ASSERT_TRUE(FCluster->Start()) << "cannot start the private server again";
        downSeconds += SecondsSince(down);
    }

    // Passes until everything is out: a pass that was cut leaves its rows unsent.
    const std::set<std::string> texts = TextsOf(seeded);
    const auto recovered = std::chrono::steady_clock::now();
    const bool all = WaitUntil(
        [&] {
            if (FLedger.DistinctOf(texts) == texts.size() && UnsentCount() == 0)
                return true;
            service->Signal(SIGUSR1);
            return false;
        },
        120000, 500);
    const double recoverySeconds = SecondsSince(recovered);
    EXPECT_TRUE(all) << FLedger.DistinctOf(texts) << " of " << texts.size()
                     << " messages reached the terminal, " << UnsentCount()
                     << " rows unsent, after the server came back" << Diagnostics();
    // Acknowledged ids wait in memory for the server, so a restart of the server alone sends
    // nothing twice.
    EXPECT_EQ(FLedger.Repeats(), 0) << "a message went out again after a database restart";
    EXPECT_EQ(StampedUnacknowledged(seeded).size(), 0u) << "stamped but never acknowledged";
    EXPECT_TRUE(service->Running()) << "the program must outlive the restarts" << Diagnostics();
    const double stopSeconds = StopService(*service);

    std::ostringstream figures;
    figures << "database restarts: " << restartCount << " restarts, " << texts.size()
            << " messages, " << errorsWhileDown << " errors logged while down, "
            << LogCountPrefix(ErrorPrefix) << " error lines in all, " << FLedger.Repeats()
            << " repeats, server down " << downSeconds << " s, all delivered " << recoverySeconds
            << " s after the last restart, " << SecondsSince(start) << " s in all, stop in "
            << stopSeconds << " s";
    PrintFigures(figures.str());
}

// After a power cut the machine is often back before the database server: the service must
// start without it, keep its terminal working, and find the server by itself.
TEST_F(DatabaseRestartTest, ServerStartedAfterTheServiceIsFoundWithoutAReload) {
    // Down through the first try and the retry 10 s later, so that the retry fails as well.
    constexpr int32_t DownSeconds = 14;
    WriteIni();
    FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+79161234567', 'A', 5)");
    FSim.StoreText("+79161234567", "1");
    ASSERT_TRUE(FCluster->Stop(false)) << "cannot stop the private server";
    TNotifySocket notify(FDir.File("notify"));
    const auto start = std::chrono::steady_clock::now();
    auto service = StartService(notify.Environment(0));
    EXPECT_TRUE(notify.NextStarting("READY=1", 30000)) << "the start must not wait for the server";
    const auto status = notify.NextStarting("STATUS=", 5000);
    EXPECT_NE(status.value_or("").find(U8(u8"ждёт подключения к базе данных")), std::string::npos)
        << "the status must say what the service waits for: " << status.value_or("(none)");
    EXPECT_TRUE(WaitUntil([&] { return TerminalLogCountPrefix(Received) == 1; }, 15000))
        << "the terminal must read the request meanwhile" << Diagnostics();

    std::this_thread::sleep_for(std::chrono::seconds(DownSeconds) -
                                (std::chrono::steady_clock::now() - start));
    EXPECT_EQ(FSim.StoredCount(), 1u) << "unanswered, the request stays on the SIM";
    ASSERT_TRUE(FCluster->Start()) << "cannot start the private server";
    const auto back = std::chrono::steady_clock::now();
    EXPECT_TRUE(FSim.WaitForSubmitted(1, 60000))
        << "the waiting request must be answered within a minute of the server's return"
        << Diagnostics();
    const double answerSeconds = SecondsSince(back);
    EXPECT_TRUE(WaitUntil([&] { return FSim.StoredCount() == 0; }, 10000))
        << "once answered, the request leaves the SIM" << Diagnostics();
    EXPECT_EQ(TerminalLogCountPrefix(Received), 1u) << "read once" << Diagnostics();
    EXPECT_EQ(LogCountPrefix(ErrorPrefix), 1u)
        << "an unchanged error must be logged once" << Diagnostics();
    EXPECT_EQ(LogCountPrefix("Подключение к базе данных установлено"), 1u) << Diagnostics();
    const double stopSeconds = StopService(*service);
    std::ostringstream figures;
    figures << "database after the service: server back " << DownSeconds
            << " s after the start, request answered " << answerSeconds << " s after its return, "
            << LogCountPrefix(ErrorPrefix) << " error line, stop in " << stopSeconds << " s";
    PrintFigures(figures.str());
}

// The database goes away while the network acknowledges a mailing, and the service is killed
// before it could stamp: the next start, with the database back, stamps every acknowledged
// message from its state file and sends none of them again.
TEST_F(DatabaseRestartTest, AcknowledgedWhileTheServerIsDownSurviveAKill) {
    const int32_t messageCount = Scaled(50, 20);
    WriteIni();
    const TSeeded seeded = SeedMessages(1, messageCount, "A");
    const std::set<std::string> texts = TextsOf(seeded);
    FSim.SetAnswerDelayMs(40);
    auto service = StartReady();
    ASSERT_FALSE(HasFatalFailure());
    service->Signal(SIGUSR1);
    ASSERT_TRUE(FSim.WaitForSubmitted(1, 20000)) << Diagnostics();
    ASSERT_TRUE(FCluster->Stop(true)) << "cannot stop the private server";
    // Alone on the database, the host sends what its terminal held when the server went (two
    // messages at most); nothing new is claimed without it.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(WaitUntil([&] { return TDeliveryLedger::Unacknowledged(FSim) == 0; }, 10000));
    EXPECT_LE(FSim.SubmittedCount(), 2u)
        << "nothing new may be claimed without the server" << Diagnostics();
    // Time for the last acknowledgement to reach the state file.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    service->Signal(SIGKILL);
    ASSERT_TRUE(service->WaitExit(5000).has_value());

    ASSERT_TRUE(FCluster->Start()) << "cannot start the private server again";
    const size_t unsentAtKill = static_cast<size_t>(UnsentCount());
    EXPECT_GT(unsentAtKill, 0u) << "some acknowledgements must have come while the server was down";
    FSim.SetAnswerDelayMs(0);
    service = StartReady();
    EXPECT_TRUE(WaitAllStamped(20000)) << UnsentCount() << " rows left unsent" << Diagnostics();
    for (int pass = 0; pass < 3; ++pass) {
        service->Signal(SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_EQ(FLedger.Repeats(), 0) << "an acknowledged message went out again";
    EXPECT_TRUE(WaitUntil([&] { return FLedger.DistinctOf(texts) == texts.size(); }, 60000))
        << "the rest goes once the server is back" << Diagnostics();
    EXPECT_EQ(FLedger.Total(), texts.size());
    EXPECT_EQ(StampedUnacknowledged(seeded).size(), 0u) << "stamped but never acknowledged";
    StopService(*service);
    PrintFigures("kill while the server is down: " + std::to_string(texts.size()) +
                 " messages acknowledged, " + std::to_string(unsentAtKill) +
                 " unstamped at the kill, " + std::to_string(FLedger.Repeats()) +
                 " repeats after the restart");
}

// Where another host is known, a host cut off from the database leaves at most one message per
// terminal acknowledged and not stamped (which the other host would send again): a terminal
// starts its next message only once the server answered after the last acknowledgement. The
// service's server process is frozen here, so that the connection looks alive and nothing
// answers, as behind a network that drops every packet.
TEST_F(DatabaseRestartTest, AHostCutOffLeavesOneUnstampedMessagePerTerminal) {
    if (ScaledDown())
        GTEST_SKIP() << "waits out the hosts' grace: plain build only";
    WriteIni();
    FDir.Write("QuorvexSMS.state", "version 1\nhost quorvexsms@elsewhere " +
                                       UtcText(std::time(nullptr), "%Y-%m-%dT%H:%M:%SZ") + "\n");
    const TSeeded seeded = SeedMessages(1, 40, "C");
    FSim.SetAnswerDelayMs(40);
    auto service = StartReady();
    ASSERT_FALSE(HasFatalFailure());
    // Past the grace a host that knows others waits after its new session.
    ASSERT_TRUE(FSim.WaitForSubmitted(5, 90000)) << Diagnostics();
    const int32_t backend = std::stoi(
        FDb->Scalar("SELECT pid FROM pg_stat_activity WHERE datname = current_database() AND "
                    "application_name LIKE 'quorvexsms@%'")
            .value_or("0"));
    ASSERT_GT(backend, 0);
    const std::set<std::string> texts = TextsOf(seeded);
    ASSERT_EQ(::kill(backend, SIGSTOP), 0);
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const int64_t exposed = static_cast<int64_t>(FLedger.DistinctOf(texts)) -
                            (static_cast<int64_t>(seeded.size()) - UnsentCount());
    ASSERT_EQ(::kill(backend, SIGCONT), 0);
    EXPECT_LE(exposed, 1) << "acknowledged and not stamped while the server could not answer"
                          << Diagnostics();
    EXPECT_TRUE(WaitAllStamped(120000)) << UnsentCount() << " rows left unsent" << Diagnostics();
    EXPECT_EQ(FLedger.Repeats(), 0);
    EXPECT_EQ(StampedUnacknowledged(seeded).size(), 0u);
    StopService(*service);
    PrintFigures("host cut off with another known: " + std::to_string(exposed) +
                 " message acknowledged and not stamped after 4 s without an answer from the "
                 "server, one terminal");
}

// A request that arrives while the server is down stays on the SIM until it is answered: a
// kill meanwhile loses nothing, and the next start, with the server back, answers it.
TEST_F(DatabaseRestartTest, ARequestReceivedWhileTheServerIsDownSurvivesAKill) {
    WriteIni();
    FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+79161234567', 'A', 5)");
    auto service = StartReady();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(FCluster->Stop(true)) << "cannot stop the private server";
    ASSERT_FALSE(FSim.StoreText("+79161234567", "1").empty());
    ASSERT_TRUE(WaitForLog("Принято SMS. Номер: '79161234567', текст: '1'", 1, 20000))
        << Diagnostics();
    const int32_t listings = FSim.CommandCount("at+cmgl");
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cmgl", listings + 2, 10000));
    EXPECT_EQ(FSim.StoredCount(), 1u) << "unanswered, the request stays on the SIM";
    service->Signal(SIGKILL);
    ASSERT_TRUE(service->WaitExit(5000).has_value());

    ASSERT_TRUE(FCluster->Start()) << "cannot start the private server again";
    service = StartReady();
    ASSERT_TRUE(FSim.WaitForSubmitted(1, 60000)) << "the request must be answered" << Diagnostics();
    EXPECT_EQ(FSim.Submitted()[0].View.Destination, "79161234567");
    EXPECT_TRUE(WaitUntil([&] { return FSim.StoredCount() == 0; }, 10000)) << Diagnostics();
    StopService(*service);
}

// A server made read-only (a replica promoted late, a maintenance switch) refuses the request
// for its own sake, not the request's: the request stays on the SIM and is answered once the
// server writes again, with the back-off of a lost connection meanwhile.
TEST_F(DatabaseRestartTest, ARequestRefusedByAReadOnlyServerIsAnsweredOnceItWrites) {
    WriteIni();
    FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+79161234567', 'A', 5)");
    auto service = StartReady();
    ASSERT_FALSE(HasFatalFailure());
    // ALTER SYSTEM runs alone: not inside the transaction of several statements.
    FDb->Exec("ALTER SYSTEM SET default_transaction_read_only = on");
    FDb->Exec("SELECT pg_reload_conf()");
    ASSERT_TRUE(WaitUntil(
        [&] { return FDb->Scalar("SHOW default_transaction_read_only").value_or("") == "on"; }));
    ASSERT_FALSE(FSim.StoreText("+79161234567", "1").empty());
    ASSERT_TRUE(WaitForLog("Принято SMS. Номер: '79161234567', текст: '1'", 1, 20000))
        << Diagnostics();
    ASSERT_TRUE(WaitUntil([&] { return LogCountPrefix(ErrorPrefix) > 0; }, 10000))
        << "the refusal is logged" << Diagnostics();
    EXPECT_EQ(LogCountPrefix("Запрос подготовки состояния счета вернул ошибку"), 0u)
        << "a read-only server is no fault of the request" << Diagnostics();
    EXPECT_EQ(FSim.StoredCount(), 1u) << "unanswered, the request stays on the SIM";

    FDb->Exec("ALTER SYSTEM RESET default_transaction_read_only");
    FDb->Exec("SELECT pg_reload_conf()");
    EXPECT_TRUE(FSim.WaitForSubmitted(1, 60000))
        << "the request must be answered once the server writes" << Diagnostics();
    EXPECT_TRUE(WaitUntil([&] { return FSim.StoredCount() == 0; }, 10000)) << Diagnostics();
    EXPECT_EQ(FSim.SubmittedCount(), 1u) << "answered once";
    StopService(*service);
}

} // namespace
} // namespace qvx::test
