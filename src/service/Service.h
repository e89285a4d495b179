// The service class of our small service framework: the handlers the host calls for a start,
// a stop, a system shutdown and a user-defined control code, in the manner of a service
// control manager. TQuorvexSMSSvc derives from it. All handlers run on the host's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace qvx {

class TService {
public:
    virtual ~TService() = default;

    // started := whether the service runs now; false makes the process end with an error.
    virtual void ServiceStart(bool& started) = 0;
    // stopped arrives true; the stop always proceeds.
    virtual void ServiceStop(bool& stopped) = 0;
    virtual void ServiceShutdown() = 0;
    // A code from 128 to 255; true when it was handled.
    virtual bool HandleCustomControl(int32_t code) = 0;

    // One line for the service manager's status display, UTF-8; empty for none.
    virtual std::string StatusText() const { return {}; }
    // The answer to a status request of the control channel: one line with its line feed;
    // empty when the service has none.
    virtual std::string StatusReport() const { return {}; }
    // False when the service's work has stalled for longer than maxSilenceMs, so that the
    // watchdog lets the service manager restart it.
    virtual bool Healthy(uint32_t /*maxSilenceMs*/) const { return true; }

    // Set by the host: lets a long start keep serving requests.
    void SetRequestPump(std::function<bool()> pump) { FRequestPump = std::move(pump); }

protected:
    // For handlers that wait a long time (a start): serves waiting control requests and notes
    // stop requests for later. True when a stop is pending.
    bool ProcessRequests() { return FRequestPump ? FRequestPump() : false; }

private:
    std::function<bool()> FRequestPump;
};

} // namespace qvx
