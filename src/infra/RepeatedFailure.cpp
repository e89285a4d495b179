#include "infra/RepeatedFailure.h"

#include <utility>

namespace qvx {

TRepeatedFailure::TRepeatedFailure(TNow now, TClock::duration interval)
    : FNow(std::move(now)), FInterval(interval) {}

std::vector<std::string> TRepeatedFailure::Failed(const std::string& line) {
    if (Repeats(line)) {
        ++FCount;
        const TClock::time_point now = FNow();
        if (now - FLastWritten < FInterval)
            return {};
        FLastWritten = now;
        return {FLine + " - повторяется: " + std::to_string(FCount) + " раз"};
    }
    std::vector<std::string> lines = Close();
    FLine = line;
    FCount = 1;
    FLastWritten = FNow();
    lines.push_back(line);
    return lines;
}

std::vector<std::string> TRepeatedFailure::Succeeded() {
    return Close();
}

std::vector<std::string> TRepeatedFailure::Close() {
    const bool repeated = FCount > 1;
    FCount = 0;
    if (!repeated)
        return {};
    return {FLine + " - больше не повторяется"};
}

} // namespace qvx
