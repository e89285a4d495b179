#include "processing/StateFile.h"

#include "infra/Decimal.h"
#include "infra/UniqueFd.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace qvx {

namespace {

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The whole file, or nullopt-like false with the reason; ENOENT leaves missing set.
bool ReadBounded(const std::string& path, std::string& text, bool& missing, std::string& fault) {
    TUniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        missing = errno == ENOENT;
        fault = Errno("не открывается");
        return false;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fault = "не обычный файл";
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd.Get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            fault = Errno("не читается");
            return false;
        }
        if (count == 0)
            return true;
        if (text.size() + size_t(count) > TStateFile::SizeMax) {
            fault = "больше " + std::to_string(TStateFile::SizeMax) + " байт";
            return false;
        }
        text.append(buffer, size_t(count));
    }
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        done += size_t(count);
    }
    return true;
}

constexpr std::string_view TemporaryMark = ".new";

// A name no other save uses: the pid tells the writers apart (the service, `--check`), the
// counter the saves of one process (the worker and a terminal thread).
std::string TemporaryName(const std::string& path) {
    static std::atomic<uint64_t> saves{0};
    return path + std::string(TemporaryMark) + "." + std::to_string(::getpid()) + "." +
           std::to_string(saves.fetch_add(1) + 1);
}

// A file already under this name is no living writer's: the name is this process's alone, so
// it was left by a killed process that had the same pid before (a container starts the
// service with the same pid every time).
TUniqueFd CreateTemporary(const std::string& name) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        TUniqueFd fd(::open(name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
        if (fd || errno != EEXIST)
            return fd;
        ::unlink(name.c_str());
    }
    return TUniqueFd();
}

// suffix: what follows ".new" in a temporary file's name, ".<pid>.<count>", or nothing in the
// name an older version used. A file of a process that still runs may be in the middle of a
// save; one past LeftoverSec never is.
bool Abandoned(std::string_view suffix, std::time_t modified) {
    if (std::time(nullptr) - modified > TStateFile::LeftoverSec)
        return true;
    if (suffix.size() < 2 || suffix[0] != '.')
        return false;
    suffix.remove_prefix(1);
    const std::optional<int32_t> pid = ParseDigits(suffix.substr(0, suffix.find('.')));
    return pid && *pid > 0 && *pid != ::getpid() && ::kill(*pid, 0) != 0 && errno == ESRCH;
}

} // namespace

TStateFile::TStateFile(const std::string& dir)
    : FDir(dir.empty() ? "." : dir), FPath(FDir + (FDir.back() == '/' ? "" : "/") + FileName) {}

TStateFile::TLoaded TStateFile::Load(std::time_t now) const {
    RemoveLeftovers();
    TLoaded loaded;
    std::string text;
    bool missing = false;
    if (ReadBounded(FPath, text, missing, loaded.Fault)) {
        loaded.Reading = ParseState(text, loaded.State);
        if (loaded.Reading.Version != 0)
            return loaded;
        loaded.Fault = "нет строки версии";
    } else if (missing) {
        loaded.Fault.clear();
        return loaded;
    }
    loaded.State = {};
    // A link is moved aside as a link; rename never follows it.
    const std::string aside = FPath + ".bad-" + UtcText(now, "%Y%m%dT%H%M%SZ");
    if (::rename(FPath.c_str(), aside.c_str()) == 0)
        loaded.MovedTo = aside;
    return loaded;
}

std::optional<TServiceState> TStateFile::Peek() const {
    std::string text;
    std::string fault;
    bool missing = false;
    TServiceState state;
    if (!ReadBounded(FPath, text, missing, fault))
        return missing ? std::optional<TServiceState>(state) : std::nullopt;
    if (ParseState(text, state).Version == 0)
        return std::nullopt;
    return state;
}

void TStateFile::RemoveLeftovers() const {
    const std::string dir = FPath.substr(0, FPath.size() - std::strlen(FileName));
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
    if (!listing)
        return;
    const std::string prefix = std::string(FileName) + std::string(TemporaryMark);
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with(prefix))
            continue;
        const std::string path = dir + std::string(name);
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            Abandoned(name.substr(prefix.size()), st.st_mtime))
            ::unlink(path.c_str());
    }
}

std::string TStateFile::Save(const TServiceState& state, std::time_t now) const {
    const std::string text = FormatState(state, now);
    const std::string temporary = TemporaryName(FPath);
    TUniqueFd fd = CreateTemporary(temporary);
    if (!fd)
        return Errno(temporary.c_str());
    if (!WriteAll(fd.Get(), text) || ::fsync(fd.Get()) != 0 || !fd.Close()) {
        const std::string error = Errno(temporary.c_str());
        ::unlink(temporary.c_str());
        return error;
    }
    if (::rename(temporary.c_str(), FPath.c_str()) != 0) {
        const std::string error = Errno(FPath.c_str());
        ::unlink(temporary.c_str());
        return error;
    }
    // The rename itself lasts through a power cut only once the folder is on disk.
    TUniqueFd dir(::open(FDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || ::fsync(dir.Get()) != 0)
        return Errno(FDir.c_str());
    return {};
}

} // namespace qvx
