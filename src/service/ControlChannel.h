// The control channel of a running service: a Unix socket in the service's directory through
// which "quorvexsms --control N" delivers a user-defined control code and "quorvexsms --status"
// asks for the service's status. Only the service's own
// user and root may use it (mode 0600 and the peer's credentials). A lock file held for the
// life of the process makes one service per directory: a second one fails clearly, and a
// socket left behind by a dead process is replaced. The server side is used by the service
// host's thread; the client side by the --control command.
#pragma once

#include "infra/UniqueFd.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qvx {

constexpr const char* ControlSocketName = ".quorvexsms.control";
constexpr const char* InstanceLockName = ".quorvexsms.lock";

// A request is one line: the code in decimal digits, or the word "status", and a line feed.
constexpr size_t ControlRequestMax = 16;
constexpr std::string_view StatusRequest = "status";
// The answer to a status request is one line of at most this many bytes, line feed included:
// room for the service's fields and sixteen terminals at their longest.
constexpr size_t StatusReplyMax = 16384;
// How long a client may take to send its request; the service does nothing else meanwhile.
constexpr int ControlRequestTimeoutMs = 1000;
// How long --control waits for the service to answer.
constexpr int ControlReplyTimeoutMs = 5000;

// The answers, one line each.
constexpr std::string_view ReplyHandled = "handled\n";
constexpr std::string_view ReplyNotHandled = "not handled\n";
constexpr std::string_view ReplyRefused = "refused\n";
constexpr std::string_view ReplyBadRequest = "error: bad request\n";
constexpr std::string_view ReplyOutOfRange = "error: code out of range\n";

enum class TRequestCheck { Valid, BadRequest, OutOfRange };

// Checks one request line without its line feed (a CR before it is allowed).
TRequestCheck CheckControlRequest(std::string_view line, int32_t& code) noexcept;

class TControlServer {
public:
    TControlServer() = default;
    ~TControlServer();
    TControlServer(const TControlServer&) = delete;
    TControlServer& operator=(const TControlServer&) = delete;

    // Takes the directory's instance lock and listens on its socket. False, with the reason
    // in FLastError (Windows-1251), when another service runs for the directory or the
    // socket cannot be made.
    bool Open(const std::string& dir);
    // Stops listening and removes the socket; the instance lock stays until destruction.
    void Close() noexcept;
    // The listening socket, for poll(); -1 when closed.
    int Fd() const noexcept { return FListen.Get(); }
    // Accepts one waiting client, reads its request and answers it. handler gets the code and
    // says whether it was handled; status gives the answer to a status request (one line with
    // its line feed, at most StatusReplyMax bytes); without it such a request is a bad one.
    // Never throws; a client that misbehaves is just dropped.
    void ServeOne(const std::function<bool(int32_t)>& handler,
                  const std::function<std::string()>& status = {}) noexcept;

    std::string FLastError;

private:
    bool TakeInstanceLock(const std::string& dir);
    bool Listen();

    TUniqueFd FLock;
    TUniqueFd FListen;
    std::string FSocketPath;
};

enum class TControlResult { Handled, NotHandled, NotRunning, Refused, Failed };

// Sends code to the service running for dir and waits for its answer. error receives a
// Windows-1251 explanation for every result but Handled.
TControlResult SendControlCode(const std::string& dir, int32_t code, std::string& error);

// Asks the service running for dir for its status; Handled with the answer line (without its
// line feed) in reply. error as for SendControlCode.
TControlResult RequestStatus(const std::string& dir, std::string& reply, std::string& error);

// Reads one line of at most maxBytes bytes (line feed included) from fd before timeoutMs has
// passed; the end of the data also ends a line that has begun. nullopt on timeout, an overlong
// line, no data at all, or an error.
std::optional<std::string> ReadLine(int fd, size_t maxBytes, int timeoutMs) noexcept;

} // namespace qvx
