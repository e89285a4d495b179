// Owner of one pseudo-terminal pair: the master side, which the simulator reads and writes,
// and the slave's path, which the driver opens as its serial port. Used by the simulator's
// thread (and by its owner before the thread starts).
#pragma once

#include <string>

namespace qvx {

class TPty {
public:
    TPty() = default;
    ~TPty() { Close(); }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    // A new pair with the slave in raw mode; false with the reason in error.
    bool Open(std::string& error);
    // Closing the master hangs the line up: the slave's reader sees POLLHUP and EIO.
    void Close() noexcept;
    bool IsOpen() const { return FMaster >= 0; }
    int MasterFd() const { return FMaster; }
    const std::string& SlavePath() const { return FSlavePath; }

private:
    int FMaster = -1;
    // Kept open so that the master never reads a hang-up while no driver has the port open,
    // and so that the raw settings stay between the driver's opens.
    int FSlave = -1;
    std::string FSlavePath;
};

} // namespace qvx
