// What the simulated terminals of one or more services received in one run of numbered
// messages (TBenchDatabase::AddNumberedMessages): the rate from the first submission to the
// last, each terminal's and each service's part, and whether every text was acknowledged
// exactly once. Used by the benchmark's main thread.
#pragma once

#include "BenchHost.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qvx {

struct TDrain {
    double Rate = 0; // messages a second between the first submission and the last
    double SpanSec = 0;
    std::vector<size_t> PerTerminal; // accepted submissions, the hosts' terminals in order
    std::vector<size_t> PerHost;     // the same summed by host
    size_t Acknowledged = 0;         // texts acknowledged exactly once
    size_t Repeated = 0;             // texts acknowledged more than once
    int64_t Unstamped = 0;           // rows the database still holds pending

    // Every one of count messages acknowledged once, and stamped.
    bool EachOnce(int32_t count) const {
        return Acknowledged == size_t(count) && Repeated == 0 && Unstamped == 0;
    }
    // "2000 of 2000, 0 more than once, 0 rows unstamped".
    std::string OnceText(int32_t count) const;
};

// Waits until the hosts' terminals have recorded count submissions: the first within
// firstWaitSec, the rest within a minute plus a second a message per terminal after it. Then
// gives the database up to 10 s to stamp the last ones, and counts. Throws
// std::runtime_error when the submissions do not come in time.
TDrain AwaitDrain(const std::vector<const TBenchHost*>& hosts, TBenchDatabase& database,
                  int32_t count, int32_t firstWaitSec);

// "50.1 %, 49.9 % (1/N = 50.0 %)" for the parts; met when each lies within tolerance x 1/N
// of 1/N.
std::string ShareText(const std::vector<size_t>& parts, double tolerance, bool& met);

} // namespace qvx
