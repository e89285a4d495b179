#include "service/ServiceHost.h"

#include "infra/Thread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>

namespace qvx {

namespace {

constexpr auto StatusPeriod = std::chrono::seconds(1);

sigset_t HostSignals() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGPWR, SIGHUP, SIGUSR1})
        sigaddset(&set, signal);
    return set;
}

} // namespace

void BlockSignals() noexcept {
    // Every asynchronous signal waits for the host's signalfd; threads inherit the mask.
    BlockAsyncSignals();
}

TServiceHost::TServiceHost(TService& service, std::string dir, TSystemdNotify& notify,
                           std::function<bool()> systemStopping)
    : FService(service), FDir(std::move(dir)), FNotify(notify),
      FSystemStopping(std::move(systemStopping)) {}

int TServiceHost::Run() {
    if (!Setup())
        return 1;
    FService.SetRequestPump([this] { return Pump(0); });
    bool started = false;
    FService.ServiceStart(started);
    if (!started) {
        FService.SetRequestPump({});
        FLastError = "служба не запущена, причина записана в журнал службы";
        return 1;
    }
    FNotify.Ready();
    using TClock = std::chrono::steady_clock;
    auto nextReport = TClock::now();
    while (FPendingStop == TStopKind::None) {
        const auto now = TClock::now();
        if (now >= nextReport) {
            ReportStatus();
            nextReport = now + StatusPeriod;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextReport - now);
        Pump(static_cast<int>(std::max<int64_t>(wait.count(), 0)));
    }
    Finish();
    return 0;
}

bool TServiceHost::Setup() {
    const sigset_t signals = HostSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    FSignals.Reset(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!FSignals) {
        FLastError = std::string("не удалось принять сигналы: ") + std::strerror(errno);
        return false;
    }
    if (!FControl.Open(FDir)) {
        FLastError = FControl.FLastError;
        return false;
    }
    return true;
}

bool TServiceHost::Pump(int timeoutMs) {
    pollfd fds[2] = {{FSignals.Get(), POLLIN, 0}, {FControl.Fd(), POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) > 0) {
        if (fds[0].revents & POLLIN)
            ReadSignals();
        if (fds[1].revents & POLLIN)
            FControl.ServeOne([this](int32_t code) { return Control(code); },
                              [this] { return FService.StatusReport(); });
    }
    return FPendingStop != TStopKind::None;
}

void TServiceHost::ReadSignals() {
    signalfd_siginfo info;
    for (;;) {
        const ssize_t got = read(FSignals.Get(), &info, sizeof info);
        if (got < 0 && errno == EINTR)
            continue;
        if (got != static_cast<ssize_t>(sizeof info))
            return;
        HandleSignal(info.ssi_signo);
    }
}

void TServiceHost::HandleSignal(uint32_t signal) {
    switch (signal) {
    case SIGTERM:
        // systemd stops every service with SIGTERM, also when the machine goes down; only
        // the manager's own state tells the two apart.
        if (FPendingStop == TStopKind::None)
            FPendingStop =
                FSystemStopping && FSystemStopping() ? TStopKind::Shutdown : TStopKind::Stop;
        break;
    case SIGINT:
        if (FPendingStop == TStopKind::None)
            FPendingStop = TStopKind::Stop;
        break;
    case SIGPWR:
        FPendingStop = TStopKind::Shutdown;
        break;
    case SIGUSR1:
        Control(ControlProcess);
        break;
    case SIGHUP:
        Control(ControlReload);
        break;
    default:
        break;
    }
}

bool TServiceHost::Control(int32_t code) {
    // A service on its way down takes no more work.
    if (FPendingStop != TStopKind::None)
        return false;
    return FService.HandleCustomControl(code);
}

void TServiceHost::ReportStatus() {
    const std::string status = FService.StatusText();
    if (!status.empty() && status != FLastStatus) {
        FNotify.Status(status);
        FLastStatus = status;
    }
    const uint64_t watchdogUsec = FNotify.WatchdogUsec();
    if (watchdogUsec == 0)
        return;
    // Pinging only while the work went on within half the interval leaves systemd time to
    // see a stall and restart the service before it has been silent for long.
    const auto maxSilenceMs =
        static_cast<uint32_t>(std::min<uint64_t>(watchdogUsec / 2000, UINT32_MAX));
    if (FService.Healthy(maxSilenceMs))
        FNotify.Watchdog();
}

void TServiceHost::Finish() {
    FNotify.Stopping();
    // Clients asking now learn at once that no service listens any more.
    FControl.Close();
    FService.SetRequestPump({});
    if (FPendingStop == TStopKind::Shutdown) {
        FService.ServiceShutdown();
        return;
    }
    bool stopped = true;
    FService.ServiceStop(stopped);
}

} // namespace qvx
