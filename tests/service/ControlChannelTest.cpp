#include "service/ControlChannel.h"

#include "support/TempDir.h"

#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qvx {
namespace {

using test::TTempDir;

// Waits up to 10 s for a client on the server's socket; a test that hangs here has no client.
bool ClientWaiting(const TControlServer& server) {
    pollfd p{server.Fd(), POLLIN, 0};
    return poll(&p, 1, 10000) == 1;
}

// A client that sends raw bytes, then reads the whole answer.
std::string RawRequest(const std::string& dir, const std::string& bytes, bool closeWrite) {
    TUniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir + ControlSocketName;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return "connect failed";
    if (!bytes.empty() && send(fd.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0)
        return "send failed";
    if (closeWrite)
        shutdown(fd.Get(), SHUT_WR);
    std::string answer;
    char buffer[256];
    ssize_t got;
    while ((got = read(fd.Get(), buffer, sizeof buffer)) > 0)
        answer.append(buffer, static_cast<size_t>(got));
    return answer;
}

TEST(ControlChannelTest, ChecksRequestLines) {
    struct TCase {
        std::string Line;
        TRequestCheck Check;
        int32_t Code;
    };
    const std::vector<TCase> cases = {
        {"128", TRequestCheck::Valid, 128},
        {"129\r", TRequestCheck::Valid, 129},
        {"255", TRequestCheck::Valid, 255},
        {"200", TRequestCheck::Valid, 200},
        {"127", TRequestCheck::OutOfRange, 0},
        {"256", TRequestCheck::OutOfRange, 0},
        {"0", TRequestCheck::OutOfRange, 0},
        {"000128", TRequestCheck::Valid, 128},
        {"999999999", TRequestCheck::OutOfRange, 0},
        {"12345678901234", TRequestCheck::OutOfRange, 0},
        {"", TRequestCheck::BadRequest, 0},
        {"\r", TRequestCheck::BadRequest, 0},
        {"abc", TRequestCheck::BadRequest, 0},
        {"12a", TRequestCheck::BadRequest, 0},
        {" 128", TRequestCheck::BadRequest, 0},
        {"-128", TRequestCheck::BadRequest, 0},
        {"128 129", TRequestCheck::BadRequest, 0},
        {std::string("12\0"
                     "8",
                     4),
         TRequestCheck::BadRequest, 0},
    };
    for (const TCase& c : cases) {
        int32_t code = 0;
        EXPECT_EQ(static_cast<int>(CheckControlRequest(c.Line, code)), static_cast<int>(c.Check))
            << "request \"" << c.Line << "\" checked wrongly";
        EXPECT_EQ(code, c.Code) << "request \"" << c.Line << "\" gave the wrong code";
    }
}

TEST(ControlChannelTest, SocketIsPrivateToTheOwner) {
    TTempDir dir;
    TControlServer server;
    ASSERT_TRUE(server.Open(dir.Path())) << server.FLastError;
    struct stat info {};
    ASSERT_EQ(stat(dir.File(ControlSocketName).c_str(), &info), 0) << "the socket file is missing";
    EXPECT_TRUE(S_ISSOCK(info.st_mode)) << "the control file must be a socket";
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "the socket must have mode 0600";
    server.Close();
    EXPECT_NE(access(dir.File(ControlSocketName).c_str(), F_OK), 0)
        << "a closed server must remove its socket";
}

TEST(ControlChannelTest, DeliversCodesAndTheirAnswers) {
    TTempDir dir;
    TControlServer server;
    ASSERT_TRUE(server.Open(dir.Path())) << server.FLastError;
    for (const bool handles : {true, false}) {
        std::string error;
        TControlResult result = TControlResult::Failed;
        std::thread client([&] { result = SendControlCode(dir.Path(), 200, error); });
        ASSERT_TRUE(ClientWaiting(server)) << "the client never connected";
        int32_t received = 0;
        server.ServeOne([&](int32_t code) {
            received = code;
            return handles;
        });
        client.join();
        EXPECT_EQ(received, 200) << "the handler must get the code the client sent";
        EXPECT_EQ(static_cast<int>(result),
                  static_cast<int>(handles ? TControlResult::Handled : TControlResult::NotHandled))
            << "the client must learn whether the code was handled; error: " << error;
    }
}

TEST(ControlChannelTest, AnswersStatusRequestsWithOneBoundedLine) {
    TTempDir dir;
    TControlServer server;
    ASSERT_TRUE(server.Open(dir.Path())) << server.FLastError;
    struct TCase {
        const char* Note;
        std::function<std::string()> Status;
        TControlResult Result;
        std::string Reply;
    };
    const std::vector<TCase> cases = {
        {"a status line", [] { return std::string("status\tnow=1\n"); }, TControlResult::Handled,
         "status\tnow=1"},
        {"no status at all", nullptr, TControlResult::Failed, ""},
        {"two lines", [] { return std::string("status\nstatus\n"); }, TControlResult::Failed, ""},
        {"too long a line", [] { return "status" + std::string(StatusReplyMax, 'x') + "\n"; },
         TControlResult::Failed, ""},
        {"the status fails", []() -> std::string { throw std::runtime_error("no"); },
         TControlResult::Failed, ""},
    };
    for (const TCase& c : cases) {
        std::string reply;
        std::string error;
        TControlResult result = TControlResult::Handled;
        std::thread client([&] { result = RequestStatus(dir.Path(), reply, error); });
        ASSERT_TRUE(ClientWaiting(server)) << c.Note << ": the client never connected";
        bool called = false;
        server.ServeOne([&](int32_t) { return called = true; }, c.Status);
        client.join();
        EXPECT_EQ(static_cast<int>(result), static_cast<int>(c.Result)) << c.Note << ": " << error;
        if (c.Result == TControlResult::Handled) {
            EXPECT_EQ(reply, c.Reply) << c.Note;
        } else {
            EXPECT_FALSE(error.empty()) << c.Note << ": a failure must be explained";
        }
        EXPECT_FALSE(called) << c.Note << ": a status request is no control code";
    }
}

TEST(ControlChannelTest, RejectsMalformedRequestsWithoutCallingTheHandler) {
    TTempDir dir;
    TControlServer server;
    ASSERT_TRUE(server.Open(dir.Path())) << server.FLastError;
    struct TCase {
        const char* Note;
        std::string Bytes;
        bool CloseWrite;
        std::string_view Reply;
    };
    const std::vector<TCase> cases = {
        {"code out of range", "300\n", false, ReplyOutOfRange},
        {"code below range", "5\n", false, ReplyOutOfRange},
        {"garbage", "hello\n", false, ReplyBadRequest},
        {"binary garbage", std::string("\x01\xff\x00\n", 4), false, ReplyBadRequest},
        {"empty line", "\n", false, ReplyBadRequest},
        {"overlong line", std::string(4000, '1'), false, ReplyBadRequest},
        {"long line of digits", std::string(15, '1') + "\n", false, ReplyOutOfRange},
        {"nothing at all", "", true, ReplyBadRequest},
        {"code without line feed, then end", "128", true, ReplyHandled},
        {"status without a status to give", "status\r\n", false, ReplyBadRequest},
    };
    for (const TCase& c : cases) {
        std::string answer;
        std::thread client([&] { answer = RawRequest(dir.Path(), c.Bytes, c.CloseWrite); });
        ASSERT_TRUE(ClientWaiting(server)) << c.Note << ": the client never connected";
        int32_t calls = 0;
        server.ServeOne([&](int32_t) { return ++calls > 0; });
        client.join();
        EXPECT_EQ(answer, c.Reply) << c.Note << ": wrong answer";
        EXPECT_EQ(calls, c.Reply == ReplyHandled ? 1 : 0)
            << c.Note << ": the handler must run for valid requests only";
    }
}

TEST(ControlChannelTest, ASilentClientIsDroppedAfterTheTimeout) {
    TTempDir dir;
    TControlServer server;
    ASSERT_TRUE(server.Open(dir.Path())) << server.FLastError;
    std::string answer;
    std::thread client([&] { answer = RawRequest(dir.Path(), "", false); });
    ASSERT_TRUE(ClientWaiting(server)) << "the client never connected";
    bool called = false;
    server.ServeOne([&](int32_t) { return called = true; });
    client.join();
    EXPECT_EQ(answer, ReplyBadRequest) << "a client that sends nothing must be told off";
    EXPECT_FALSE(called) << "no handler call without a request";
}

TEST(ControlChannelTest, OneServicePerDirectoryAndStaleSocketsAreReplaced) {
    TTempDir dir;
    {
        // A socket file whose owner is gone, as a killed service leaves it.
        TUniqueFd stale(socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        dir.File(ControlSocketName).copy(addr.sun_path, sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(stale.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    }
    std::string error;
    EXPECT_EQ(static_cast<int>(SendControlCode(dir.Path(), 128, error)),
              static_cast<int>(TControlResult::NotRunning))
        << "a stale socket must read as no service running";
    TControlServer first;
    ASSERT_TRUE(first.Open(dir.Path())) << "a stale socket must be replaced: " << first.FLastError;
    TControlServer second;
    EXPECT_FALSE(second.Open(dir.Path())) << "a second service for the directory must fail";
    EXPECT_NE(second.FLastError.find("уже запущена"), std::string::npos)
        << "the second service must say that one runs already: " << second.FLastError;
    EXPECT_EQ(access(dir.File(ControlSocketName).c_str(), F_OK), 0)
        << "the failed second service must leave the first one's socket alone";
}

TEST(ControlChannelTest, NoServiceMeansNotRunning) {
    TTempDir dir;
    std::string error;
    EXPECT_EQ(static_cast<int>(SendControlCode(dir.Path(), 128, error)),
              static_cast<int>(TControlResult::NotRunning))
        << "without a service the client must report that none runs";
    EXPECT_FALSE(error.empty()) << "the client must explain the failure";
}

TEST(ControlChannelTest, RefusesOtherUsers) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can act as another user here";
    TTempDir dir;
    TControlServer server;
    ASSERT_TRUE(server.Open(dir.Path())) << server.FLastError;
    // Open the door the file mode normally keeps shut, so that only the peer check remains.
    ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.File(ControlSocketName).c_str(), 0666), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0) << "fork failed";
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        std::string error;
        std::string reply;
        const auto code = static_cast<int>(SendControlCode(dir.Path(), 128, error));
        _exit(code * 10 + static_cast<int>(RequestStatus(dir.Path(), reply, error)));
    }
    bool connected = true;
    bool called = false;
    for (int request = 0; request < 2 && connected; ++request) {
        connected = ClientWaiting(server);
        if (connected)
            server.ServeOne([&](int32_t) { return called = true; },
                            [&] {
                                called = true;
                                return std::string("status\n");
                            });
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(connected) << "the other user's client never connected";
    EXPECT_FALSE(called) << "a request from another user must not reach the service";
    ASSERT_TRUE(WIFEXITED(status)) << "the other user's client crashed";
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(TControlResult::Refused) * 11)
        << "another user's client must be told that both its code and its status request were "
           "refused";
}

} // namespace
} // namespace qvx
