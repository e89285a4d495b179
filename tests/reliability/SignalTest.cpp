// Reload, process and stop signals at random moments of the program's life: during its start,
// in the middle of sending passes and reloads, and a SIGKILL in the middle of a drain. Whatever
// the moment, every message the database calls sent must have been acknowledged by the
// terminal (the rest stay unsent and go out later), the program must never crash, and it must
// end within a few seconds of SIGTERM.
#include "reliability/ReliabilityHarness.h"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

namespace qvx::test {
namespace {

// True once the program's main thread blocks the signals the host takes: before that, a
// signal would end it with the default action, as it would any program still loading.
bool SignalsBlocked(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("SigBlk:", 0) == 0) {
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            const auto bit = [](int signal) { return 1ULL << (signal - 1); };
            return (mask & bit(SIGTERM)) && (mask & bit(SIGHUP)) && (mask & bit(SIGUSR1));
        }
    return false;
}

class SignalTest : public TReliabilityTest {};

TEST_F(SignalTest, NothingIsLostWhateverTheMomentOfTheSignals) {
    const uint32_t seed = CaseSeed();
    std::mt19937 random(seed);
    const int32_t messageCount = Scaled(300, 40);
    const int32_t runCount = Scaled(8, 3);
    PrintFigures("signals: seed " + std::to_string(seed) + " (QVX_RELIABILITY_SEED repeats it)");

    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, messageCount, "S");
    const std::set<std::string> texts = TextsOf(seeded);
    WriteIni();

    std::uniform_int_distribution<int> lifeMs(100, 3000);
    std::uniform_int_distribution<int> gapMs(10, 400);
    std::bernoulli_distribution reload(0.3);
    int32_t reloads = 0;
    int32_t passes = 0;
    double slowestStop = 0;
    double stopSum = 0;
    for (int32_t run = 0; run < runCount; ++run) {
        auto service = StartService();
        ASSERT_TRUE(WaitUntil([&] { return SignalsBlocked(service->Pid()); }, 10000))
            << "the program never blocked its signals";
        const auto born = std::chrono::steady_clock::now();
        const auto life = std::chrono::milliseconds(lifeMs(random));
        while (std::chrono::steady_clock::now() - born < life) {
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs(random)));
            const bool isReload = reload(random);
            service->Signal(isReload ? SIGHUP : SIGUSR1);
            (isReload ? reloads : passes) += 1;
        }
        const double stopSeconds = StopService(*service);
        ASSERT_FALSE(HasFailure()) << "run " << run + 1 << " did not end cleanly";
        slowestStop = std::max(slowestStop, stopSeconds);
        stopSum += stopSeconds;

        // Stamped means acknowledged; whatever the terminal had not sent was never stamped.
        const std::vector<int32_t> lost = StampedUnacknowledged(seeded);
        ASSERT_TRUE(lost.empty()) << lost.size() << " messages are stamped as sent but were "
                                  << "never acknowledged after run " << run + 1
                                  << ", the first ID=" << lost.front() << Diagnostics();
    }

    // One last, undisturbed run delivers what is left.
    auto service = StartReady();
    ASSERT_FALSE(HasFatalFailure());
    const bool all = WaitUntil(
        [&] {
            if (FLedger.DistinctOf(texts) == texts.size() && UnsentCount() == 0)
                return true;
            service->Signal(SIGUSR1);
            return false;
        },
        120000, 500);
    EXPECT_TRUE(all) << FLedger.DistinctOf(texts) << " of " << texts.size() << " messages arrived, "
                     << UnsentCount() << " rows unsent" << Diagnostics();
    StopService(*service);

    std::ostringstream figures;
    figures << "signals: " << runCount << " runs, " << passes << " SIGUSR1, " << reloads
            << " SIGHUP, " << texts.size() << " messages, " << LogCountContaining(UnstampedMark)
            << " acknowledged but left unstamped at a stop, " << FLedger.Repeats()
            << " repeats, stop after SIGTERM in " << stopSum / runCount << " s on average, "
            << slowestStop << " s at most";
    PrintFigures(figures.str());
}

// A kill in the middle of a drain leaves no row stamped whose message was not acknowledged, and
// the next start sends the rest with at most the last acknowledged message or two again.
TEST_F(SignalTest, AKillInTheMiddleOfADrainLosesNothing) {
    const int32_t messageCount = Scaled(120, 40);
    const size_t killAfter = static_cast<size_t>(messageCount / 8);
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, messageCount, "K");
    const std::set<std::string> texts = TextsOf(seeded);
    WriteIni();
    FSim.SetAnswerDelayMs(75); // a submission takes about 0.15 s
    auto service = StartService();
    ASSERT_TRUE(WaitUntil([&] { return FLedger.Total() >= killAfter; }, 60000)) << Diagnostics();
    service->Signal(SIGKILL);
    ASSERT_TRUE(service->WaitExit(5000).has_value());
    const size_t stampedAtKill = StampedIds().size();
    const std::vector<int32_t> lost = StampedUnacknowledged(seeded);
    EXPECT_TRUE(lost.empty()) << lost.size() << " rows read sent without an acknowledged PDU";
    EXPECT_LE(stampedAtKill, FLedger.DistinctOf(texts)) << "more stamped rows than deliveries";

    // The killed program's port, lock file and all, is the next start's at once; the
    // simulator keeps the pseudo-terminal's other side open all the while.
    FSim.SetAnswerDelayMs(0);
    service = StartService();
    EXPECT_TRUE(WaitUntil([&] { return FLedger.DistinctOf(texts) == texts.size(); }, 120000))
        << FLedger.DistinctOf(texts) << " of " << texts.size() << " arrived" << Diagnostics();
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent";
    EXPECT_LE(FLedger.Repeats(), 2) << "only what was acknowledged but not yet stamped repeats";
    StopService(*service);
    PrintFigures("kill in a drain: " + std::to_string(texts.size()) + " messages, killed after " +
                 std::to_string(killAfter) + " PDUs with " + std::to_string(stampedAtKill) +
                 " rows stamped, " + std::to_string(FLedger.Repeats()) +
                 " repeats after the restart");
}

} // namespace
} // namespace qvx::test
