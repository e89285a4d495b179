#include "support/Waiting.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace qvx::test {

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs, int pollMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

std::string ZoneWithLocalHour(int localHour) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    int offset = ((localHour - utc.tm_hour) % 24 + 24) % 24;
    if (offset > 12)
        offset -= 24;
    // POSIX counts west of Greenwich as positive: UTC+3 is written "QVX-3".
    return "QVX" + std::string(offset > 0 ? "-" : "+") + std::to_string(std::abs(offset));
}

TZoneGuard::TZoneGuard(const std::string& zone) {
    if (const char* old = std::getenv("TZ")) {
        FHadOld = true;
        FOld = old;
    }
    setenv("TZ", zone.c_str(), 1);
    tzset();
}

TZoneGuard::~TZoneGuard() {
    if (FHadOld)
        setenv("TZ", FOld.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

} // namespace qvx::test
