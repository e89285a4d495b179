// The gsmsim program as an operator or the demo runs it: its device line, its console on
// stdin and on the control socket, the submissions it prints, and a clean exit on a signal.
#include "infra/UniqueFd.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "tools/PtyClient.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qvx {
namespace {

// Reads from fd until the text holds marker or timeoutMs passes; returns all that was read.
std::string ReadUntil(int fd, std::string& pending, std::string_view marker, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pending.find(marker) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[1024];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(got));
    }
    return pending;
}

// The program with its console on a pipe; its output and errors come back on another.
class TProgram {
public:
    explicit TProgram(const std::vector<std::string>& arguments) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            return;
        TUniqueFd childIn(in[0]);
        FIn.Reset(in[1]);
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        TUniqueFd childOut(out[1]);
        FOut.Reset(out[0]);
        std::vector<std::string> args{std::string(QVX_BINARY_DIR) + "/gsmsim"};
        args.insert(args.end(), arguments.begin(), arguments.end());
        FChild.Start({.Args = args, .InFd = childIn.Get(), .OutFd = childOut.Get()});
    }
    bool Running() const { return FChild.Started(); }
    void Type(const std::string& line) { (void)!write(FIn.Get(), line.data(), line.size()); }
    std::string Output(std::string_view marker, int timeoutMs = 10000) {
        return ReadUntil(FOut.Get(), FPending, marker, timeoutMs);
    }
    void CloseInput() { FIn.Reset(); }
    // The exit status, or -1 when the program does not end within timeoutMs.
    int WaitExit(int timeoutMs) { return FChild.WaitExit(timeoutMs).value_or(-1); }
    pid_t Pid() const { return FChild.Pid(); }

private:
    // Declared first so that the child is killed before its pipes close.
    TUniqueFd FIn;
    TUniqueFd FOut;
    test::TChildProcess FChild;
    std::string FPending;
};

int Connect(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return fd;
        usleep(10000);
    }
    close(fd);
    return -1;
}

TEST(GsmsimProgramTest, ServesTheConsoleAndPrintsSubmissions) {
    test::TTempDir dir;
    TProgram program({"--link", dir.File("modem"), "--control", dir.File("ctl"), "--pin", "4321"});
    ASSERT_TRUE(program.Running());
    std::string banner = program.Output("\n");
    ASSERT_NE(banner.find("gsmsim: terminal /dev/pts/"), std::string::npos) << banner;
    EXPECT_NE(banner.find("(link " + dir.File("modem") + ")"), std::string::npos) << banner;

    int control = Connect(dir.File("ctl"));
    ASSERT_GE(control, 0) << "control socket";
    std::string reply;
    std::string request = "store +12345 hello\n";
    ASSERT_EQ(write(control, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    EXPECT_EQ(ReadUntil(control, reply, "\n", 10000), "stored at 1\n");
    close(control);

    test::TPtyClient modem(dir.File("modem"));
    ASSERT_TRUE(modem.IsOpen());
    EXPECT_EQ(modem.Command("atq0v1e0"), "atq0v1e0\r\r\nOK\r\n");
    EXPECT_EQ(modem.Command("at+cpin=4321"), "\r\nOK\r\n") << "the PIN option";
    EXPECT_NE(modem.Command("at+cmgl=4").find("+CMGL: 1,0,,"), std::string::npos);
    modem.Send("at+cmgs=16\r");
    ASSERT_EQ(modem.ReadUntil("> "), "\r\n> ");
    modem.Send("0011000591214"
               "3F50000C405E8329BFD06\x1A");
    EXPECT_EQ(modem.ReadAnswer(), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    EXPECT_NE(program.Output("hello\n").find("SMS to 12345 [7-bit]: hello\n"), std::string::npos);

    program.Type("inject \\r\\nRING\\r\\n\n");
    EXPECT_EQ(modem.ReadUntil("RING\r\n"), "\r\nRING\r\n") << "stdin commands work too";

    kill(program.Pid(), SIGTERM);
    EXPECT_EQ(program.WaitExit(10000), 0) << "SIGTERM ends the program cleanly";
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.File("modem"))));
    EXPECT_FALSE(std::filesystem::exists(dir.File("ctl")));
}

// One program, one terminal for each link: a console line reaches the terminal it names, and
// a submission is printed with its terminal's number.
TEST(GsmsimProgramTest, RunsATerminalForEachLink) {
    test::TTempDir dir;
    TProgram program({"--link", dir.File("one"), "--link", dir.File("two")});
    ASSERT_TRUE(program.Running());
    std::string banner = program.Output("help for the commands");
    EXPECT_NE(banner.find("gsmsim: terminal 1: /dev/pts/"), std::string::npos) << banner;
    EXPECT_NE(banner.find("(link " + dir.File("two") + ")"), std::string::npos) << banner;

    test::TPtyClient one(dir.File("one"));
    test::TPtyClient two(dir.File("two"));
    ASSERT_TRUE(one.IsOpen() && two.IsOpen());
    program.Type("@2 store +12345 hello\n@3 stored\n");
    EXPECT_NE(program.Output("(1..2)").find("stored at 1\nerror: no terminal '3' (1..2)"),
              std::string::npos);
    EXPECT_EQ(one.Command("at+cmgl=4"), "at+cmgl=4\r\r\nOK\r\n") << "terminal 1 got nothing";
    EXPECT_NE(two.Command("at+cmgl=4").find("+CMGL: 1,0,,"), std::string::npos);

    program.Type("terminal 1\ndelay 0\nterminal 2\nstore +12345 again\n");
    EXPECT_NE(program.Output("stored at 2\n").find("terminal 2\nstored at 2\n"), std::string::npos)
        << "the chosen terminal takes the lines that follow";
    two.Send("at+cmgs=16\r");
    ASSERT_EQ(two.ReadUntil("> "), "at+cmgs=16\r\r\n> ");
    two.Send("00110005912143F50000C405E8329BFD06\x1A");
    EXPECT_NE(two.ReadAnswer().find("+CMGS: 0"), std::string::npos);
    EXPECT_NE(program.Output("hello\n").find("[2] SMS to 12345 [7-bit]: hello\n"),
              std::string::npos);
    program.CloseInput();
    EXPECT_EQ(program.WaitExit(10000), 0);
}

TEST(GsmsimProgramTest, EndOfInputEndsTheProgram) {
    TProgram program({"--quiet"});
    ASSERT_TRUE(program.Running());
    EXPECT_NE(program.Output("\n").find("gsmsim: terminal"), std::string::npos);
    program.CloseInput();
    EXPECT_EQ(program.WaitExit(10000), 0);
}

TEST(GsmsimProgramTest, RefusesUnknownOptions) {
    struct TCase {
        std::vector<std::string> Arguments;
        const char* Note;
    };
    const TCase cases[] = {
        {{"--bogus"}, "unknown option"},
        {{"--baud"}, "value missing"},
        {{"--sim-busy", "many"}, "not a number"},
        {{"--baud", "-5"}, "negative"},
        {{"--link", "/tmp/x", "--link", "/tmp/x"}, "two terminals behind one link"},
    };
    for (const TCase& c : cases) {
        TProgram program(c.Arguments);
        ASSERT_TRUE(program.Running());
        EXPECT_EQ(program.WaitExit(10000), 2) << c.Note;
        EXPECT_NE(program.Output("\n").find("usage: gsmsim"), std::string::npos) << c.Note;
    }
}

TEST(GsmsimProgramTest, AnswersHelpAndVersionAndSucceeds) {
    struct TCase {
        std::vector<std::string> Arguments;
        const char* Expected;
    };
    const TCase cases[] = {
        {{"--help"}, "usage: gsmsim"},
        {{"--link", "/tmp/x", "-h"}, "usage: gsmsim"},
        {{"--version"}, "gsmsim 1.0.0"},
    };
    for (const TCase& c : cases) {
        TProgram program(c.Arguments);
        ASSERT_TRUE(program.Running());
        EXPECT_EQ(program.WaitExit(10000), 0) << c.Expected;
        EXPECT_NE(program.Output("\n").find(c.Expected), std::string::npos) << c.Expected;
    }
}

TEST(GsmsimProgramTest, KeepsAFileInTheControlSocketsPlace) {
    test::TTempDir dir;
    dir.Write("ctl", "data");
    TProgram program({"--control", dir.File("ctl")});
    ASSERT_TRUE(program.Running());
    EXPECT_EQ(program.WaitExit(10000), 1);
    EXPECT_NE(program.Output("\n").find("is not a socket"), std::string::npos);
    EXPECT_EQ(dir.Read("ctl"), "data");
}

} // namespace
} // namespace qvx
