// Figures of one service driving several terminals: the real quorvexsms program with 1, 2, 4
// and 8 simulated terminals (in-process TGsmSimulator, one pty each) against a local
// PostgreSQL (the QVX_PG* variables of scripts/lib/pgcluster.sh). Throughput with each count,
// its ratio to that many times the one-terminal figure, each terminal's share, every message
// acknowledged exactly once, and the idle CPU with 4 terminals against 1. Prints one table row
// per figure on stdout ("| figure | value | target | verdict |"), progress on stderr.
// QVX_BENCH_QUICK=1 shortens every run; arguments name the runs to do (throughput idle), all
// when none is given.
#include "BenchDrain.h"
#include "BenchFigures.h"
#include "BenchHost.h"

#include <chrono>
#include <csignal>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace qvx {
namespace {

struct TBenchSizes {
    int32_t Messages = 2000;
    int32_t IdleSec = 60;
};

constexpr TBenchSizes QuickSizes{200, 10};
constexpr int32_t TerminalCounts[] = {1, 2, 4, 8};
// Every answer of a terminal comes this late, as on a slow network.
constexpr uint32_t AnswerDelayMs = 100;
// A terminal's share of the messages may differ from 1/N by this part of 1/N.
constexpr double ShareTolerance = 0.15;
constexpr auto SettleTime = std::chrono::seconds(3);
// The first message reaches a terminal within this long of "process now".
constexpr int32_t FirstSubmissionWaitSec = 60;

// One service with its own database and folder, and its simulated terminals. Stopped and
// removed in the reverse order of building.
struct TRig {
    TRig(TBenchEnv& env, int32_t terminals, uint32_t answerDelayMs)
        : Database(env.NewDatabase("qvx_tbench")),
          Host(env, Database->Name(), terminals, answerDelayMs, "qvx-tbench") {}

    std::unique_ptr<TBenchDatabase> Database;
    TBenchHost Host;
};

// All count messages are registered at once after every terminal is up, and one "process
// now" hands them over: no terminal starts ahead of the others.
TDrain DrainRun(TBenchEnv& env, int32_t terminals, int32_t count) {
    Progress(std::to_string(terminals) + " terminal(s): " + std::to_string(count) +
             " messages, answers after " + std::to_string(AnswerDelayMs) + " ms");
    TRig rig(env, terminals, AnswerDelayMs);
    std::this_thread::sleep_for(SettleTime);
    rig.Database->AddNumberedMessages(count);
    rig.Host.Service().Signal(SIGUSR1);
    return AwaitDrain({&rig.Host}, *rig.Database, count, FirstSubmissionWaitSec);
}

void ThroughputRuns(TBenchEnv& env, const TBenchSizes& sizes) {
    double single = 0;
    for (const int32_t n : TerminalCounts) {
        const TDrain drain = DrainRun(env, n, sizes.Messages);
        const std::string what = std::to_string(sizes.Messages) + " messages, " +
                                 std::to_string(n) + " terminal" + (n > 1 ? "s" : "") + " (" +
                                 std::to_string(AnswerDelayMs) + " ms answers)";
        const std::string rate = Format("%.2f messages/s", drain.Rate) +
                                 Format(" (%.1f s first to last)", drain.SpanSec);
        if (n == 1) {
            single = drain.Rate;
            InfoRow("Throughput, " + what, rate);
        } else {
            const double ratio = single > 0 ? drain.Rate / (n * single) : 0;
            const double target = n <= 4 ? 0.9 : 0.75;
            Row("Throughput, " + what, rate + Format("; %.2f of N x one terminal", ratio),
                Format(">= %.2f x N x one terminal", target), ratio >= target);
            bool fair = false;
            const std::string shares = ShareText(drain.PerTerminal, ShareTolerance, fair);
            Row("Shares of " + std::to_string(n) + " terminals", shares,
                "each within +-15 % of 1/N", fair);
        }
        Row("Acknowledged exactly once, " + std::to_string(n) + " terminal" + (n > 1 ? "s" : ""),
            drain.OnceText(sizes.Messages), "every message once", drain.EachOnce(sizes.Messages));
    }
}

double IdlePercent(TBenchEnv& env, int32_t terminals, int32_t seconds) {
    Progress("idle: " + std::to_string(terminals) + " terminal(s), " + std::to_string(seconds) +
             " s with nothing to send");
    TRig rig(env, terminals, 0);
    std::this_thread::sleep_for(SettleTime);
    // The threads' nanosecond counters: /proc/PID/stat counts 10 ms ticks, too coarse for
    // a few tenths of a percent over a short run.
    const auto cpuNow = [&rig] {
        const std::vector<double> threads = rig.Host.Service().ThreadCpuSeconds();
        double sum = 0;
        for (double cpu : threads)
            sum += cpu;
        return sum;
    };
    const double cpuBefore = cpuNow();
    const auto start = TBenchClock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = cpuNow() - cpuBefore;
    return 100.0 * cpu / Seconds(TBenchClock::now() - start);
}

void IdleRuns(TBenchEnv& env, const TBenchSizes& sizes) {
    const double one = IdlePercent(env, 1, sizes.IdleSec);
    const double four = IdlePercent(env, 4, sizes.IdleSec);
    const double ratio = one > 0 ? four / one : 0;
    Row("Idle CPU over " + std::to_string(sizes.IdleSec) + " s, 4 terminals vs 1",
        Format("%.3f %%", four) + Format(" vs %.3f %% of one core", one) +
            Format(": %.2f x", ratio),
        "<= 4 x", one > 0 && ratio <= 4.0);
}

int RunBench(const std::vector<std::string>& args) {
    const TBenchSizes sizes = QuickRun() ? QuickSizes : TBenchSizes{};
    TBenchEnv env;
    const std::set<std::string> wanted(args.begin(), args.end());
    const auto want = [&](const char* name) { return wanted.empty() || wanted.count(name) > 0; };
    if (want("throughput"))
        ThroughputRuns(env, sizes);
    if (want("idle"))
        IdleRuns(env, sizes);
    return 0;
}

} // namespace
} // namespace qvx

int main(int argc, char** argv) {
    return qvx::BenchMain(argc, argv, qvx::RunBench);
}
