// Input that tries to harm the program through its edges: an INI file that is a FIFO,
// printf directives and line breaks in database and subscriber texts, control requests from
// another user, and a database password that must never reach a log.
#include "reliability/ReliabilityHarness.h"
#include "support/Text.h"

#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qvx::test {
namespace {

constexpr const char* NoHostLine = "Ошибка: Не задан адрес сервера базы данных (параметр 'Host')";
constexpr const char* AppliedLine = "Новые настройки применены";

class HostileInputTest : public TReliabilityTest {
protected:
    // The whole of both logs and the program's output, as written.
    std::string Everything() const {
        return FDir.Read("QuorvexSMS.log") + FDir.Read("Siemens.log") + FDir.Read("service.out") +
               FDir.Read("service.err");
    }
    bool AnyLineStartsWith(const std::vector<std::string>& lines, const std::string& start) {
        for (const std::string& line : lines)
            if (line.rfind(start, 0) == 0)
                return true;
        return false;
    }
};

TEST_F(HostileInputTest, AnIniFileThatIsAFifoReadsAsEmpty) {
    ASSERT_EQ(mkfifo(FDir.File("QuorvexSMS.ini").c_str(), 0600), 0) << std::strerror(errno);
    auto service = StartService();
    EXPECT_TRUE(WaitForLog(NoHostLine, 1, 15000))
        << "a FIFO must read as an empty file, not hold the start" << Diagnostics();
    StopService(*service);
}

TEST_F(HostileInputTest, PrintfDirectivesAndLineBreaksInTextsStayText) {
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const std::string outgoing = "100% %s%n%x%99999999s\r\nforged line";
    FDb->Exec("WITH a AS (INSERT INTO abonents (cellphone, name) VALUES ('+79161234567', 'F') "
              "RETURNING abonentid), m AS (INSERT INTO msglog (abonentid, msgtext) SELECT "
              "abonentid, E'100% %s%n%x%99999999s\\r\\nforged line' FROM a RETURNING msgid) "
              "INSERT INTO msgdelivery (msgid, chanid) SELECT msgid, 0 FROM m");
    WriteIni();
    auto service = StartReady();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(WaitUntil([&] { return FLedger.DistinctOf({outgoing}) == 1; }, 15000))
        << "the text with printf directives must go out unchanged" << Diagnostics();

    const std::string incoming = "%n%n%s%s\r\nforged";
    ASSERT_FALSE(FSim.StoreText("+79161234567", incoming).empty());
    EXPECT_TRUE(
        WaitForLog("Принято SMS. Номер: '79161234567', текст: '%n%n%s%s<cr><lf>forged'", 1, 15000))
        << "the received text must be logged as it is, line breaks shown" << Diagnostics();
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (const std::string& line : TerminalLog())
                if (line.find("текст=\"100% %s%n%x%99999999s<cr><lf>forged line\" отправлена") !=
                    std::string::npos)
                    return true;
            return false;
        },
        5000))
        << "the terminal log must show the sent text as it is" << Diagnostics();
    EXPECT_FALSE(AnyLineStartsWith(Log(), "forged")) << "a text forged a service log line";
    EXPECT_FALSE(AnyLineStartsWith(TerminalLog(), "forged")) << "a text forged a terminal line";
    EXPECT_TRUE(service->Running()) << Diagnostics();
    StopService(*service);
}

// A subscriber's text is UCS2 whenever it holds a code the default alphabet lacks, so every
// code from U+0001 up can arrive; a terminal that reads the log must not act on any of them.
TEST_F(HostileInputTest, ControlCodesInAReceivedTextReachNoLogRaw) {
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    WriteIni();
    auto service = StartReady();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_FALSE(FSim.StoreText("+79161234567", U8(u8"\x1b[2J\x1b]0;owned\x07 Привет")).empty());
    EXPECT_TRUE(WaitForLog("Принято SMS. Номер: '79161234567', текст: "
                           "'<1B>[2J<1B>]0;owned<07> Привет'",
                           1, 15000))
        << "the text is logged with its control codes shown" << Diagnostics();
    StopService(*service);
    for (const char* name : {"QuorvexSMS.log", "Siemens.log"}) {
        const std::string content = FDir.Read(name);
        for (size_t i = 0; i < content.size(); ++i) {
            const auto byte = static_cast<unsigned char>(content[i]);
            const bool lineEnd = content.compare(i, 2, "\r\n") == 0;
            if (lineEnd)
                ++i;
            else
                ASSERT_TRUE(byte >= 0x20 && byte != 0x7F && byte != 0x98)
                    << name << " holds the raw byte " << int(byte) << " at " << i;
        }
    }
}

// In a child that has become another user: connects to the control socket and sends 128.
// Exit code 0: the connection was refused; 1: the service answered "refused"; 2: it did
// something else. Only async-signal-safe calls after fork().
[[noreturn]] void ConnectAsNobody(const char* path) {
    if (setgid(65534) != 0 || setuid(65534) != 0)
        _exit(3);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        _exit(errno == EACCES ? 0 : 4);
    send(fd, "128\n", 4, MSG_NOSIGNAL);
    char reply[32] = {};
    const ssize_t got = recv(fd, reply, sizeof reply - 1, 0);
    _exit(got > 0 && std::strcmp(reply, "refused\n") == 0 ? 1 : 2);
}

int ExitOfChild(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(HostileInputTest, ControlCodesOnlyFromTheSameUserOrRoot) {
    FDir.Write("QuorvexSMS.ini", "[GSMTerminal]\r\nDevice=/dev/null\r\n");
    auto service = StartService();
    ASSERT_TRUE(WaitForLog(ReadyLine)) << Diagnostics();
    const std::string socketPath = FDir.File(".quorvexsms.control");
    struct stat info {};
    ASSERT_EQ(stat(socketPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "only the owner may open the control socket";
    if (geteuid() == 0) {
        // The folder is opened up so that only the socket's own mode stands in the way.
        ASSERT_EQ(chmod(FDir.Path().c_str(), 0711), 0);
        pid_t child = fork();
        if (child == 0)
            ConnectAsNobody(socketPath.c_str());
        EXPECT_EQ(ExitOfChild(child), 0) << "another user could connect to the control socket";
        // With the mode opened too, the peer's credentials must still turn the code away.
        ASSERT_EQ(chmod(socketPath.c_str(), 0666), 0);
        child = fork();
        if (child == 0)
            ConnectAsNobody(socketPath.c_str());
        EXPECT_EQ(ExitOfChild(child), 1) << "the service must answer another user \"refused\"";
        EXPECT_EQ(LogCountPrefix("Получена внешняя команда"), 0u)
            << "a refused code must not reach the service" << Diagnostics();
    }
    StopService(*service);
}

TEST_F(HostileInputTest, TheDatabasePasswordNeverReachesALog) {
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const std::string wrong = "Wr0ng-Pass-7d1e";
    std::string ini = FDb->IniSection();
    const std::string right = FDb->Server().Password;
    ini.replace(ini.find("Password=" + right), 9 + right.size(), "Password=" + wrong);
    FDir.Write("QuorvexSMS.ini", ini + "[GSMTerminal]\r\nDevice=" + FSim.LinkPath() + "\r\n");
    auto service = StartService();
    ASSERT_TRUE(WaitForLog(ReadyLine)) << Diagnostics();
    EXPECT_TRUE(WaitForLog(ErrorPrefix)) << "the failed login must be logged" << Diagnostics();

    SeedMessages(1, 1, "W");
    WriteIni();
    service->Signal(SIGHUP);
    ASSERT_TRUE(WaitForLog(AppliedLine)) << "the reload with the right password" << Diagnostics();
    service->Signal(SIGUSR1);
    EXPECT_TRUE(WaitUntil([&] { return FLedger.Total() == 1; }, 15000)) << Diagnostics();
    StopService(*service);
    const std::string everything = Everything();
    EXPECT_EQ(everything.find(wrong), std::string::npos) << "the wrong password was logged";
    EXPECT_EQ(everything.find(right), std::string::npos) << "the password was logged";
}

} // namespace
} // namespace qvx::test
