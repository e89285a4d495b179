// Waiting in tests for what another thread or process makes true, and local time zones.
#pragma once

#include <functional>
#include <string>

namespace qvx::test {

// Polls until the condition holds or the timeout passes; returns the condition's last value.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000, int pollMs = 5);

// A POSIX TZ value under which the local hour is now localHour (UTC offsets up to 12 h).
std::string ZoneWithLocalHour(int localHour);

// Sets TZ for the life of the object (and for programs started meanwhile); set it before any
// thread that reads the local time starts.
class TZoneGuard {
public:
    explicit TZoneGuard(const std::string& zone);
    ~TZoneGuard();
    TZoneGuard(const TZoneGuard&) = delete;
    TZoneGuard& operator=(const TZoneGuard&) = delete;

private:
    bool FHadOld = false;
    std::string FOld;
};

} // namespace qvx::test
