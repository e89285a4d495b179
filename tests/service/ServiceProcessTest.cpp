// The real quorvexsms program in a temporary folder: its INI file and logs there, its terminal
// the GSM simulator on a pseudo-terminal, its database a fresh one on the test cluster.
#include "gsmsim/GsmSimulator.h"
#include "gsmsim/SimConsole.h"
#include "infra/LogFile.h"
#include "infra/UniqueFd.h"
#include "support/ChildProcess.h"
#include "support/PgFixture.h"
#include "support/TempDir.h"
#include "support/Text.h"
#include "support/Waiting.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace qvx {
namespace {

using test::TTempDir;
using test::U8;

constexpr const char* ServiceBinary = QVX_BINARY_DIR "/quorvexsms";

constexpr const char* StartLine = "*** Производится запуск службы... ***";
constexpr const char* ReadyLine = "*** Служба готова к работе ***";
constexpr const char* StopLine = "*** Служба завершает работу ***";
constexpr const char* ShutdownLine = "Обнаружено завершение работы операционной системы...";
constexpr const char* ProcessLine = "Получена внешняя команда обработки SMS...";
constexpr const char* ReloadLine = "Получена внешняя команда перезагрузки конфигурации...";
constexpr const char* AppliedLine = "Новые настройки применены";
constexpr const char* NoHostLine = "Ошибка: Не задан адрес сервера базы данных (параметр 'Host')";
constexpr const char* NoDeviceLine = "Ошибка: Не задан порт GSM терминала (параметр 'Device')";

// A process start or stop takes longer than a thread's step.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 15000) {
    return test::WaitUntil(condition, timeoutMs);
}

// One run of the program; killed and reaped if a test ends while it still runs.
class TProgram : public test::TChildProcess {
public:
    TProgram(const std::vector<std::string>& args, const std::string& outFile,
             const std::string& errFile) {
        std::vector<std::string> all{ServiceBinary};
        all.insert(all.end(), args.begin(), args.end());
        Start({.Args = all, .OutFile = outFile, .ErrFile = errFile});
    }
};

class ServiceProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(access(ServiceBinary, X_OK), 0)
            << "the program " << ServiceBinary << " is missing: build the quorvexsms target";
    }

    // Runs the program to its end (at most 15 s); returns its exit code, -1 if it hung.
    int RunToEnd(const std::vector<std::string>& args) {
        TProgram program(args, FDir.File("out.txt"), FDir.File("err.txt"));
        if (!program.Started())
            return -1;
        return program.WaitExit(15000).value_or(-1);
    }
    std::string Err() const { return FDir.Read("err.txt"); }
    std::string Out() const { return FDir.Read("out.txt"); }

    std::unique_ptr<TProgram> StartService() {
        auto service =
            std::make_unique<TProgram>(std::vector<std::string>{"--dir", FDir.Path()},
                                       FDir.File("service.out"), FDir.File("service.err"));
        EXPECT_TRUE(service->Started()) << "cannot start " << ServiceBinary;
        return service;
    }

    // The messages of the service log without their stamps, as written (cp1251).
    std::vector<std::string> Log() const {
        const std::string content = FDir.Read("QuorvexSMS.log");
        return qvx::LogMessages(content);
    }
    size_t LogCount(const std::string& message) const {
        const auto log = Log();
        return static_cast<size_t>(std::count(log.begin(), log.end(), message));
    }
    bool WaitForLog(const std::string& message, size_t count = 1) const {
        return WaitUntil([&] { return LogCount(message) >= count; });
    }
    // The log as UTF-8, for failure messages.
    std::string LogText() const {
        std::string text;
        for (const std::string& message : Log())
            text += "\n  | " + message;
        return text;
    }
    // Only the service module's own lines, in their order.
    std::vector<std::string> ServiceLines() const {
        const std::vector<std::string> own = {"",           StartLine,   ReadyLine, StopLine,
                                              ShutdownLine, ProcessLine, ReloadLine};
        std::vector<std::string> lines;
        for (const std::string& message : Log())
            if (std::find(own.begin(), own.end(), message) != own.end())
                lines.push_back(message);
        return lines;
    }
    // Sends SIGTERM (or another stop signal) and expects the end with exit code 0. A stop takes
    // about a second; the rest of the allowance is for a loaded machine and sanitizer builds.
    void StopAndExpectExit(TProgram& service, int signal) {
        service.Signal(signal);
        const std::optional<int> exitCode = service.WaitExit(5000);
        ASSERT_TRUE(exitCode.has_value()) << "the service must end within 5 s of the signal";
        EXPECT_EQ(*exitCode, 0) << "a stopped service must exit with 0; stderr: "
                                << FDir.Read("service.err");
        EXPECT_NE(access(FDir.File(".quorvexsms.control").c_str(), F_OK), 0)
            << "the control socket must be gone after the stop";
    }

    TTempDir FDir;
};

// Tests that need the database as well: a fresh one per test.
class ServiceDatabaseTest : public ServiceProcessTest {
protected:
    void SetUp() override {
        ServiceProcessTest::SetUp();
        if (HasFatalFailure())
            return;
        std::string missing;
        const auto server = test::TPgServer::FromEnvironment(missing);
        ASSERT_TRUE(server) << "this test needs the PostgreSQL cluster that scripts/test starts; "
                               "missing environment: "
                            << missing;
        FDb = std::make_unique<test::TPgDatabase>(*server);
        FSim.SetLinkPath(FDir.File("modem"));
        ASSERT_TRUE(FSim.Start()) << "the GSM simulator did not start: " << FSim.LastError();
    }

    // Values of the running service's status, read by a JSON parser from --status --json.
    std::vector<std::string> Status(const std::vector<std::string>& expressions) {
        if (RunToEnd({"--dir", FDir.Path(), "--status", "--json"}) != 0)
            return {"--status failed: " + Err()};
        return test::QueryJson(Out(), expressions)
            .value_or(std::vector<std::string>{"not JSON: " + Out()});
    }
    bool WaitForStatus(const std::vector<std::string>& expressions,
                       const std::vector<std::string>& expected) {
        return WaitUntil([&] { return Status(expressions) == expected; });
    }
    // Tells the simulator's console, as an operator would.
    void Console(const std::string& command) {
        bool quit = false;
        EXPECT_EQ(TSimConsole(FSim).Execute(command, quit), "ok\n") << command;
    }

    void WriteIni(bool withDevice) {
        FDir.Write("QuorvexSMS.ini", FDb->IniSection() + "[GSMTerminal]\r\n" +
                                         (withDevice ? "Device=" + FSim.LinkPath() + "\r\n" : "") +
                                         "ModemTimeout=1000\r\n");
    }

    std::unique_ptr<test::TPgDatabase> FDb;
    TGsmSimulator FSim;
};

TEST_F(ServiceDatabaseTest, StartsAndStopsWithItsLinesInOrder) {
    WriteIni(true);
    auto service = StartService();
    ASSERT_TRUE(WaitForLog(ReadyLine)) << "the service never got ready:" << LogText();
    EXPECT_TRUE(WaitUntil([&] { return !FSim.CommandLog().empty(); }))
        << "the terminal thread never talked to the simulator";
    StopAndExpectExit(*service, SIGTERM);
    EXPECT_EQ(ServiceLines(), (std::vector<std::string>{"", StartLine, ReadyLine, StopLine}))
        << "wrong service lines:" << LogText();
    for (const std::string& message : Log())
        EXPECT_NE(message.rfind("Ошибка", 0), 0u) << "a clean start logged an error:" << LogText();
}

TEST_F(ServiceDatabaseTest, MissingDeviceWaitsForAReloadThatNamesIt) {
    WriteIni(false);
    auto service = StartService();
    ASSERT_TRUE(WaitForLog(ReadyLine)) << "the service must get ready anyway:" << LogText();
    EXPECT_EQ(LogCount(NoDeviceLine), 1u) << "the worker's error line is missing:" << LogText();
    EXPECT_TRUE(FSim.CommandLog().empty()) << "no terminal may run without a Device";

    WriteIni(true);
    service->Signal(SIGHUP);
    ASSERT_TRUE(WaitForLog(AppliedLine)) << "SIGHUP must reload:" << LogText();
    EXPECT_TRUE(WaitUntil([&] { return !FSim.CommandLog().empty(); }))
        << "after the reload the terminal thread must talk to the simulator";

    // A second reload restarts the running terminal.
    service->Signal(SIGHUP);
    ASSERT_TRUE(WaitForLog(AppliedLine, 2)) << "the second reload did not finish:" << LogText();
    StopAndExpectExit(*service, SIGINT);
    EXPECT_EQ(ServiceLines(), (std::vector<std::string>{"", StartLine, ReadyLine, ReloadLine,
                                                        ReloadLine, StopLine}))
        << "wrong service lines:" << LogText();
}

TEST_F(ServiceDatabaseTest, StatusShowsWhatMovesInTheRunningService) {
    FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+79161234567', 'A', 5)");
    WriteIni(true);
    const test::TZoneGuard zone(test::ZoneWithLocalHour(12)); // the sending window is open
    auto service = StartService();
    ASSERT_TRUE(WaitForLog(ReadyLine)) << "the service never got ready:" << LogText();
    const std::vector<std::string> network = {"d['terminal']['name']", "d['network']['name']",
                                              "d['network']['signal_dbm']"};
    EXPECT_TRUE(WaitForStatus(network, {"working", "home", "-73"}))
        << "the working terminal must show the network: " << Out();

    const std::vector<std::string> counts = {
        "d['counts']['received']",           "d['counts']['requests_answered']",
        "d['counts']['acknowledged']",       "d['last_acknowledged_at'] is not None",
        "d['last_received_at'] is not None", "d['database']['state']"};
    EXPECT_EQ(Status(counts),
              (std::vector<std::string>{"0", "0", "0", "false", "false", "reachable"}));
    FSim.StoreText("+79161234567", "1");
    ASSERT_TRUE(FSim.WaitForSubmitted(1, 15000)) << "the request was not answered:" << LogText();
    EXPECT_TRUE(WaitForStatus(counts, {"1", "1", "1", "true", "true", "reachable"}))
        << "the answered and acknowledged request must be counted: " << Out();
    EXPECT_TRUE(
        WaitForStatus({"d['queue']['outgoing']", "d['queue']['oldest_age_sec']"}, {"0", "null"}))
        << "the answer must leave the queue: " << Out();

    // The operator takes the network away in the simulator; a reload asks the terminal anew.
    Console("creg 2");
    ASSERT_EQ(RunToEnd({"--dir", FDir.Path(), "--control", "129"}), 0) << Err();
    EXPECT_TRUE(WaitForStatus(network, {"working", "searching", "-73"}))
        << "a lost registration must show: " << Out();
    Console("creg 1");
    ASSERT_EQ(RunToEnd({"--dir", FDir.Path(), "--control", "129"}), 0) << Err();
    EXPECT_TRUE(WaitForStatus(network, {"working", "home", "-73"}))
        << "a regained registration must show: " << Out();

    ASSERT_EQ(RunToEnd({"--dir", FDir.Path(), "--status"}), 0) << Err();
    EXPECT_NE(Out().find(U8(u8"Сеть: домашняя сеть, сигнал -73 дБм")), std::string::npos)
        << "the plain form must speak Russian in UTF-8: " << Out();
    EXPECT_NE(Out().find(U8(u8"принято 1, обслужено запросов 1")), std::string::npos) << Out();
    StopAndExpectExit(*service, SIGTERM);
}

TEST_F(ServiceProcessTest, MissingHostIsLoggedAndTheServiceRunsOn) {
    FDir.Write("QuorvexSMS.ini", "[GSMTerminal]\r\nDevice=/dev/null\r\n");
    auto service = StartService();
    ASSERT_TRUE(WaitForLog(ReadyLine)) << "the service must get ready anyway:" << LogText();
    EXPECT_EQ(LogCount(NoHostLine), 1u) << "the worker's error line is missing:" << LogText();

    service->Signal(SIGUSR1);
    ASSERT_TRUE(WaitForLog(ProcessLine)) << "SIGUSR1 must be control code 128:" << LogText();
    service->Signal(SIGHUP);
    ASSERT_TRUE(WaitForLog(NoHostLine, 2)) << "SIGHUP must reload and fail again:" << LogText();
    EXPECT_EQ(LogCount(AppliedLine), 0u) << "a failed reload must not claim success";

    StopAndExpectExit(*service, SIGPWR);
    EXPECT_EQ(ServiceLines(), (std::vector<std::string>{"", StartLine, ReadyLine, ProcessLine,
                                                        ReloadLine, ShutdownLine, StopLine}))
        << "SIGPWR must write the shutdown line before the stop line:" << LogText();
}

// A server that takes the connection and never answers holds the start for the whole
// connection timeout (15 s): a stop meanwhile ends the service at once.
TEST_F(ServiceProcessTest, AStopDuringTheStartEndsItAtOnce) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    FDir.Write("QuorvexSMS.ini",
               "[Database]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(ntohs(address.sin_port)) +
                   "\r\nDBName=x\r\nUserName=u\r\n[GSMTerminal]\r\n"
                   "Device=/dev/null\r\n");
    auto service = StartService();
    ASSERT_TRUE(WaitForLog(StartLine)) << LogText();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    service->Signal(SIGTERM);
    const std::optional<int> exitCode = service->WaitExit(5000);
    close(listener);
    ASSERT_TRUE(exitCode.has_value()) << "the stop must not wait for the connection timeout";
    EXPECT_EQ(*exitCode, 0);
    EXPECT_EQ(LogCount(ReadyLine), 0u) << "a start broken off is never ready:" << LogText();
}

// The folder belongs to the service's user, who may plant links in it: root runs the commands
// with that user's rights, and the service run by root follows none of the links.
TEST_F(ServiceProcessTest, RootFollowsNoLinkInTheFolderAndActsAsItsOwner) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can show what root does";
    const TTempDir outside; // root's own, 0700
    outside.Write("device", "root's");
    ASSERT_EQ(chmod(outside.File("device").c_str(), 0600), 0);
    const char* const planted[] = {".quorvexsms.lock", "QuorvexSMS.log", "Siemens.log",
                                   ".quorvexsms.control"};
    for (const char* name : planted)
        ASSERT_EQ(symlink(outside.File(name).c_str(), FDir.File(name).c_str()), 0) << name;
    FDir.Write("QuorvexSMS.ini", "[GSMTerminal]\r\nDevice=" + outside.File("device") + "\r\n");
    ASSERT_EQ(chown(FDir.Path().c_str(), 65534, 65534), 0) << "the folder becomes nobody's";

    EXPECT_EQ(RunToEnd({"--dir", FDir.Path(), "--check"}), 1) << Out() << Err();
    // Root would open the file and find it no terminal; its owner may not open it at all.
    EXPECT_NE(Out().find(U8(u8"Указанный порт занят другим приложением")), std::string::npos)
        << "as the folder's owner the check may not open root's file:" << Out();
    EXPECT_EQ(RunToEnd({"--dir", FDir.Path(), "--status"}), 1) << Err();
    EXPECT_NE(Err().find(U8(u8"нет прав на сокет")), std::string::npos)
        << "the socket's link leads where the folder's owner may not go: " << Err();
    EXPECT_EQ(RunToEnd({"--dir", FDir.Path(), "--control", "128"}), 1) << Err();
    EXPECT_NE(RunToEnd({"--dir", FDir.Path()}), 0) << "a linked lock file must stop the start";

    // Without the lock's link the service runs as root; its logs are links and lose the lines.
    ASSERT_EQ(unlink(FDir.File(".quorvexsms.lock").c_str()), 0);
    auto service = StartService();
    ASSERT_TRUE(WaitUntil([&] {
        struct stat info {};
        return lstat(FDir.File(".quorvexsms.control").c_str(), &info) == 0 &&
               S_ISSOCK(info.st_mode);
    })) << "the service must replace the socket's link with its socket: "
        << Err();
    StopAndExpectExit(*service, SIGTERM);
    EXPECT_EQ(outside.Read("device"), "root's");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside.Path()), {}), 1)
        << "nothing may be created outside the folder";

    // An owner without an account: refused, not run as root.
    ASSERT_EQ(chown(FDir.Path().c_str(), 54321, 54321), 0);
    EXPECT_EQ(RunToEnd({"--dir", FDir.Path(), "--check"}), 1);
    EXPECT_NE(Err().find(U8(u8"не найден среди пользователей")), std::string::npos) << Err();
}

TEST_F(ServiceProcessTest, ControlCodesFromTheCommandLine) {
    FDir.Write("QuorvexSMS.ini", "[GSMTerminal]\r\nDevice=/dev/null\r\n");
    auto service = StartService();
    ASSERT_TRUE(WaitForLog(ReadyLine)) << "the service never got ready:" << LogText();
    const size_t before = Log().size();

    EXPECT_EQ(RunToEnd({"--dir", FDir.Path(), "--control", "200"}), 0)
        << "code 200 must be handled; stderr: " << Err();
    EXPECT_EQ(RunToEnd({"--dir", FDir.Path(), "--control", "128"}), 0)
        << "code 128 must be handled; stderr: " << Err();
    ASSERT_TRUE(WaitForLog(ProcessLine)) << "code 128 must write its line:" << LogText();
    EXPECT_EQ(Log().size(), before + 1) << "code 200 must write nothing:" << LogText();
    EXPECT_EQ(RunToEnd({"--dir", FDir.Path(), "--control", "129"}), 0)
        << "code 129 must be handled; stderr: " << Err();
    EXPECT_TRUE(WaitForLog(ReloadLine)) << "code 129 must write its line:" << LogText();

    EXPECT_EQ(RunToEnd({"--dir", FDir.Path(), "--control", "300"}), 2)
        << "a code out of range must be a usage error";
    EXPECT_NE(Err().find("128"), std::string::npos) << "the error must name the range: " << Err();

    TTempDir other;
    EXPECT_EQ(RunToEnd({"--dir", other.Path(), "--control", "128"}), 1)
        << "a code for a folder without a service must fail";
    EXPECT_NE(Err().find(U8(u8"не запущена")), std::string::npos)
        << "the error must say that no service runs: " << Err();
    EXPECT_EQ(RunToEnd({"--dir", other.Path(), "--status"}), 3)
        << "a status for a folder without a service must exit with 3";

    EXPECT_EQ(RunToEnd({"--dir", FDir.Path()}), 1) << "a second service for the folder must fail";
    EXPECT_NE(Err().find(U8(u8"уже запущена")), std::string::npos)
        << "the second service must say that one runs already: " << Err();
    EXPECT_EQ(LogCount(StartLine), 1u) << "the second service must not write to the log";

    StopAndExpectExit(*service, SIGTERM);
}

TEST_F(ServiceProcessTest, ReportsToSystemdThroughTheNotifySocket) {
    FDir.Write("QuorvexSMS.ini", "[GSMTerminal]\r\nDevice=/dev/null\r\n");
    const std::string socketPath = FDir.File("notify");
    TUniqueFd receiver(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socketPath.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(receiver.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0)
        << "cannot bind the notify socket";
    // The child inherits these; WATCHDOG_PID is left out because any pid is then accepted.
    setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
    setenv("WATCHDOG_USEC", "2000000", 1);
    auto service = StartService();
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");

    // Waits for the next datagram that starts with prefix; the others are skipped.
    const auto next = [&](const std::string& prefix) -> std::string {
        char buffer[4096];
        for (;;) {
            pollfd p{receiver.Get(), POLLIN, 0};
            if (poll(&p, 1, 15000) != 1)
                return "(nothing)";
            const ssize_t got = recv(receiver.Get(), buffer, sizeof buffer, 0);
            const std::string message(buffer, static_cast<size_t>(std::max<ssize_t>(got, 0)));
            if (message.rfind(prefix, 0) == 0)
                return message;
        }
    };
    ASSERT_EQ(next("READY"), "READY=1") << "the service must report ready";
    EXPECT_EQ(LogCount(ReadyLine), 1u) << "READY=1 must follow the ready line:" << LogText();
    const std::string status = next("STATUS");
    EXPECT_NE(status.find(U8(u8"ошибка запуска")), std::string::npos)
        << "the status must show the failed initialisation: " << status;
    EXPECT_NE(status.find(U8(u8"к отправке: 0")), std::string::npos)
        << "the status must show the queue lengths: " << status;
    EXPECT_NE(status.find(U8(u8"база данных: обращений ещё не было")), std::string::npos)
        << "the status must show the database: " << status;
    EXPECT_EQ(next("WATCHDOG"), "WATCHDOG=1") << "a live worker must feed the watchdog";
    service->Signal(SIGTERM);
    EXPECT_EQ(next("STOPPING"), "STOPPING=1") << "the stop must be reported";
    EXPECT_EQ(service->WaitExit(10000).value_or(-1), 0) << "the service must end with 0";
}

TEST_F(ServiceProcessTest, HelpVersionAndWrongCommandLines) {
    const std::string title = U8(u8"Служба \"Кворвекс SMS\"");
    EXPECT_EQ(RunToEnd({"--version"}), 0) << "--version must succeed";
    EXPECT_NE(Out().find(title + " 1.0.0"), std::string::npos)
        << "--version must print the title and version in UTF-8: " << Out();
    EXPECT_EQ(RunToEnd({"--help"}), 0) << "--help must succeed";
    EXPECT_NE(Out().find("--control"), std::string::npos) << "--help must show the usage";
    EXPECT_EQ(RunToEnd({"--frobnicate"}), 2) << "an unknown option must be a usage error";
    EXPECT_NE(Err().find("--control"), std::string::npos) << "the usage belongs on stderr";
    EXPECT_NE(Err().find("--frobnicate"), std::string::npos) << "the error must name the option";
    EXPECT_EQ(RunToEnd({"--dir", FDir.File("missing")}), 1)
        << "a service for a folder that does not exist cannot start";
    EXPECT_FALSE(Err().empty()) << "a failed start must say why on stderr";
}

} // namespace
} // namespace qvx
