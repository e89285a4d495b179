#include "BenchDrain.h"

#include "BenchFigures.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <stdexcept>
#include <thread>

namespace qvx {

namespace {

constexpr int32_t StampWaitSec = 10;

size_t Submitted(const std::vector<const TBenchHost*>& hosts) {
    size_t total = 0;
    for (const TBenchHost* host : hosts)
        total += host->Submitted();
    return total;
}

void AwaitSubmissions(const std::vector<const TBenchHost*>& hosts, size_t count,
                      int32_t firstWaitSec) {
    size_t terminals = 0;
    for (const TBenchHost* host : hosts)
        terminals += host->Sims().size();
    const auto start = TBenchClock::now();
    auto deadline = start + std::chrono::seconds(firstWaitSec);
    bool started = false;
    for (size_t submitted = 0; submitted < count; submitted = Submitted(hosts)) {
        if (!started && submitted > 0) {
            started = true;
            Progress(Format("first submission after %.1f s", Seconds(TBenchClock::now() - start)));
            deadline = TBenchClock::now() + std::chrono::seconds(60 + count / terminals);
        }
        if (TBenchClock::now() > deadline)
            throw std::runtime_error("only " + std::to_string(submitted) + " of " +
                                     std::to_string(count) + " messages reached the terminals");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

TDrain Count(const std::vector<const TBenchHost*>& hosts, int32_t count) {
    TDrain drain;
    TBenchClock::time_point first = TBenchClock::time_point::max();
    TBenchClock::time_point last = TBenchClock::time_point::min();
    std::map<std::string, int32_t> acknowledged;
    for (const TBenchHost* host : hosts) {
        size_t hostAccepted = 0;
        for (const auto& sim : host->Sims()) {
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
            hostAccepted += accepted;
        }
        drain.PerHost.push_back(hostAccepted);
    }
    for (const auto& [text, times] : acknowledged) {
        drain.Acknowledged += times == 1;
        drain.Repeated += times > 1;
    }
    drain.SpanSec = first < last ? Seconds(last - first) : 0;
    drain.Rate = drain.SpanSec > 0 ? (count - 1) / drain.SpanSec : 0;
    return drain;
}

} // namespace

std::string TDrain::OnceText(int32_t count) const {
    return std::to_string(Acknowledged) + " of " + std::to_string(count) + ", " +
           std::to_string(Repeated) + " more than once, " + std::to_string(Unstamped) +
           " rows unstamped";
}

TDrain AwaitDrain(const std::vector<const TBenchHost*>& hosts, TBenchDatabase& database,
                  int32_t count, int32_t firstWaitSec) {
    AwaitSubmissions(hosts, size_t(count), firstWaitSec);
    // The last acknowledgements go out and are stamped a moment later.
    const int64_t unstamped = database.WaitUntilStamped(StampWaitSec);
    TDrain drain = Count(hosts, count);
    drain.Unstamped = unstamped;
    return drain;
}

std::string ShareText(const std::vector<size_t>& parts, double tolerance, bool& met) {
    const double fair = 1.0 / double(parts.size());
    size_t sum = 0;
    for (size_t part : parts)
        sum += part;
    std::string text;
    met = true;
    for (size_t part : parts) {
        const double share = double(part) / double(std::max<size_t>(1, sum));
        met = met && std::fabs(share - fair) <= tolerance * fair;
        text += (text.empty() ? "" : ", ") + Format("%.1f %%", 100.0 * share);
    }
    return text + Format(" (1/N = %.1f %%)", 100.0 * fair);
}

} // namespace qvx
