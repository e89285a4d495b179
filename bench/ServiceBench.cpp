// Figures of the running service: the real quorvexsms program against the GSM terminal
// simulator and a local PostgreSQL (the QVX_PG* variables of scripts/lib/pgcluster.sh).
// Idle CPU, sending throughput (instant terminal and a 115200 baud line), the answer time of
// an account request, alone and behind a backlog, and the resident memory over 10,000
// messages. Prints one table row per
// figure on stdout ("| figure | value | target | verdict |"), progress on stderr.
// QVX_BENCH_QUICK=1 shortens every run; arguments name the runs to do (idle throughput
// latency backlog footprint), all when none is given.
#include "BenchFigures.h"
#include "BenchHost.h"
#include "LineRelay.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qvx {
namespace {

// How long each run lasts; the quick set is for trying the benchmark out.
struct TBenchSizes {
    int32_t IdleSec = 60;
    int32_t ThroughputMessages = 1000;
    int32_t LatencyRequests = 50;
    int32_t BacklogRequests = 20;
    int32_t FootprintBatches = 10;
    int32_t FootprintBatchMessages = 1000;
};

constexpr TBenchSizes QuickSizes{10, 200, 10, 5, 2, 200};
// Messages queued ahead of each account request in the backlog run, and the answer delay that
// makes a submission take about 0.1 s, as on a slow network.
constexpr int32_t BacklogAhead = 200;
constexpr int32_t BacklogSpare = 20;
constexpr uint32_t BacklogAnswerDelayMs = 40;
constexpr int32_t LineBaud = 115200;
// Time for the start-up cycle (first tick, its sending pass, the connection closed) to pass.
constexpr auto SettleTime = std::chrono::seconds(3);

struct TRigOptions {
    int32_t PendingMessages = 0;
    int32_t LineBaud = 0; // 0: the simulator answers at once and the line takes no time
};

// One service with its own database, folder, simulated terminal and (when asked) a line of
// limited speed between them. Stopped and removed in the reverse order of building.
class TRig {
public:
    TRig(TBenchEnv& env, const TRigOptions& options) {
        FDatabase = env.NewDatabase("qvx_sbench");
        if (options.PendingMessages > 0)
            FDatabase->AddMessages(options.PendingMessages);
        char pattern[] = "/tmp/qvx-sbench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("cannot make a temporary folder");
        FDir = std::string(pattern) + "/";
        FSim.SetLinkPath(FDir + "terminal");
        if (!FSim.Start())
            throw std::runtime_error("simulator: " + FSim.LastError());
        std::string device = FDir + "terminal";
        if (options.LineBaud > 0) {
            FSim.SetBaudRate(options.LineBaud);
            FRelay.Start(FDir + "line", FSim.SlavePath(), options.LineBaud);
            device = FDir + "line";
        }
        WriteIni(env, device);
        FService.Start(env.ServiceExe, FDir, env.TimeZone);
        // The first listing means the terminal thread has reached its working loop.
        if (!FSim.WaitForCommandCount("at+cmgl", 1, 30000))
            throw std::runtime_error("the service did not reach its working loop; see " + FDir);
    }
    ~TRig() {
        FService.Stop();
        FRelay.Stop();
        FSim.Stop();
        FDatabase.reset();
        std::error_code ignored;
        std::filesystem::remove_all(FDir, ignored);
    }
    TRig(const TRig&) = delete;
    TRig& operator=(const TRig&) = delete;

    TBenchDatabase& Database() { return *FDatabase; }
    TGsmSimulator& Sim() { return FSim; }
    TServiceProcess& Service() { return FService; }

private:
    void WriteIni(const TBenchEnv& env, const std::string& device) const {
        std::ofstream ini(FDir + "QuorvexSMS.ini");
        ini << "[Database]\nHost=" << env.Server.Host << "\nPort=" << env.Server.Port
            << "\nDBName=" << FDatabase->Name() << "\nUserName=" << env.Server.User
            << "\nPassword=" << env.Server.Password << "\n\n[GSMTerminal]\nDevice=" << device
            << "\nBaudRate=115200\n";
        if (!ini)
            throw std::runtime_error("cannot write the INI file");
    }

    std::unique_ptr<TBenchDatabase> FDatabase;
    std::string FDir;
    TGsmSimulator FSim;
    TLineRelay FRelay;
    TServiceProcess FService;
};

// Waits until count submissions are recorded, allowing for at least five a second.
void AwaitSubmitted(TGsmSimulator& sim, size_t count, size_t already) {
    const uint32_t timeoutMs = uint32_t(30000 + (count - already) * 200);
    if (!sim.WaitForSubmitted(count, timeoutMs))
        throw std::runtime_error("only " + std::to_string(sim.SubmittedCount()) + " of " +
                                 std::to_string(count) + " messages reached the terminal");
}

// Percent of one core per thread between two readings of ThreadCpuSeconds().
std::string ThreadSplit(const std::vector<double>& before, const std::vector<double>& after,
                        double elapsedSec) {
    // The service's threads are created in this order: the host (main), the worker, the
    // terminal thread (started by the worker's initialisation), the one-second timer.
    const char* const names[] = {"host", "worker", "terminal", "timer"};
    std::string split;
    double total = 0;
    for (size_t thread = 0; thread < after.size() && thread < before.size(); ++thread) {
        const double share = 100.0 * (after[thread] - before[thread]) / elapsedSec;
        total += share;
        split += (split.empty() ? "" : ", ") +
                 std::string(thread < std::size(names) ? names[thread] : "other") +
                 Format(" %.3f %%", share);
    }
    // The sum is exact to the nanosecond, where /proc/PID/stat counts 10 ms ticks.
    return split + Format("; all threads %.3f %%", total);
}

// What twenty wake-ups a second cost on this machine by themselves: a thread that does
// nothing but sleep 50 ms at a time. No idle service that lists 20 times a second can cost
// less, so the idle figure is read against it.
double WakeupFloorPercent(int32_t seconds) {
    const auto threadCpu = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
    };
    double percent = 0;
    std::thread sleeper([&] {
        const double cpuBefore = threadCpu();
        const auto start = TBenchClock::now();
        while (TBenchClock::now() - start < std::chrono::seconds(seconds))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        percent = 100.0 * (threadCpu() - cpuBefore) / Seconds(TBenchClock::now() - start);
    });
    sleeper.join();
    return percent;
}

void IdleRun(TBenchEnv& env, const TBenchSizes& sizes) {
    Progress("idle: " + std::to_string(sizes.IdleSec) + " s with nothing to send");
    TRig rig(env, {});
    std::this_thread::sleep_for(SettleTime);
    const int32_t listingsBefore = rig.Sim().CommandCount("at+cmgl");
    const double cpuBefore = rig.Service().CpuSeconds();
    const std::vector<double> threadsBefore = rig.Service().ThreadCpuSeconds();
    const auto start = TBenchClock::now();
    std::this_thread::sleep_for(std::chrono::seconds(sizes.IdleSec));
    const double cpu = rig.Service().CpuSeconds() - cpuBefore;
    const std::vector<double> threadsAfter = rig.Service().ThreadCpuSeconds();
    const double elapsed = Seconds(TBenchClock::now() - start);
    const int32_t listings = rig.Sim().CommandCount("at+cmgl") - listingsBefore;
    const double percent = 100.0 * cpu / elapsed;
    Row("Idle CPU over " + std::to_string(sizes.IdleSec) + " s (" +
            Format("%.1f", listings / elapsed) + " listings/s answered at once)",
        Format("%.3f %% of one core", percent) + Format(" (%.2f s CPU)", cpu), "<= 0.08 %",
        percent <= 0.08);
    InfoRow("Idle CPU by thread (schedstat)", ThreadSplit(threadsBefore, threadsAfter, elapsed));
    InfoRow("Floor: a thread that only wakes 20 times a second, on this machine",
            Format("%.3f %% of one core", WakeupFloorPercent(std::max(sizes.IdleSec / 6, 5))));
}

void ThroughputRun(TBenchEnv& env, const TBenchSizes& sizes, int32_t baud) {
    const int32_t count = sizes.ThroughputMessages;
    const std::string line = baud > 0 ? std::to_string(baud) + " baud line" : "instant terminal";
    Progress("throughput: " + std::to_string(count) + " pending messages, " + line);
    TRig rig(env, {count, baud});
    AwaitSubmitted(rig.Sim(), size_t(count), 0);
    const std::vector<TSubmittedSms> submitted = rig.Sim().Submitted();
    const auto refused = std::count_if(submitted.begin(), submitted.end(),
                                       [](const TSubmittedSms& sms) { return !sms.Accepted; });
    if (refused > 0)
        throw std::runtime_error(std::to_string(refused) + " submissions were refused");
    const double span = Seconds(submitted.back().ReceivedAt - submitted.front().ReceivedAt);
    const double rate = (count - 1) / span;
    const double target = baud > 0 ? 11.0 : 16.0;
    Row("Throughput, " + std::to_string(count) + " messages, " + line,
        Format("%.1f messages/s", rate) + Format(" (%.1f s first to last)", span),
        Format(">= %.0f messages/s", target), rate >= target);
}

void LatencyRun(TBenchEnv& env, const TBenchSizes& sizes) {
    Progress("latency: " + std::to_string(sizes.LatencyRequests) + " account requests");
    TRig rig(env, {});
    std::this_thread::sleep_for(SettleTime);
    std::vector<double> latencies;
    for (int32_t request = 0; request < sizes.LatencyRequests; ++request) {
        const size_t before = rig.Sim().SubmittedCount();
        const auto stored = TBenchClock::now();
        if (rig.Sim().StoreText(TBenchDatabase::KnownPhone, "1").empty())
            throw std::runtime_error("the simulator could not store the request");
        AwaitSubmitted(rig.Sim(), before + 1, before);
        latencies.push_back(Seconds(rig.Sim().Submitted().at(before).ReceivedAt - stored));
        // Requests arrive at scattered moments of the one-second tick.
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + (request * 373) % 1000));
    }
    std::sort(latencies.begin(), latencies.end());
    const double median = latencies[latencies.size() / 2];
    const double p95 = latencies[std::min(latencies.size() - 1, latencies.size() * 95 / 100)];
    Row("Account request \"1\" to answer PDU, " + std::to_string(latencies.size()) + " requests",
        Format("median %.2f s", median) + Format(", p95 %.2f s", p95) +
            Format(", max %.2f s", latencies.back()),
        "median <= 1.2 s", median <= 1.2);
}

// The start of an account answer as the simulator decodes it (UTF-8).
const std::string AnswerStart(reinterpret_cast<const char*>(u8"Состояние счета"));

// The first submission after `after` that carries an account answer.
std::optional<TSubmittedSms> AnswerAfter(const TGsmSimulator& sim, size_t after) {
    const std::vector<TSubmittedSms> submitted = sim.Submitted();
    for (size_t i = after; i < submitted.size(); ++i)
        if (submitted[i].View.Text.rfind(AnswerStart, 0) == 0)
            return submitted[i];
    return std::nullopt;
}

// Every request finds at least BacklogAhead messages queued in the terminal; the backlog is
// topped up before each one.
void BacklogRun(TBenchEnv& env, const TBenchSizes& sizes) {
    Progress("latency behind a backlog: " + std::to_string(sizes.BacklogRequests) +
             " account requests, " + std::to_string(BacklogAhead) + " messages queued ahead");
    TRig rig(env, {});
    rig.Sim().SetAnswerDelayMs(BacklogAnswerDelayMs);
    std::vector<double> latencies;
    int64_t fewestAhead = INT64_MAX;
    for (int32_t request = 0; request < sizes.BacklogRequests; ++request) {
        // Topped up beyond the mark, since the backlog drains while the pass hands it over.
        const int64_t pending = rig.Database().PendingCount();
        if (pending < BacklogAhead + BacklogSpare) {
            rig.Database().AddMessages(int32_t(BacklogAhead + BacklogSpare - pending));
            rig.Service().Signal(SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the pass hands over
        }
        fewestAhead = std::min(fewestAhead, rig.Database().PendingCount());
        const size_t before = rig.Sim().SubmittedCount();
        const auto stored = TBenchClock::now();
        if (rig.Sim().StoreText(TBenchDatabase::KnownPhone, "1").empty())
            throw std::runtime_error("the simulator could not store the request");
        std::optional<TSubmittedSms> answer;
        while (!(answer = AnswerAfter(rig.Sim(), before))) {
            if (TBenchClock::now() - stored > std::chrono::seconds(60))
                throw std::runtime_error("no answer within 60 s behind the backlog");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        latencies.push_back(Seconds(answer->ReceivedAt - stored));
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + (request * 373) % 1000));
    }
    std::sort(latencies.begin(), latencies.end());
    const double median = latencies[latencies.size() / 2];
    Row("Account request \"1\" to answer PDU with " + std::to_string(fewestAhead) +
            "+ messages queued ahead (0.1 s a submission), " + std::to_string(latencies.size()) +
            " requests",
        Format("median %.2f s", median) + Format(", max %.2f s", latencies.back()),
        "median <= 1.5 s", median <= 1.5);
}

void FootprintRun(TBenchEnv& env, const TBenchSizes& sizes) {
    const int32_t total = sizes.FootprintBatches * sizes.FootprintBatchMessages;
    Progress("footprint: " + std::to_string(total) + " messages in " +
             std::to_string(sizes.FootprintBatches) + " passes");
    TRig rig(env, {});
    std::this_thread::sleep_for(SettleTime);
    const int64_t startKb = rig.Service().StatusKb("VmRSS");
    const int64_t startOwnKb = rig.Service().StatusKb("RssAnon");
    std::vector<int64_t> afterBatchKb;
    for (int32_t batch = 0; batch < sizes.FootprintBatches; ++batch) {
        rig.Database().AddMessages(sizes.FootprintBatchMessages);
        rig.Service().Signal(SIGUSR1); // an external "process now": a sending pass
        AwaitSubmitted(rig.Sim(), size_t(sizes.FootprintBatchMessages), 0);
        rig.Sim().ClearSubmitted();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // the cycle ends
        afterBatchKb.push_back(rig.Service().StatusKb("VmRSS"));
        Progress("  " + std::to_string((batch + 1) * sizes.FootprintBatchMessages) +
                 " messages: VmRSS " + std::to_string(afterBatchKb.back()) + " kB");
    }
    if (rig.Database().PendingCount() != 0)
        throw std::runtime_error("messages were left unsent");
    const int64_t peakKb = rig.Service().StatusKb("VmHWM");
    const int64_t endOwnKb = rig.Service().StatusKb("RssAnon");
    const int64_t endKb = afterBatchKb.back();
    const int64_t growthKb = endKb - afterBatchKb.front();
    const bool met = std::max(startKb, endKb) <= 12 * 1024 && growthKb <= 256;
    Row("Resident memory (VmRSS): after start / after " +
            std::to_string(sizes.FootprintBatchMessages) + " / after " + std::to_string(total) +
            " messages",
        Format("%.1f", startKb / 1024.0) + Format(" / %.1f", afterBatchKb.front() / 1024.0) +
            Format(" / %.1f MB", endKb / 1024.0) + Format(" (peak %.1f MB)", peakKb / 1024.0),
        "<= 12 MB, no growth", met);
    InfoRow("Own memory (RssAnon, without shared library pages): after start / after " +
                std::to_string(total) + " messages",
            Format("%.1f", startOwnKb / 1024.0) + Format(" / %.1f MB", endOwnKb / 1024.0));
}

int RunBench(const std::vector<std::string>& args) {
    const TBenchSizes sizes = QuickRun() ? QuickSizes : TBenchSizes{};
    TBenchEnv env;
    const std::set<std::string> wanted(args.begin(), args.end());
    const auto want = [&](const char* name) { return wanted.empty() || wanted.count(name) > 0; };
    if (want("idle"))
        IdleRun(env, sizes);
    if (want("throughput")) {
        ThroughputRun(env, sizes, 0);
        ThroughputRun(env, sizes, LineBaud);
    }
    if (want("latency"))
        LatencyRun(env, sizes);
    if (want("backlog"))
        BacklogRun(env, sizes);
    if (want("footprint"))
        FootprintRun(env, sizes);
    return 0;
}

} // namespace
} // namespace qvx

int main(int argc, char** argv) {
    return qvx::BenchMain(argc, argv, qvx::RunBench);
}
