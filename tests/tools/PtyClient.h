// The driver's side of a simulated terminal for tests: plain POSIX I/O on the slave pty, with
// reads bounded by a timeout so that a fault in the simulator fails a test instead of hanging.
#pragma once

#include <string>
#include <string_view>

namespace qvx::test {

class TPtyClient {
public:
    explicit TPtyClient(const std::string& path);
    ~TPtyClient();
    TPtyClient(const TPtyClient&) = delete;
    TPtyClient& operator=(const TPtyClient&) = delete;

    bool IsOpen() const { return FFd >= 0; }
    bool Send(std::string_view bytes);
    // Everything up to and including the first marker, reading at most timeoutMs; on a
    // timeout, what arrived (prefixed "TIMEOUT:") so that the failure shows it.
    std::string ReadUntil(std::string_view marker, int timeoutMs = 10000);
    // Sends command + CR and reads up to the final "OK" or "ERROR" line.
    std::string Command(std::string_view command, int timeoutMs = 10000);
    // Reads up to the end of a line that is "OK" or holds "ERROR".
    std::string ReadAnswer(int timeoutMs = 10000);
    // Reads and discards at least count bytes; false when they do not come within timeoutMs.
    bool Skip(size_t count, int timeoutMs, std::string* sample = nullptr);
    // True when the line hangs up (POLLHUP, EIO or end of file) within timeoutMs.
    bool WaitHangup(int timeoutMs);

private:
    int FFd = -1;
    std::string FPending;
};

} // namespace qvx::test
