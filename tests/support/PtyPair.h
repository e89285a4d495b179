// A bare pseudo-terminal pair for serial port tests: the test holds the master side and
// plays the device, the code under test opens the slave path like a serial port.
#pragma once

#include <string>
#include <string_view>

namespace qvx::test {

class TPtyPair {
public:
    // Throws std::runtime_error when no pseudo-terminal can be made.
    TPtyPair();
    ~TPtyPair();
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    // /dev/pts/N
    const std::string& SlavePath() const { return FSlavePath; }
    int MasterFd() const { return FMaster; }
    // Writes all bytes to the device side; false when the master would block for a second.
    bool Write(std::string_view bytes) const;
    // Up to count bytes that arrive within timeoutMs (less when the time runs out).
    std::string Read(size_t count, int timeoutMs) const;
    // Unplugs the device: the slave side then reads as hung up.
    void CloseMaster();

private:
    int FMaster = -1;
    std::string FSlavePath;
};

} // namespace qvx::test
