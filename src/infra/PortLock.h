// TPortLock, ownership of a serial device by the convention that serial programs share: a file
// LCK..<device> in /run/lock that holds the owner's process id as ten ASCII digits. A file whose
// process no longer runs is stale and taken over, so that a killed owner never keeps the port
// from the next start. Used by COM on the terminal thread.
#pragma once

#include <string>

namespace qvx {

class TPortLock {
public:
    static constexpr const char* DefaultLockDir = "/run/lock";

    enum class TResult {
        Taken,       // this process owns the device now
        Busy,        // a running process owns it
        Unavailable, // no lock file can be made here (no folder, no right): go on without one
    };

    explicit TPortLock(std::string lockDir = DefaultLockDir) : FLockDir(std::move(lockDir)) {}
    ~TPortLock() { Release(); }
    TPortLock(const TPortLock&) = delete;
    TPortLock& operator=(const TPortLock&) = delete;

    TResult Take(const std::string& devicePath) noexcept;
    // Removes the lock file, if this process still owns it.
    void Release() noexcept;
    bool Held() const noexcept { return !FPath.empty(); }

    // "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..pts_3" for /dev/pts/3: the device's path below
    // /dev with '/' as '_'; empty when the path cannot be resolved.
    static std::string LockName(const std::string& devicePath);

private:
    TResult TakeResolved(const std::string& lockPath) noexcept;

    std::string FLockDir;
    std::string FPath; // the lock file this process made; empty when none
};

} // namespace qvx
