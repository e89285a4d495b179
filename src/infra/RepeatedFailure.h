// Decides which lines a failure that repeats identically writes to a log: its own line the
// first time, then at most one "повторяется: N раз" line per interval while it lasts, and a
// line when it ends. Pure logic with an injected clock; used by one thread (a retry loop).
#pragma once

#include "infra/Deadline.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qvx {

class TRepeatedFailure {
public:
    using TNow = std::function<TClock::time_point()>;
    static constexpr TClock::duration DefaultInterval = std::chrono::minutes(10);

    explicit TRepeatedFailure(TNow now = TClock::now, TClock::duration interval = DefaultInterval);

    // Whether the last attempt failed with exactly this line: the details a retry logs are then
    // the same as the first time's and can be left out.
    bool Repeats(const std::string& line) const { return FCount != 0 && line == FLine; }
    // Whether the last attempt failed at all.
    bool Active() const { return FCount != 0; }

    // An attempt failed with line; returns the lines to log now.
    std::vector<std::string> Failed(const std::string& line);
    // An attempt succeeded; returns the lines to log now (the end of a repeated failure).
    std::vector<std::string> Succeeded();

private:
    // The closing line of the failure in progress, when it was repeated; resets the state.
    std::vector<std::string> Close();

    TNow FNow;
    TClock::duration FInterval;
    std::string FLine;
    int64_t FCount = 0; // failures with FLine in a row; 0: no failure in progress
    TClock::time_point FLastWritten;
};

} // namespace qvx
