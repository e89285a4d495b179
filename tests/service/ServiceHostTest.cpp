#include "service/ServiceHost.h"

#include "support/TempDir.h"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace qvx {
namespace {

using test::TTempDir;

// A service that records what the host asks of it, so that the host's dispatching can be
// checked; the driver thread of a test waits for these records before its next step.
class TRecordingService : public TService {
public:
    void ServiceStart(bool& started) override {
        Record("start");
        if (OnStart)
            OnStart(*this);
        started = StartOk;
    }
    void ServiceStop(bool&) override { Record("stop"); }
    void ServiceShutdown() override { Record("shutdown"); }
    bool HandleCustomControl(int32_t code) override {
        Record("control " + std::to_string(code));
        return HandlesControls;
    }
    std::string StatusText() const override { return "all well"; }
    bool Healthy(uint32_t maxSilenceMs) const override {
        SilenceSeen = maxSilenceMs;
        return IsHealthy;
    }

    bool Pump() { return ProcessRequests(); }

    void Record(const std::string& event) {
        std::lock_guard guard(FLock);
        FEvents.push_back(event);
        FChanged.notify_all();
    }
    bool WaitForEvents(size_t count) {
        std::unique_lock guard(FLock);
        return FChanged.wait_for(guard, std::chrono::seconds(10),
                                 [&] { return FEvents.size() >= count; });
    }
    std::vector<std::string> Events() {
        std::lock_guard guard(FLock);
        return FEvents;
    }

    bool StartOk = true;
    bool HandlesControls = true;
    bool IsHealthy = true;
    mutable uint32_t SilenceSeen = 0;
    std::function<void(TRecordingService&)> OnStart;

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<std::string> FEvents;
};

void Raise(int signal) {
    kill(getpid(), signal);
}

// The datagrams a service sends to systemd, caught on a socket named by NOTIFY_SOCKET.
class TNotifyReceiver {
public:
    explicit TNotifyReceiver(const std::string& path) : FFd(socket(AF_UNIX, SOCK_DGRAM, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        FBound = bind(FFd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~TNotifyReceiver() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
    }
    bool Bound() const { return FBound; }
    std::vector<std::string> Messages() const {
        std::vector<std::string> messages;
        char buffer[4096];
        ssize_t got;
        while ((got = recv(FFd.Get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            messages.emplace_back(buffer, static_cast<size_t>(got));
        return messages;
    }

private:
    TUniqueFd FFd;
    bool FBound = false;
};

class ServiceHostTest : public ::testing::Test {
protected:
    void SetUp() override { BlockSignals(); }

    // Runs the host on this thread while driver runs on another; returns Run's exit code.
    int RunWith(const std::function<void()>& driver, bool systemStopping = false) {
        TSystemdNotify notify;
        TServiceHost host(FService, FDir.Path(), notify, [=] { return systemStopping; });
        std::thread thread(driver);
        const int exitCode = host.Run();
        thread.join();
        FLastError = host.FLastError;
        return exitCode;
    }

    TTempDir FDir;
    TRecordingService FService;
    std::string FLastError;
};

TEST_F(ServiceHostTest, SignalsAndSocketRequestsReachTheHandlers) {
    TControlResult socketResult = TControlResult::Failed;
    const int exitCode = RunWith([&] {
        FService.WaitForEvents(1);
        Raise(SIGUSR1);
        FService.WaitForEvents(2);
        Raise(SIGHUP);
        FService.WaitForEvents(3);
        std::string error;
        socketResult = SendControlCode(FDir.Path(), 200, error);
        Raise(SIGTERM);
    });
    EXPECT_EQ(exitCode, 0) << "a stopped service must end with 0: " << FLastError;
    EXPECT_EQ(FService.Events(), (std::vector<std::string>{"start", "control 128", "control 129",
                                                           "control 200", "stop"}))
        << "SIGUSR1 must be code 128, SIGHUP code 129, a socket request its code, SIGTERM a stop";
    EXPECT_EQ(static_cast<int>(socketResult), static_cast<int>(TControlResult::Handled))
        << "the client must learn that its code was handled";
}

TEST_F(ServiceHostTest, EachStopSignalCallsItsHandler) {
    struct TCase {
        const char* Note;
        int Signal;
        bool SystemStopping;
        const char* Handler;
    };
    const std::vector<TCase> cases = {
        {"SIGTERM", SIGTERM, false, "stop"},
        {"SIGTERM while the system goes down", SIGTERM, true, "shutdown"},
        {"SIGINT", SIGINT, false, "stop"},
        {"SIGINT while the system goes down", SIGINT, true, "stop"},
        {"SIGPWR", SIGPWR, false, "shutdown"},
    };
    for (const TCase& c : cases) {
        TRecordingService service;
        TSystemdNotify notify;
        TServiceHost host(service, FDir.Path(), notify, [&] { return c.SystemStopping; });
        std::thread driver([&] {
            service.WaitForEvents(1);
            Raise(c.Signal);
        });
        const int exitCode = host.Run();
        driver.join();
        EXPECT_EQ(exitCode, 0) << c.Note << ": a stop must end with 0";
        EXPECT_EQ(service.Events(), (std::vector<std::string>{"start", c.Handler}))
            << c.Note << ": wrong handler";
    }
}

TEST_F(ServiceHostTest, AFailedStartEndsWithAnErrorAndNoStop) {
    FService.StartOk = false;
    const int exitCode = RunWith([] {});
    EXPECT_EQ(exitCode, 1) << "a failed start must end the process with 1";
    EXPECT_FALSE(FLastError.empty()) << "a failed start must say where to look";
    EXPECT_EQ(FService.Events(), (std::vector<std::string>{"start"}))
        << "after a failed start nothing else may be called";
    std::string error;
    EXPECT_EQ(static_cast<int>(SendControlCode(FDir.Path(), 128, error)),
              static_cast<int>(TControlResult::NotRunning))
        << "no socket may remain after the host has ended";
}

TEST_F(ServiceHostTest, ALongStartServesControlsAndKeepsAStopForLater) {
    bool stopSeen = false;
    FService.OnStart = [&](TRecordingService& service) {
        Raise(SIGUSR1);
        service.Pump();
        Raise(SIGTERM);
        stopSeen = service.Pump();
        Raise(SIGHUP); // after the stop request: no more work is taken
        service.Pump();
    };
    const int exitCode = RunWith([] {});
    EXPECT_TRUE(stopSeen) << "a stop during the start must be reported to the start handler";
    EXPECT_EQ(exitCode, 0) << "a stopped service must end with 0";
    const std::vector<std::string> events = FService.Events();
    EXPECT_EQ(events, (std::vector<std::string>{"start", "control 128", "stop"}))
        << "a control during the start must be handled, the stop must follow the start";
}

TEST_F(ServiceHostTest, ReportsToSystemd) {
    for (const bool healthy : {true, false}) {
        TNotifyReceiver receiver(FDir.File("notify"));
        ASSERT_TRUE(receiver.Bound()) << "cannot bind the notify socket";
        setenv("WATCHDOG_USEC", "30000000", 1);
        setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
        TRecordingService service;
        service.IsHealthy = healthy;
        TSystemdNotify notify;
        EXPECT_EQ(notify.WatchdogUsec(), 30000000u) << "the watchdog interval must be read";
        TServiceHost host(service, FDir.Path(), notify, [] { return false; });
        std::thread driver([&] {
            service.WaitForEvents(1);
            Raise(SIGTERM);
        });
        EXPECT_EQ(host.Run(), 0) << "a stopped service must end with 0";
        driver.join();
        std::vector<std::string> expected = {"READY=1", "STATUS=all well"};
        if (healthy)
            expected.push_back("WATCHDOG=1");
        expected.push_back("STOPPING=1");
        EXPECT_EQ(receiver.Messages(), expected)
            << "ready after the start, status and a watchdog ping only while healthy, "
               "stopping at the end (healthy: "
            << healthy << ")";
        EXPECT_EQ(service.SilenceSeen, 15000u)
            << "the work may be silent for half the watchdog interval";
        unlink(FDir.File("notify").c_str());
    }
}

TEST(SystemdNotifyTest, WithoutNotifySocketNothingIsSent) {
    unsetenv("NOTIFY_SOCKET");
    TSystemdNotify notify;
    EXPECT_EQ(notify.WatchdogUsec(), 0u) << "no watchdog without systemd";
    notify.Ready();
    notify.Watchdog();
    notify.Stopping(); // must simply do nothing
}

TEST(SystemdNotifyTest, AnUnreachableBusMeansAPlainStop) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/qvx-bus", 1);
    EXPECT_FALSE(SystemIsStopping()) << "without a system bus a SIGTERM must stay a stop";
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

} // namespace
} // namespace qvx
