// Figures of several services sharing one database: the real quorvexsms program, once as one
// process with 4 simulated terminals (run A) and once as two processes with 2 terminals each,
// in their own folders, against one database (run B); in-process TGsmSimulator on a pty for
// each terminal, a local PostgreSQL (the QVX_PG* variables of scripts/lib/pgcluster.sh).
// Throughput of each run and the ratio B / A, every message acknowledged exactly once, each
// process's share in run B, and what each run cost the database per message. Prints one table
// row per figure on stdout ("| figure | value | target | verdict |"), progress on stderr.
// QVX_BENCH_QUICK=1 shortens the runs.
#include "BenchDrain.h"
#include "BenchFigures.h"
#include "BenchHost.h"

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qvx {
namespace {

struct TBenchSizes {
    int32_t Messages = 2000;
};

constexpr TBenchSizes QuickSizes{200};
// The terminals of each run, all processes together.
constexpr int32_t Terminals = 4;
// Every answer of a terminal comes this late, as on a slow network.
constexpr uint32_t AnswerDelayMs = 100;
constexpr double RatioTarget = 0.9;
constexpr auto SettleTime = std::chrono::seconds(3);
// A process that starts while another shares the database lets a grace period of tens of
// seconds pass before it claims; the messages come after it, so that the run measures the
// sharing, not the start.
constexpr auto GraceWaitMax = std::chrono::seconds(120);
constexpr int32_t FirstSubmissionWaitSec = 60;
// A stopped process leaves the database within this long.
constexpr int32_t DisconnectWaitSec = 60;

struct TRunResult {
    TDrain Drain;
    TDbActivity Database; // what the processes did in the database, from start to exit
};

// One run: processes each with Terminals / processes terminals against a fresh database with
// count messages, registered once every terminal is up and handed over by one "process now"
// to every process. The database's counters are read before the first process starts and
// after the last one has disconnected: a session's counts reach the server's statistics for
// certain when it leaves.
TRunResult DrainRun(TBenchEnv& env, int32_t processes, int32_t count) {
    const int32_t each = Terminals / processes;
    Progress(std::to_string(processes) + " process(es) with " + std::to_string(each) +
             " terminal(s) each, one database: " + std::to_string(count) +
             " messages, answers after " + std::to_string(AnswerDelayMs) + " ms");
    const std::unique_ptr<TBenchDatabase> database = env.NewDatabase("qvx_hbench");
    const TDbActivity before = database->OthersActivity();
    std::vector<std::unique_ptr<TBenchHost>> hosts;
    std::vector<const TBenchHost*> view;
    for (int32_t i = 0; i < processes; ++i) {
        hosts.push_back(
            std::make_unique<TBenchHost>(env, database->Name(), each, AnswerDelayMs, "qvx-hbench"));
        view.push_back(hosts.back().get());
    }
    std::this_thread::sleep_for(SettleTime);
    const auto graceStart = std::chrono::steady_clock::now();
    for (const auto& host : hosts)
        while (host->InGrace() && std::chrono::steady_clock::now() - graceStart < GraceWaitMax)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    Progress(Format(
        "%.0f s more until no process is in its grace",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - graceStart).count()));
    database->AddNumberedMessages(count);
    for (const auto& host : hosts)
        host->Service().Signal(SIGUSR1);
    TRunResult result;
    result.Drain = AwaitDrain(view, *database, count, FirstSubmissionWaitSec);
    for (const auto& host : hosts)
        host->Service().Stop();
    database->WaitAlone(DisconnectWaitSec);
    const TDbActivity after = database->OthersActivity();
    result.Database = {after.Transactions - before.Transactions, after.Sessions - before.Sessions};
    return result;
}

// The service's statements: every one it sends is a transaction of its own (autocommit), and
// so is the start of each connection. It waits for each answer before it sends the next
// statement, so its statements are its round trips too, without the few of each connection's
// start.
std::string CostText(const TRunResult& run, int32_t count) {
    const int64_t statements = run.Database.Transactions - run.Database.Sessions;
    return Format("%.2f per message", double(statements) / double(count)) + " (" +
           std::to_string(statements) + " for " + std::to_string(count) + " messages; " +
           std::to_string(run.Database.Sessions) + " connections)";
}

// Throughput, exactly once and database cost of one run, as soon as it is over.
void RunRows(const std::string& run, const std::string& setup, const TRunResult& result,
             int32_t count) {
    InfoRow("Throughput, " + std::to_string(count) + " messages, run " + run + ": " + setup + " (" +
                std::to_string(AnswerDelayMs) + " ms answers)",
            Format("%.2f messages/s", result.Drain.Rate) +
                Format(" (%.1f s first to last)", result.Drain.SpanSec));
    Row("Acknowledged exactly once, run " + run, result.Drain.OnceText(count), "every message once",
        result.Drain.EachOnce(count));
    InfoRow("Database statements and round trips, run " + run +
                " (pg_stat_database: xact_commit + xact_rollback less one per connection, from "
                "before the first start to after the last exit)",
            CostText(result, count));
}

int RunBench(const std::vector<std::string>&) {
    const TBenchSizes sizes = QuickRun() ? QuickSizes : TBenchSizes{};
    TBenchEnv env;
    const TRunResult one = DrainRun(env, 1, sizes.Messages);
    RunRows("A", "one process with 4 terminals", one, sizes.Messages);
    const TRunResult two = DrainRun(env, 2, sizes.Messages);
    RunRows("B", "two processes with 2 terminals each, one database", two, sizes.Messages);
    const double ratio = one.Drain.Rate > 0 ? two.Drain.Rate / one.Drain.Rate : 0;
    Row("Throughput of run B / run A",
        Format("%.2f", ratio) + Format(" (%.2f", two.Drain.Rate) +
            Format(" vs %.2f messages/s)", one.Drain.Rate),
        Format(">= %.1f", RatioTarget), ratio >= RatioTarget);
    bool even = false;
    InfoRow("Shares of the two processes, run B", ShareText(two.Drain.PerHost, 0, even));
    return 0;
}

} // namespace
} // namespace qvx

int main(int argc, char** argv) {
    return qvx::BenchMain(argc, argv, qvx::RunBench);
}
