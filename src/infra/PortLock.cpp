#include "infra/PortLock.h"

#include "infra/UniqueFd.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvx {

namespace {

constexpr const char* DevPrefix = "/dev/";
constexpr size_t PidTextMax = 64;

// The process id a lock file names; 0 when it names none (empty, garbage, unreadable).
pid_t OwnerOf(const std::string& lockPath) noexcept {
    TUniqueFd fd(::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return 0;
    char text[PidTextMax + 1] = {};
    const ssize_t count = ::read(fd.Get(), text, PidTextMax);
    if (count <= 0)
        return 0;
    long pid = 0;
    size_t i = 0;
    while (text[i] == ' ')
        ++i;
    for (; text[i] >= '0' && text[i] <= '9' && pid < 0x7FFFFFFF; ++i)
        pid = pid * 10 + (text[i] - '0');
    return pid > 0 && pid <= 0x7FFFFFFF ? static_cast<pid_t>(pid) : 0;
}

bool Running(pid_t pid) noexcept {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// A file of the lock folder holding this process's id, ready to be linked as the lock.
std::string WriteOwnFile(const std::string& lockDir) noexcept {
    try {
        std::string path = lockDir + "/.LCK.XXXXXX";
        TUniqueFd fd(::mkostemp(path.data(), O_CLOEXEC));
        if (!fd)
            return {};
        char text[16];
        const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
        const bool written = ::fchmod(fd.Get(), 0644) == 0 &&
                             ::write(fd.Get(), text, size_t(length)) == length && fd.Close();
        if (!written) {
            ::unlink(path.c_str());
            return {};
        }
        return path;
    } catch (...) {
        return {};
    }
}

} // namespace

std::string TPortLock::LockName(const std::string& devicePath) {
    char* resolved = ::realpath(devicePath.c_str(), nullptr);
    if (resolved == nullptr)
        return {};
    std::string name(resolved);
    std::free(resolved);
    const std::string prefix = DevPrefix;
    if (name.compare(0, prefix.size(), prefix) == 0)
        name.erase(0, prefix.size());
    else
        name.erase(0, 1);
    for (char& c : name)
        if (c == '/')
            c = '_';
    return "LCK.." + name;
}

TPortLock::TResult TPortLock::Take(const std::string& devicePath) noexcept {
    Release();
    try {
        const std::string name = LockName(devicePath);
        if (name.empty())
            return TResult::Unavailable;
        return TakeResolved(FLockDir + "/" + name);
    } catch (...) {
        return TResult::Unavailable;
    }
}

// The lock is made by a hard link of a finished file, so that another process never reads a
// half-written one; a stale lock is removed and the link tried once more.
TPortLock::TResult TPortLock::TakeResolved(const std::string& lockPath) noexcept {
    const std::string own = WriteOwnFile(FLockDir);
    if (own.empty())
        return TResult::Unavailable;
    TResult result = TResult::Unavailable;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::link(own.c_str(), lockPath.c_str()) == 0) {
            result = TResult::Taken;
            break;
        }
        if (errno != EEXIST)
            break;
        const pid_t owner = OwnerOf(lockPath);
        if (owner != 0 && Running(owner)) {
            result = TResult::Busy;
            break;
        }
        ::unlink(lockPath.c_str());
    }
    ::unlink(own.c_str());
    if (result == TResult::Taken) {
        try {
            FPath = lockPath;
        } catch (...) {
            ::unlink(lockPath.c_str());
            return TResult::Unavailable;
        }
    }
    return result;
}

void TPortLock::Release() noexcept {
    if (FPath.empty())
        return;
    if (OwnerOf(FPath) == ::getpid())
        ::unlink(FPath.c_str());
    FPath.clear();
}

} // namespace qvx
