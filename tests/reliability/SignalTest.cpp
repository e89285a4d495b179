// Reload, process and stop signals at random moments of the program's life: during its start,
// in the middle of sending passes and reloads. Whatever the moment, every message the database
// calls sent must have reached the terminal (the rest are un-stamped and go out later), the
// program must never crash, and it must end within 2 s of SIGTERM.
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

        // Stamped means delivered; whatever the terminal had not sent is un-stamped.
        const auto counts = FLedger.Counts();
        std::vector<int32_t> lost;
        for (const int32_t id : StampedIds())
            if (!counts.count(seeded.at(id)))
                lost.push_back(id);
        ASSERT_TRUE(lost.empty()) << lost.size() << " messages are stamped as sent but never "
                                  << "reached the terminal after run " << run + 1
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
            << " SIGHUP, " << texts.size() << " messages, " << LogCountContaining(ReturnedMark)
            << " un-stamped at a stop or reload, " << FLedger.Repeats()
            << " repeats, stop after SIGTERM in " << stopSum / runCount << " s on average, "
            << slowestStop << " s at most";
    PrintFigures(figures.str());
}

} // namespace
} // namespace qvx::test
