// Reports of the service to systemd (Type=notify): ready, stopping, a status line and watchdog
// pings. Every report does nothing when the process was not started with NOTIFY_SOCKET. Used
// by the service host's thread only.
#pragma once

#include <cstdint>
#include <string>

namespace qvx {

class TSystemdNotify {
public:
    TSystemdNotify();

    void Ready() noexcept;
    void Stopping() noexcept;
    // One line for "systemctl status", UTF-8.
    void Status(const std::string& text) noexcept;
    void Watchdog() noexcept;
    // The watchdog interval systemd expects pings within; 0 when the unit sets none.
    uint64_t WatchdogUsec() const noexcept { return FWatchdogUsec; }

private:
    void Send(const std::string& state) noexcept;

    bool FActive = false;
    uint64_t FWatchdogUsec = 0;
};

// True when systemd reports that the whole system is going down (the manager's SystemState is
// "stopping"). Asks the manager over the system bus with a short timeout; a bus that cannot be
// reached means false, so that a stop stays a plain stop.
bool SystemIsStopping() noexcept;

} // namespace qvx
