#include "service/SystemdNotify.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>

namespace qvx {

namespace {

// A SIGTERM handler must not hang on a bus that does not answer: systemd gives the whole
// stop only TimeoutStopSec.
constexpr uint64_t BusTimeoutUsec = 1'000'000;

struct TBusCloser {
    void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
using TBus = std::unique_ptr<sd_bus, TBusCloser>;

} // namespace

TSystemdNotify::TSystemdNotify() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    FActive = socket != nullptr && *socket != '\0';
    uint64_t usec = 0;
    if (FActive && sd_watchdog_enabled(0, &usec) > 0)
        FWatchdogUsec = usec;
}

void TSystemdNotify::Send(const std::string& state) noexcept {
    if (FActive)
        sd_notify(0, state.c_str());
}

void TSystemdNotify::Ready() noexcept {
    Send("READY=1");
}

void TSystemdNotify::Stopping() noexcept {
    Send("STOPPING=1");
}

void TSystemdNotify::Status(const std::string& text) noexcept {
    try {
        Send("STATUS=" + text);
    } catch (...) {
        // A status line that cannot be built is skipped; the next one follows in a second.
    }
}

void TSystemdNotify::Watchdog() noexcept {
    if (FWatchdogUsec != 0)
        Send("WATCHDOG=1");
}

bool SystemIsStopping() noexcept {
    sd_bus* raw = nullptr;
    if (sd_bus_open_system(&raw) < 0)
        return false;
    TBus bus(raw);
    sd_bus_set_method_call_timeout(bus.get(), BusTimeoutUsec);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char* state = nullptr;
    const int result = sd_bus_get_property_string(
        bus.get(), "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
        "org.freedesktop.systemd1.Manager", "SystemState", &error, &state);
    sd_bus_error_free(&error);
    const bool stopping = result >= 0 && state != nullptr && std::strcmp(state, "stopping") == 0;
    std::free(state);
    return stopping;
}

} // namespace qvx
