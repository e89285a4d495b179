// Figures of one service driving several terminals: the real quorvexsms program with 1, 2, 4
// and 8 simulated terminals (in-process TGsmSimulator, one pty each) against a local
// PostgreSQL (the QVX_PG* variables of scripts/lib/pgcluster.sh). Throughput with each count,
// its ratio to that many times the one-terminal figure, each terminal's share, every message
// acknowledged exactly once, and the idle CPU with 4 terminals against 1. Prints one table row
// per figure on stdout ("| figure | value | target | verdict |"), progress on stderr.
// QVX_BENCH_QUICK=1 shortens every run; arguments name the runs to do (throughput idle), all
// when none is given.
#include "BenchDatabase.h"
#include "ServiceProcess.h"
#include "gsmsim/GsmSimulator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qvx {
namespace {

using TClock = std::chrono::steady_clock;

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

double Seconds(TClock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

void Progress(const std::string& text) {
    std::fprintf(stderr, "terminals_bench: %s\n", text.c_str());
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void Row(const std::string& figure, const std::string& value, const std::string& target,
         const char* verdict) {
    std::printf("| %s | %s | %s | %s |\n", figure.c_str(), value.c_str(), target.c_str(), verdict);
    std::fflush(stdout);
}

const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

struct TBenchEnv {
    TPgServer Server = TPgServer::FromEnvironment();
    std::string ServiceExe = QVX_SERVICE_PATH;
    std::string SchemaFile = std::string(QVX_SOURCE_DIR) + "/db/schema.sql";
    std::string TimeZone = NoonZone();
    int32_t RunCount = 0;
};

// One service with its own database and folder, and count simulated terminals: [GSMTerminal]
// and [GSMTerminal2] .. [GSMTerminalN]. Stopped and removed in the reverse order of building.
class TRig {
public:
    TRig(TBenchEnv& env, int32_t count, uint32_t answerDelayMs) {
        FDatabase = std::make_unique<TBenchDatabase>(env.Server,
                                                     "qvx_tbench_" + std::to_string(getpid()) +
                                                         "_" + std::to_string(++env.RunCount),
                                                     env.SchemaFile);
        char pattern[] = "/tmp/qvx-tbench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("cannot make a temporary folder");
        FDir = std::string(pattern) + "/";
        for (int32_t i = 0; i < count; ++i) {
            auto sim = std::make_unique<TGsmSimulator>();
            sim->SetLinkPath(FDir + "terminal" + std::to_string(i + 1));
            sim->SetAnswerDelayMs(answerDelayMs);
            if (!sim->Start())
                throw std::runtime_error("simulator: " + sim->LastError());
            FSims.push_back(std::move(sim));
        }
        WriteIni(env);
        FService.Start(env.ServiceExe, FDir, env.TimeZone);
        // The first listing means that terminal's thread has reached its working loop.
        for (size_t i = 0; i < FSims.size(); ++i)
            if (!FSims[i]->WaitForCommandCount("at+cmgl", 1, 60000))
                throw std::runtime_error("terminal " + std::to_string(i + 1) +
                                         " never reached its working loop; see " + FDir);
    }
    ~TRig() {
        FService.Stop();
        for (auto& sim : FSims)
            sim->Stop();
        FDatabase.reset();
        std::error_code ignored;
        std::filesystem::remove_all(FDir, ignored);
    }
    TRig(const TRig&) = delete;
    TRig& operator=(const TRig&) = delete;

    TBenchDatabase& Database() { return *FDatabase; }
    TServiceProcess& Service() { return FService; }
    const std::vector<std::unique_ptr<TGsmSimulator>>& Sims() const { return FSims; }
    size_t Submitted() const {
        size_t total = 0;
        for (const auto& sim : FSims)
            total += sim->SubmittedCount();
        return total;
    }

private:
    void WriteIni(const TBenchEnv& env) const {
        std::ofstream ini(FDir + "QuorvexSMS.ini");
        ini << "[Database]\nHost=" << env.Server.Host << "\nPort=" << env.Server.Port
            << "\nDBName=" << FDatabase->Name() << "\nUserName=" << env.Server.User
            << "\nPassword=" << env.Server.Password << "\n";
        for (size_t i = 0; i < FSims.size(); ++i) {
            ini << "\n[GSMTerminal" << (i == 0 ? std::string() : std::to_string(i + 1))
                << "]\nDevice=" << FSims[i]->LinkPath() << "\nBaudRate=115200\n";
        }
        if (!ini)
            throw std::runtime_error("cannot write the INI file");
    }

    std::unique_ptr<TBenchDatabase> FDatabase;
    std::string FDir;
    std::vector<std::unique_ptr<TGsmSimulator>> FSims;
    TServiceProcess FService;
};

// What the terminals of one run received.
struct TDrain {
    double Rate = 0;
    double SpanSec = 0;
    std::vector<size_t> PerTerminal; // accepted submissions
    size_t Acknowledged = 0;         // texts acknowledged exactly once
    size_t Repeated = 0;             // texts acknowledged more than once
    int64_t Unstamped = 0;
};

TDrain Measure(TRig& rig, int32_t count) {
    TDrain drain;
    TClock::time_point first = TClock::time_point::max();
    TClock::time_point last = TClock::time_point::min();
    std::map<std::string, int32_t> acknowledged;
    for (const auto& sim : rig.Sims()) {
        size_t accepted = 0;
        for (const TSubmittedSms& sms : sim->Submitted()) {
            if (!sms.Accepted)
                continue;
            ++accepted;
            first = std::min(first, sms.ReceivedAt);
            last = std::max(last, sms.ReceivedAt);
            acknowledged[sms.View.Text] += sms.Acknowledged ? 1 : 0;
        }
        drain.PerTerminal.push_back(accepted);
    }
    for (const auto& [text, times] : acknowledged) {
        drain.Acknowledged += times == 1;
        drain.Repeated += times > 1;
    }
    drain.SpanSec = Seconds(last - first);
    drain.Rate = drain.SpanSec > 0 ? (count - 1) / drain.SpanSec : 0;
    drain.Unstamped = rig.Database().PendingCount();
    return drain;
}

// All count messages are registered at once after every terminal is up, and one "process
// now" hands them over: no terminal starts ahead of the others.
TDrain DrainRun(TBenchEnv& env, int32_t terminals, int32_t count) {
    Progress(std::to_string(terminals) + " terminal(s): " + std::to_string(count) +
             " messages, answers after " + std::to_string(AnswerDelayMs) + " ms");
    TRig rig(env, terminals, AnswerDelayMs);
    std::this_thread::sleep_for(SettleTime);
    rig.Database().AddNumberedMessages(count);
    rig.Service().Signal(SIGUSR1);
    // At least one message a second per terminal, with room for a slow start.
    const auto deadline = TClock::now() + std::chrono::seconds(60 + count / terminals);
    while (rig.Submitted() < size_t(count)) {
        if (TClock::now() > deadline)
            throw std::runtime_error("only " + std::to_string(rig.Submitted()) + " of " +
                                     std::to_string(count) + " messages reached the terminals");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The last acknowledgements go out and are stamped a moment later.
    const auto settle = TClock::now() + std::chrono::seconds(10);
    while (rig.Database().PendingCount() > 0 && TClock::now() < settle)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return Measure(rig, count);
}

std::string ShareText(const TDrain& drain, bool& met) {
    const double fair = 1.0 / double(drain.PerTerminal.size());
    std::string text;
    met = true;
    size_t sum = 0;
    for (size_t accepted : drain.PerTerminal)
        sum += accepted;
    for (size_t accepted : drain.PerTerminal) {
        const double share = double(accepted) / double(std::max<size_t>(1, sum));
        met = met && std::fabs(share - fair) <= ShareTolerance * fair;
        text += (text.empty() ? "" : ", ") + Format("%.1f %%", 100.0 * share);
    }
    return text + Format(" (1/N = %.1f %%)", 100.0 * fair);
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
            Row("Throughput, " + what, rate, "-", "-");
        } else {
            const double ratio = single > 0 ? drain.Rate / (n * single) : 0;
            const double target = n <= 4 ? 0.9 : 0.75;
            Row("Throughput, " + what, rate + Format("; %.2f of N x one terminal", ratio),
                Format(">= %.2f x N x one terminal", target), Verdict(ratio >= target));
            bool fair = false;
            const std::string shares = ShareText(drain, fair);
            Row("Shares of " + std::to_string(n) + " terminals", shares,
                "each within +-15 % of 1/N", Verdict(fair));
        }
        const bool once = drain.Acknowledged == size_t(sizes.Messages) && drain.Repeated == 0 &&
                          drain.Unstamped == 0;
        Row("Acknowledged exactly once, " + std::to_string(n) + " terminal" + (n > 1 ? "s" : ""),
            std::to_string(drain.Acknowledged) + " of " + std::to_string(sizes.Messages) + ", " +
                std::to_string(drain.Repeated) + " more than once, " +
                std::to_string(drain.Unstamped) + " rows unstamped",
            "every message once", Verdict(once));
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
        const std::vector<double> threads = rig.Service().ThreadCpuSeconds();
        double sum = 0;
        for (double cpu : threads)
            sum += cpu;
        return sum;
    };
    const double cpuBefore = cpuNow();
    const auto start = TClock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = cpuNow() - cpuBefore;
    return 100.0 * cpu / Seconds(TClock::now() - start);
}

void IdleRuns(TBenchEnv& env, const TBenchSizes& sizes) {
    const double one = IdlePercent(env, 1, sizes.IdleSec);
    const double four = IdlePercent(env, 4, sizes.IdleSec);
    const double ratio = one > 0 ? four / one : 0;
    Row("Idle CPU over " + std::to_string(sizes.IdleSec) + " s, 4 terminals vs 1",
        Format("%.3f %%", four) + Format(" vs %.3f %% of one core", one) +
            Format(": %.2f x", ratio),
        "<= 4 x", Verdict(one > 0 && ratio <= 4.0));
}

int RunBench(const std::vector<std::string>& args) {
    const char* quick = std::getenv("QVX_BENCH_QUICK");
    const TBenchSizes sizes =
        quick != nullptr && std::string(quick) == "1" ? QuickSizes : TBenchSizes{};
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
    try {
        return qvx::RunBench(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "terminals_bench: %s\n", error.what());
        return 1;
    }
}
