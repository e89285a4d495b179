#include "processing/StateFile.h"

#include "infra/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

} // namespace

TStateFile::TStateFile(const std::string& dir)
    : FDir(dir.empty() ? "." : dir), FPath(FDir + (FDir.back() == '/' ? "" : "/") + FileName) {}

TStateFile::TLoaded TStateFile::Load(std::time_t now) const {
    TLoaded loaded;
    std::string text;
    bool missing = false;
    if (!ReadBounded(FPath, text, missing, loaded.Fault)) {
        if (missing) {
            loaded.Fault.clear();
            return loaded;
        }
    } else if (ParseState(text, loaded.State, loaded.Fault)) {
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
    if (!ParseState(text, state, fault))
        return std::nullopt;
    return state;
}

std::string TStateFile::Save(const TServiceState& state, std::time_t now) const {
    const std::string text = FormatState(state, now);
    const std::string temporary = FPath + ".new";
    ::unlink(temporary.c_str()); // a leftover of a save that a kill broke off
    TUniqueFd fd(::open(temporary.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
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
