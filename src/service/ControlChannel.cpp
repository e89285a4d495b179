#include "service/ControlChannel.h"

#include "infra/Decimal.h"
#include "service/CommandLine.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace qvx {

namespace {

std::string SystemError(int error) {
    return std::strerror(error);
}

// Fills addr with path; false when the path does not fit the socket address.
bool MakeAddress(const std::string& path, sockaddr_un& addr) noexcept {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

bool SendAll(int fd, std::string_view data) noexcept {
    while (!data.empty()) {
        const ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

// The service's own user and root may send codes; nobody else.
bool PeerAllowed(int fd) noexcept {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return false;
    return peer.uid == geteuid() || peer.uid == 0;
}

void SetTimeout(int fd, int option, int timeoutMs) noexcept {
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

} // namespace

TRequestCheck CheckControlRequest(std::string_view line, int32_t& code) noexcept {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    // Three digits hold every valid code; longer digit strings are out of range, not garbage.
    if (line.empty() || line.size() > 9)
        return line.empty() ? TRequestCheck::BadRequest : TRequestCheck::OutOfRange;
    const auto value = ParseDigits(line);
    if (!value)
        return TRequestCheck::BadRequest;
    if (*value < ControlCodeFirst || *value > ControlCodeLast)
        return TRequestCheck::OutOfRange;
    code = *value;
    return TRequestCheck::Valid;
}

std::optional<std::string> ReadLine(int fd, size_t maxBytes, int timeoutMs) noexcept {
    using TClock = std::chrono::steady_clock;
    const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    char buffer[64];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        const size_t room = std::min(sizeof buffer, maxBytes - line.size());
        const ssize_t got = recv(fd, buffer, room, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return line.empty() ? std::nullopt : std::optional<std::string>(line);
        line.append(buffer, static_cast<size_t>(got));
        const size_t end = line.find('\n');
        if (end != std::string::npos)
            return line.substr(0, end);
        if (line.size() >= maxBytes)
            return std::nullopt;
    }
}

TControlServer::~TControlServer() {
    Close();
}

bool TControlServer::Open(const std::string& dir) {
    FSocketPath = dir + ControlSocketName;
    sockaddr_un addr;
    if (!MakeAddress(FSocketPath, addr)) {
        FLastError = "слишком длинное имя сокета управления: " + FSocketPath;
        return false;
    }
    return TakeInstanceLock(dir) && Listen();
}

bool TControlServer::TakeInstanceLock(const std::string& dir) {
    const std::string path = dir + InstanceLockName;
    // A link planted in the folder is not followed: a service run as root would create or
    // lock whatever it points at.
    TUniqueFd lock(open(path.c_str(),
                        O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0600));
    if (!lock) {
        FLastError = "не удалось открыть файл блокировки " + path + ": " + SystemError(errno);
        return false;
    }
    if (flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        FLastError = error == EWOULDBLOCK
                         ? "служба для каталога " + dir + " уже запущена"
                         : "не удалось заблокировать файл " + path + ": " + SystemError(error);
        return false;
    }
    FLock = std::move(lock);
    return true;
}

bool TControlServer::Listen() {
    sockaddr_un addr;
    MakeAddress(FSocketPath, addr);
    // Holding the instance lock makes any socket file left here a stale one.
    if (unlink(FSocketPath.c_str()) != 0 && errno != ENOENT) {
        FLastError = "не удалось удалить старый сокет " + FSocketPath + ": " + SystemError(errno);
        return false;
    }
    TUniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        FLastError = "не удалось создать сокет управления: " + SystemError(errno);
        return false;
    }
    // The umask makes the socket file 0600 from the moment it exists; the host calls this
    // before it starts any thread, so no other file creation can race with it.
    const mode_t oldMask = umask(0177);
    const int bound = bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int bindError = errno;
    umask(oldMask);
    if (bound != 0 || listen(fd.Get(), 8) != 0) {
        const int error = bound != 0 ? bindError : errno;
        FLastError =
            "не удалось открыть сокет управления " + FSocketPath + ": " + SystemError(error);
        if (bound == 0)
            unlink(FSocketPath.c_str());
        return false;
    }
    FListen = std::move(fd);
    return true;
}

void TControlServer::Close() noexcept {
    if (!FListen)
        return;
    FListen.Reset();
    unlink(FSocketPath.c_str());
}

namespace {

bool IsStatusRequest(std::string_view line) noexcept {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line == StatusRequest;
}

// The status line, or a bad request when the service gives none or too long a one.
std::string_view StatusAnswer(const std::function<std::string()>& status, std::string& reply) {
    if (!status)
        return ReplyBadRequest;
    try {
        reply = status();
    } catch (...) {
        reply.clear();
    }
    if (reply.empty() || reply.size() > StatusReplyMax || reply.back() != '\n' ||
        reply.find('\n') != reply.size() - 1)
        return ReplyNotHandled;
    return reply;
}

} // namespace

void TControlServer::ServeOne(const std::function<bool(int32_t)>& handler,
                              const std::function<std::string()>& status) noexcept {
    if (!FListen)
        return;
    TUniqueFd client(accept4(FListen.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client)
        return;
    if (!PeerAllowed(client.Get())) {
        SendAll(client.Get(), ReplyRefused);
        return;
    }
    const std::optional<std::string> line =
        ReadLine(client.Get(), ControlRequestMax, ControlRequestTimeoutMs);
    if (line && IsStatusRequest(*line)) {
        std::string reply;
        SendAll(client.Get(), StatusAnswer(status, reply));
        return;
    }
    int32_t code = 0;
    const TRequestCheck check = line ? CheckControlRequest(*line, code) : TRequestCheck::BadRequest;
    if (check == TRequestCheck::BadRequest) {
        SendAll(client.Get(), ReplyBadRequest);
        return;
    }
    if (check == TRequestCheck::OutOfRange) {
        SendAll(client.Get(), ReplyOutOfRange);
        return;
    }
    bool handled = false;
    try {
        handled = handler(code);
    } catch (...) {
        handled = false;
    }
    SendAll(client.Get(), handled ? ReplyHandled : ReplyNotHandled);
}

namespace {

// Connects fd to the service's socket at path; on failure, the result and its explanation.
std::optional<TControlResult> ConnectControl(int fd, const std::string& dir,
                                             const std::string& path, std::string& error) {
    sockaddr_un addr;
    if (!MakeAddress(path, addr)) {
        error = "слишком длинное имя сокета управления: " + path;
        return TControlResult::Failed;
    }
    // A connect to a service whose queue of clients is full waits this long, then fails.
    SetTimeout(fd, SO_SNDTIMEO, ControlReplyTimeoutMs);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        return std::nullopt;
    const int connectError = errno;
    if (connectError == ENOENT || connectError == ECONNREFUSED) {
        error = "служба для каталога " + dir + " не запущена";
        return TControlResult::NotRunning;
    }
    if (connectError == EACCES || connectError == EPERM) {
        error = "нет прав на сокет управления " + path;
        return TControlResult::Refused;
    }
    error = "не удалось подключиться к " + path + ": " + SystemError(connectError);
    return TControlResult::Failed;
}

TControlResult InterpretReply(const std::string& reply, int32_t code, std::string& error) {
    const std::string answer = reply + "\n";
    if (answer == ReplyHandled)
        return TControlResult::Handled;
    if (answer == ReplyNotHandled) {
        error = "служба не обработала код " + std::to_string(code);
        return TControlResult::NotHandled;
    }
    if (answer == ReplyRefused) {
        error = "служба не принимает команды от этого пользователя";
        return TControlResult::Refused;
    }
    error = "служба отклонила запрос: " + reply;
    return TControlResult::Failed;
}

// Sends one request line to the service running for dir and reads its one-line answer.
std::optional<TControlResult> Exchange(const std::string& dir, const std::string& request,
                                       size_t replyMax, std::string& reply, std::string& error) {
    TUniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = "не удалось создать сокет: " + SystemError(errno);
        return TControlResult::Failed;
    }
    if (const auto failed = ConnectControl(fd.Get(), dir, dir + ControlSocketName, error))
        return *failed;
    // A service that refuses this user answers and hangs up without reading, so a failed
    // send may still leave its answer to read.
    const bool sent = SendAll(fd.Get(), request + "\n");
    const int sendError = errno;
    std::optional<std::string> answer = ReadLine(fd.Get(), replyMax, ControlReplyTimeoutMs);
    if (!answer) {
        error = sent ? "служба не ответила"
                     : "не удалось передать запрос службе: " + SystemError(sendError);
        return TControlResult::Failed;
    }
    reply = std::move(*answer);
    return std::nullopt;
}

} // namespace

TControlResult SendControlCode(const std::string& dir, int32_t code, std::string& error) {
    std::string reply;
    if (const auto failed = Exchange(dir, std::to_string(code), 64, reply, error))
        return *failed;
    return InterpretReply(reply, code, error);
}

TControlResult RequestStatus(const std::string& dir, std::string& reply, std::string& error) {
    if (const auto failed = Exchange(dir, std::string(StatusRequest), StatusReplyMax, reply, error))
        return *failed;
    if (reply.compare(0, StatusRequest.size(), StatusRequest) == 0)
        return TControlResult::Handled;
    if (reply + "\n" == ReplyRefused) {
        error = "служба не принимает запросы от этого пользователя";
        return TControlResult::Refused;
    }
    error = "служба не сообщила своё состояние: " + reply;
    return TControlResult::Failed;
}

} // namespace qvx
