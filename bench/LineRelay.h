// TLineRelay: a serial line at a given baud rate between the driver and the simulated
// terminal. A pseudo-terminal passes the driver's writes at once, so a long PDU would reach
// the simulator in no time; the relay hands the driver's bytes on no faster than the line
// would carry them (ten bits a byte). Bytes from the terminal pass unchanged: the simulator
// throttles its own output. Runs one thread of its own; the owner starts and stops it.
#pragma once

#include "gsmsim/Pty.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace qvx {

class TLineRelay {
public:
    TLineRelay() = default;
    ~TLineRelay() { Stop(); }
    TLineRelay(const TLineRelay&) = delete;
    TLineRelay& operator=(const TLineRelay&) = delete;

    // The driver opens linkPath (a symlink to the relay's own pty); the relay opens the
    // terminal's port at terminalPath. Throws std::runtime_error on failure.
    void Start(const std::string& linkPath, const std::string& terminalPath, int32_t baud);
    void Stop() noexcept;

private:
    using TClock = std::chrono::steady_clock;

    void Run() noexcept;
    // Moves what is due from FToTerminal to the terminal; returns the wait until more is due.
    TClock::duration SendDue();
    static void Forward(int from, std::string& buffer);
    static void Drain(int to, std::string& buffer);

    TPty FDriverSide;
    int FTerminal = -1;
    int FWake = -1;
    int32_t FBaud = 0;
    std::string FLinkPath;
    std::string FToTerminal;
    std::string FToDriver;
    TClock::time_point FLineFreeAt;
    std::atomic<bool> FStopping{false};
    std::thread FThread;
};

} // namespace qvx
