#include "infra/LogFile.h"

#include "infra/Hex.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qvx {

TFile::TFile(const std::string& name, int flags, int mode) {
    Open(name, flags, mode);
}

TFile::~TFile() {
    Close();
}

bool TFile::IsRegular() const noexcept {
    struct stat status {};
    return FHandle && fstat(FHandle.Get(), &status) == 0 && S_ISREG(status.st_mode);
}

bool TFile::Open(const std::string& name, int flags, int mode) {
    if (FHandle)
        return false;
    FLastError = 0;
    int fd;
    do {
        fd = open(name.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    FError = fd < 0;
    if (FError) {
        FLastError = static_cast<uint32_t>(errno);
        return false;
    }
    FHandle.Reset(fd);
    return true;
}

bool TFile::Close() {
    if (!FHandle)
        return false;
    FLastError = 0;
    FError = !FHandle.Close();
    if (FError)
        FLastError = static_cast<uint32_t>(errno);
    return !FError;
}

bool TFile::Write(const void* buffer, size_t count) {
    FWritten = 0;
    if (!FHandle || buffer == nullptr) {
        FError = true;
        return false;
    }
    FLastError = 0;
    const auto* bytes = static_cast<const char*>(buffer);
    size_t done = 0;
    // A regular file takes the whole buffer in one call; the loop only finishes a write that
    // a signal or a full disk cut short.
    while (done < count) {
        const ssize_t n = write(FHandle.Get(), bytes + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            FLastError = n < 0 ? static_cast<uint32_t>(errno) : uint32_t(ENOSPC);
            break;
        }
        done += static_cast<size_t>(n);
    }
    FWritten = static_cast<uint32_t>(done);
    FError = done != count;
    return !FError;
}

bool TFile::Seek(int64_t distance, int whence) {
    if (!FHandle) {
        FError = true;
        return false;
    }
    FLastError = 0;
    FError = lseek(FHandle.Get(), static_cast<off_t>(distance), whence) < 0;
    if (FError)
        FLastError = static_cast<uint32_t>(errno);
    return !FError;
}

bool TFile::WriteLine(std::string_view text) {
    const bool ok = Write(text.data(), text.size()) && Write("\r\n", 2);
    FError = !ok;
    return ok;
}

std::string LogStamp(std::time_t t) {
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr)
        return "00.00.0000 0:00:00  ";
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%02d.%02d.%04d %d:%02d:%02d  ", local.tm_mday,
                  local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min,
                  local.tm_sec);
    return stamp;
}

std::string FormatMessageV(const char* format, va_list args) {
    if (format == nullptr)
        return {};
    char buffer[LogMessageMax + 1];
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (length < 0)
        return {};
    // The length counts what would have been written; an embedded NUL from %c stays.
    return std::string(buffer, std::min(static_cast<size_t>(length), LogMessageMax));
}

std::string FormatMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FormatMessageV(format, args);
    va_end(args);
    return message;
}

bool IsControlByte(unsigned char byte) noexcept {
    return byte < 0x20 || byte == 0x7F || byte == UnassignedCp1251;
}

std::string EscapeControls(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r')
            escaped += "<cr>";
        else if (c == '\n')
            escaped += "<lf>";
        else if (IsControlByte(byte))
            escaped.append({'<', HexDigits[byte >> 4], HexDigits[byte & 0x0F], '>'});
        else
            escaped += c;
    }
    return escaped;
}

namespace {

// One lock for every log file of the process: lines reach their file whole and in the order
// their writers took it.
std::mutex& LogLock() {
    static std::mutex lock;
    return lock;
}

// The captured logs by name, guarded by LogLock.
std::map<std::string, std::vector<std::string>>& Captures() {
    static std::map<std::string, std::vector<std::string>> captures;
    return captures;
}

// O_NONBLOCK keeps a FIFO without a reader from blocking the open (it fails at once instead);
// the file type is judged on the open descriptor, so nothing can be swapped in between. The
// logs hold numbers, texts and the PIN command: group and owner only, whatever the umask.
void AppendToFile(const std::string& fileName, const std::string& line) {
    TFile file(fileName, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
               LogFileMode);
    if (file.IsRegular())
        file.Write(line.data(), line.size());
}

} // namespace

void AppendLogLine(const std::string& fileName, std::string_view message) {
    try {
        std::lock_guard lock(LogLock());
        if (const auto capture = Captures().find(fileName); capture != Captures().end()) {
            if (capture->second.size() < TLogCapture::CaptureMax)
                capture->second.emplace_back(message);
            return;
        }
        // The stamp is read under the lock so that stamps never go backwards in a file.
        std::string line = LogStamp(std::time(nullptr));
        line.append(message);
        line += "\r\n";
        AppendToFile(fileName, line);
    } catch (...) {
        // A line that cannot be written is lost; the caller carries on.
    }
}

TLogCapture::TLogCapture(std::string name) : FName(std::move(name)) {
    std::lock_guard lock(LogLock());
    Captures()[FName];
}

TLogCapture::~TLogCapture() {
    std::lock_guard lock(LogLock());
    Captures().erase(FName);
}

std::vector<std::string> TLogCapture::Take() {
    std::lock_guard lock(LogLock());
    return std::exchange(Captures()[FName], {});
}

void AppendFormattedLine(const std::string& fileName, const char* format, va_list args) noexcept {
    try {
        AppendLogLine(fileName, EscapeControls(FormatMessageV(format, args)));
    } catch (...) {
        // A line that cannot be built is lost like one that cannot be written.
    }
}

std::vector<std::string> LogMessages(std::string_view content) {
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find("\r\n", start);
        if (end == std::string_view::npos)
            end = content.size();
        const std::string_view line = content.substr(start, end - start);
        // The stamp ends at the first two blanks: date, blank, time, two blanks.
        const size_t stamp = line.find("  ");
        messages.emplace_back(stamp == std::string_view::npos ? line : line.substr(stamp + 2));
        start = end + 2;
    }
    return messages;
}

namespace {

// A process-wide text that is set rarely and read from any thread. Every value ever set is
// kept, so a reference handed out stays valid while a later Set publishes a new one.
class TSetting {
public:
    const std::string& Get() const { return *FCurrent.load(std::memory_order_acquire); }
    void Set(std::string value) {
        std::lock_guard lock(FLock);
        FValues.push_back(std::move(value));
        FCurrent.store(&FValues.back(), std::memory_order_release);
    }

private:
    std::mutex FLock;
    std::deque<std::string> FValues{std::string()};
    std::atomic<const std::string*> FCurrent{&FValues.front()};
};

TSetting& ExeDirSetting() {
    static TSetting setting;
    return setting;
}

TSetting& LogFileNameSetting() {
    static TSetting setting;
    return setting;
}

} // namespace

const std::string& ExeDir() {
    return ExeDirSetting().Get();
}
void SetExeDir(std::string dir) {
    ExeDirSetting().Set(std::move(dir));
}
const std::string& LogFileName() {
    return LogFileNameSetting().Get();
}
void SetLogFileName(std::string name) {
    LogFileNameSetting().Set(std::move(name));
}

void WriteLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormattedLine(LogFileName(), format, args);
    va_end(args);
}

} // namespace qvx
