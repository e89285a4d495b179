// Several hosts on one database, around the real quorvexsms program: two programs with two
// terminals each share the work through reloads, process requests and a database restart
// without sending a message twice; a host killed or frozen mid-drain loses nothing, its claims
// are freed by the server, and its rows leave from the other; a huge backlog costs no more
// claims than the terminals hold.
#include "infra/Codepage.h"
#include "reliability/ReliabilityHarness.h"
#include "support/Text.h"

#include <algorithm>
#include <csignal>
#include <sstream>
#include <thread>

namespace qvx::test {
namespace {

constexpr int GraceMs = HostsGraceMs;

class HostsTest : public TReliabilityTest {
protected:
    // This test's program with terminals 1 and 2, and a second one in a folder of its own with
    // two more, each answer delayed by answerDelayMs.
    void StartHosts(uint32_t answerDelayMs) {
        FSecond = &AddSimulator(FDir, "modem2");
        FThird = &AddSimulator(FOtherDir, "modem");
        FFourth = &AddSimulator(FOtherDir, "modem2");
        WriteIni(TerminalSection(2, *FSecond));
        FOtherDir.Write("QuorvexSMS.ini", FDb->IniSection() + TerminalSection(1, *FThird) +
                                              TerminalSection(2, *FFourth));
        for (TGsmSimulator* sim : {&FSim, FSecond, FThird, FFourth})
            sim->SetAnswerDelayMs(answerDelayMs);
        FOne = StartService();
        FOther = std::make_unique<TServiceProcess>(FOtherDir, FZone);
    }
    // A pass on both hosts now, for rows seeded after their start.
    void PassBoth() {
        FOne->Signal(SIGUSR1);
        FOther->Signal(SIGUSR1);
    }
    std::vector<const TGsmSimulator*> Sims() const { return {&FSim, FSecond, FThird, FFourth}; }
    int32_t SentByOther() const { return AcknowledgedCount(*FThird) + AcknowledgedCount(*FFourth); }

    // The claims each session of the service holds now, by its server process.
    std::map<int32_t, std::set<int32_t>> ClaimsBySession() const {
        const auto rows = FDb->Scalar(
            "SELECT string_agg(a.pid || ':' || coalesce(l.objid::text, ''), ',') "
            "FROM pg_stat_activity a LEFT JOIN pg_locks l ON l.pid = a.pid AND "
            "l.locktype = 'advisory' AND l.classid = 1364613203 "
            "WHERE a.datname = current_database() AND a.application_name LIKE 'quorvexsms@%'");
        std::map<int32_t, std::set<int32_t>> claims;
        std::istringstream list(rows.value_or(""));
        for (std::string item; std::getline(list, item, ',');) {
            const size_t colon = item.find(':');
            std::set<int32_t>& held = claims[std::stoi(item.substr(0, colon))];
            if (colon + 1 < item.size())
                held.insert(std::stoi(item.substr(colon + 1)));
        }
        return claims;
    }

    // Once both are past the grace of their first session: 600 messages, and both sending.
    TSeeded SeedWhileBothSend(const std::string& tag) {
        std::this_thread::sleep_for(std::chrono::milliseconds(GraceMs + 2000));
        TSeeded seeded = SeedMessages(1, Scaled(600, 200), tag);
        PassBoth();
        EXPECT_TRUE(WaitUntil([&] { return FLedger.Total() >= 40 && SentByOther() > 0; }, 60000))
            << Diagnostics();
        return seeded;
    }
    // The claims of the session in before that the server has ended since.
    std::set<int32_t>
    ClaimsOfEndedSession(const std::map<int32_t, std::set<int32_t>>& before) const {
        const auto after = ClaimsBySession();
        for (const auto& [pid, ids] : before)
            if (after.count(pid) == 0)
                return ids;
        return {};
    }

    // Seconds until every id of ids was acknowledged by the other program's terminals, but for
    // those this program's own terminals got out before it ended (it may have stamped them).
    double TakenOver(const std::set<int32_t>& ids, const TSeeded& seeded, int timeoutMs) const {
        const auto start = std::chrono::steady_clock::now();
        const std::vector<const TGsmSimulator*> other{FThird, FFourth};
        const std::vector<const TGsmSimulator*> own{&FSim, FSecond};
        TSeeded rows;
        for (const int32_t id : ids)
            if (!AllAcknowledged({{id, seeded.at(id)}}, own))
                rows[id] = seeded.at(id);
        if (!WaitUntil([&] { return AllAcknowledged(rows, other); }, timeoutMs, 100))
            return -1;
        return SecondsSince(start);
    }

    // The service's sessions as the server sees them, for failure messages.
    std::string Sessions() const {
        return FDb
            ->Scalar("SELECT string_agg(pid || ' ' || state || ' ' || coalesce(wait_event, '') || "
                     "' ' || now() - state_change, '; ') FROM pg_stat_activity WHERE datname = "
                     "current_database() AND application_name LIKE 'quorvexsms@%'")
            .value_or("");
    }
    // The other program's service log without its routine hand-over lines, for failure messages.
    std::string OtherLog() const {
        std::istringstream log(Cp1251ToUtf8(FOtherDir.Read("QuorvexSMS.log")));
        std::string kept;
        for (std::string line; std::getline(log, line);)
            if (line.find(U8(u8": ОТПРАВЛЕНО")) == std::string::npos && kept.size() < 6000)
                kept += "\n  | " + line;
        const std::string terminal = Cp1251ToUtf8(FOtherDir.Read("Siemens.log"));
        return "\nother host's log:" + kept + "\nits terminal 1's log, last lines:\n" +
               terminal.substr(terminal.size() > 3000 ? terminal.size() - 3000 : 0);
    }

    TTempDir FOtherDir;
    TGsmSimulator* FSecond = nullptr;
    TGsmSimulator* FThird = nullptr;
    TGsmSimulator* FFourth = nullptr;
    std::unique_ptr<TServiceProcess> FOne;
    std::unique_ptr<TServiceProcess> FOther;
};

// Both hosts live throughout: reloads and process requests at random on both, and the
// server restarted once in the middle. Every message goes out exactly once, each host sends a
// fair part, and a host never holds more claims than its terminals can use.
TEST_F(HostsTest, TwoHostsSendEachMessageOnceThroughReloadsAndADatabaseRestart) {
    UsePrivateServer();
    if (HasFatalFailure())
        return;
    const uint32_t seed = CaseSeed();
    std::mt19937 random(seed);
    StartHosts(40);
    // Both are past the grace of their first session before the work comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(GraceMs + 2000));
    const int32_t count = Scaled(3000, 300);
    const TSeeded seeded = SeedMessages(1, count, "H");
    PassBoth();
    int64_t mostClaims = 0;
    size_t mostSessions = 0;
    bool restarted = false;
    const bool all = WaitUntil(
        [&] {
            try {
                const auto claims = ClaimsBySession();
                mostSessions = std::max(mostSessions, claims.size());
                for (const auto& session : claims)
                    mostClaims = std::max<int64_t>(mostClaims, session.second.size());
            } catch (const std::exception&) {
                // The server is restarting.
            }
            // Both get the same request at once, so that neither is held back more than
            // the other.
            if (std::uniform_int_distribution<int>(0, 9)(random) == 0) {
                const int signal = random() % 2 ? SIGHUP : SIGUSR1;
                FOne->Signal(signal);
                FOther->Signal(signal);
            }
            if (!restarted && FLedger.Total() >= static_cast<size_t>(count / 3)) {
                restarted = FCluster->Stop(false) && FCluster->Start();
                EXPECT_TRUE(restarted) << "the private server must restart";
            }
            return AllAcknowledged(seeded, Sims());
        },
        600000, 500);
    EXPECT_TRUE(all) << "seed " << seed << Diagnostics() << "\nthe other host:\n" << OtherLog();
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent";
    EXPECT_EQ(NotOnce(seeded, AcknowledgedTexts(Sims())), "") << "seed " << seed;
    EXPECT_GE(SentByOther(), count / 3) << "each host sends a fair part";
    EXPECT_LE(count - SentByOther(), count * 2 / 3);
    EXPECT_LE(mostClaims, 2 * 2 + 1) << "a host claims what its terminals hold, never more";
    EXPECT_LE(mostSessions, 2u) << "one session per host";
    StopService(*FOne);
    StopService(*FOther);
    PrintFigures("two hosts: seed " + std::to_string(seed) + ", " + std::to_string(count) +
                 " messages, other host " + std::to_string(SentByOther()) + ", most claims " +
                 std::to_string(mostClaims));
}

// A host killed mid-drain: nothing is lost, only the messages its terminals were submitting
// may come twice, and the rows it held leave from the other soon after its session ended.
TEST_F(HostsTest, AKilledHostsRowsLeaveFromTheOther) {
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    StartHosts(60);
    const TSeeded seeded = SeedWhileBothSend("K");
    ASSERT_FALSE(HasFatalFailure());
    const auto before = ClaimsBySession();
    FOne->Signal(SIGKILL);
    ASSERT_TRUE(FOne->WaitExit(5000).has_value());
    ASSERT_TRUE(WaitUntil([&] { return ClaimsBySession().size() == 1; }, 10000))
        << "the server ends the killed host's session";
    const std::set<int32_t> held = ClaimsOfEndedSession(before);
    // The other host claims nothing for the grace, then finds them behind its own backlog.
    const double seconds = TakenOver(held, seeded, 240000);
    EXPECT_GE(seconds, 0) << "the killed host's rows must leave from the other" << OtherLog();
    EXPECT_TRUE(WaitUntil([&] { return AllAcknowledged(seeded, Sims()); }, 120000));
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent";
    EXPECT_LE(FLedger.Repeats(), 2) << "at most one repeat per terminal of the killed host";
    EXPECT_EQ(StampedUnacknowledged(seeded), std::vector<int32_t>{});
    StopService(*FOther);
    PrintFigures("killed host: " + std::to_string(held.size()) + " claims taken over in " +
                 std::to_string(seconds) + " s, " + std::to_string(FLedger.Repeats()) + " repeats");
}

// A host frozen mid-drain (its server ends the silent session) loses its claims to the other;
// when it wakes it sends none of the messages it held.
TEST_F(HostsTest, AFrozenHostSendsNoneOfItsOldQueueWhenItWakes) {
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    FDb->Exec("DO $$ BEGIN EXECUTE format('ALTER DATABASE %I SET idle_session_timeout = "
              "''20s''', current_database()); END $$");
    StartHosts(60);
    const TSeeded seeded = SeedWhileBothSend("F");
    ASSERT_FALSE(HasFatalFailure());
    const auto before = ClaimsBySession();
    FOne->Signal(SIGSTOP);
    // What it wrote to the line before it froze reaches the simulators a moment later.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<size_t> frozenAt{FSim.SubmittedCount(), FSecond->SubmittedCount()};
    ASSERT_TRUE(WaitUntil([&] { return ClaimsBySession().size() == 1; }, 40000))
        << "the server ends the frozen host's session: " << Sessions();
    const std::set<int32_t> held = ClaimsOfEndedSession(before);
    EXPECT_GE(TakenOver(held, seeded, GraceMs + 35000), 0) << OtherLog();
    FOne->Signal(SIGCONT);
    EXPECT_TRUE(WaitUntil([&] { return AllAcknowledged(seeded, Sims()); }, 120000));
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent";
    std::set<std::string> heldTexts;
    for (const int32_t id : held)
        heldTexts.insert(seeded.at(id));
    size_t sentAgain = 0;
    const std::vector<const TGsmSimulator*> frozen{&FSim, FSecond};
    for (size_t t = 0; t < frozen.size(); ++t) {
        const auto submitted = frozen[t]->Submitted();
        for (size_t i = frozenAt[t]; i < submitted.size(); ++i)
            sentAgain += heldTexts.count(submitted[i].View.Text);
    }
    EXPECT_EQ(sentAgain, 0u) << "the woken host must not send what it held" << Diagnostics();
    EXPECT_LE(FLedger.Repeats(), 2);
    StopService(*FOne);
    StopService(*FOther);
}

// The server ends one host's session in the middle of a drain (an operator's
// pg_terminate_backend, a failover): that host's terminals start nothing more on it, the other
// waits out what it may still be finishing, and no message goes twice, none is lost.
TEST_F(HostsTest, ASessionTheServerEndsSendsNothingTwice) {
    if (ScaledDown())
        GTEST_SKIP() << "waits out the hosts' grace twice: plain build only";
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    StartHosts(60);
    const TSeeded seeded = SeedWhileBothSend("T");
    ASSERT_FALSE(HasFatalFailure());
    const auto before = ClaimsBySession();
    ASSERT_EQ(before.size(), 2u) << Sessions();
    FDb->Exec("SELECT pg_terminate_backend(" + std::to_string(before.begin()->first) + ")");
    EXPECT_TRUE(WaitUntil([&] { return AllAcknowledged(seeded, Sims()); }, 240000))
        << Diagnostics() << OtherLog();
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent";
    EXPECT_EQ(FLedger.Repeats(), 0) << "a message went twice" << Diagnostics() << OtherLog();
    EXPECT_EQ(StampedUnacknowledged(seeded), std::vector<int32_t>{});
    StopService(*FOne);
    StopService(*FOther);
    PrintFigures("session ended by the server: " + std::to_string(seeded.size()) + " messages, " +
                 std::to_string(FLedger.Repeats()) + " repeats");
}

// A backlog of 100,000 rows: each host claims only what its terminals hold, so the server's
// lock table is never short, and no session waits idle in a transaction.
TEST_F(HostsTest, AHugeBacklogNeedsNoMoreClaimsThanTheTerminalsHold) {
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    StartHosts(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(GraceMs + 2000));
    SeedMessages(1, Scaled(100000, 20000), "B");
    PassBoth();
    size_t mostClaims = 0;
    bool idleInTransaction = false;
    const bool sending = WaitUntil(
        [&] {
            for (const auto& session : ClaimsBySession())
                mostClaims = std::max(mostClaims, session.second.size());
            idleInTransaction =
                idleInTransaction ||
                FDb->Scalar("SELECT count(*) FROM pg_stat_activity WHERE datname = "
                            "current_database() AND application_name LIKE 'quorvexsms@%' AND "
                            "state LIKE 'idle in transaction%'") != "0";
            return FLedger.Total() >= 2000 && SentByOther() > 0;
        },
        180000, 200);
    EXPECT_TRUE(sending) << Diagnostics() << OtherLog();
    EXPECT_LE(mostClaims, 2u * 2 + 1) << "claims follow the terminals, not the backlog";
    EXPECT_FALSE(idleInTransaction) << "no transaction is held open";
    EXPECT_EQ(LogCountContaining("shared memory"), 0u) << Diagnostics();
    EXPECT_EQ(OtherLog().find("shared memory"), std::string::npos);
    StopService(*FOne);
    StopService(*FOther);
}

} // namespace
} // namespace qvx::test
