// Our service framework's host: runs one TService in the foreground until it is stopped. The
// calling thread (main, with every asynchronous signal already blocked in it) takes the
// signals through a signalfd and the control requests through the control channel (codes and
// status requests), and calls the service's handlers; no logic runs inside an asynchronous signal
// handler.
//   SIGTERM, SIGINT: stop (a SIGTERM while systemd takes the system down: shutdown)
//   SIGPWR: shutdown;  SIGUSR1: control code 128;  SIGHUP: control code 129
// It reports ready, stopping, status and watchdog pings to systemd.
#pragma once

#include "infra/UniqueFd.h"
#include "service/ControlChannel.h"
#include "service/Service.h"
#include "service/SystemdNotify.h"

#include <cstdint>
#include <functional>
#include <string>

namespace qvx {

constexpr int32_t ControlProcess = 128;
constexpr int32_t ControlReload = 129;

class TServiceHost {
public:
    // systemStopping tells a SIGTERM of a system shutdown from a plain one.
    TServiceHost(TService& service, std::string dir, TSystemdNotify& notify,
                 std::function<bool()> systemStopping = SystemIsStopping);
    TServiceHost(const TServiceHost&) = delete;
    TServiceHost& operator=(const TServiceHost&) = delete;

    // Runs the service: 0 after a stop or shutdown, 1 when the host could not be set up
    // (reason in FLastError, Windows-1251) or the service did not start.
    int Run();

    std::string FLastError;

private:
    enum class TStopKind { None, Stop, Shutdown };

    bool Setup();
    // Waits up to timeoutMs for signals and control requests and handles them. True when a
    // stop is pending.
    bool Pump(int timeoutMs);
    void ReadSignals();
    void HandleSignal(uint32_t signal);
    bool Control(int32_t code);
    void ReportStatus();
    void Finish();

    TService& FService;
    std::string FDir;
    TSystemdNotify& FNotify;
    std::function<bool()> FSystemStopping;
    TControlServer FControl;
    TUniqueFd FSignals;
    TStopKind FPendingStop = TStopKind::None;
    std::string FLastStatus;
};

// The signals the host takes; main blocks them (and the rest) before any thread exists.
void BlockSignals() noexcept;

} // namespace qvx
