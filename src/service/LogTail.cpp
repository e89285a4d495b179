// Searching the end of a log for its last error line.
#include "service/LogTail.h"

#include "infra/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace qvx {

namespace {

// Windows-1251 upper-case Cyrillic letters (0xC0..0xDF) to lower case; Ё does not occur here.
char LowerCp1251(char c) noexcept {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0xC0 && byte <= 0xDF ? static_cast<char>(byte + 0x20) : c;
}

} // namespace

bool IsErrorMessage(std::string_view line) noexcept {
    static constexpr std::string_view Marker = "ошибк";
    // Numbers and texts from subscribers are quoted and come after the words of the line.
    line = line.substr(0, line.find_first_of("'\""));
    for (size_t start = 0; start + Marker.size() <= line.size(); ++start) {
        size_t i = 0;
        while (i < Marker.size() && LowerCp1251(line[start + i]) == Marker[i])
            ++i;
        if (i == Marker.size())
            return true;
    }
    return false;
}

std::string LastErrorLine(std::string_view content, bool tailOnly) {
    size_t first = 0;
    if (tailOnly) {
        const size_t end = content.find('\n');
        first = end == std::string_view::npos ? content.size() : end + 1;
    }
    size_t end = content.size();
    while (end > first) {
        const size_t newline = content.rfind('\n', end - 1);
        const size_t start =
            newline == std::string_view::npos || newline < first ? first : newline + 1;
        std::string_view line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (IsErrorMessage(line))
            return std::string(line);
        end = start == first ? first : start - 1;
    }
    return {};
}

std::string LastErrorLineOf(const std::string& path) {
    // Non-blocking, so that a FIFO put in the log's place cannot hold the command; a link
    // there is not followed.
    TUniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    struct stat info {};
    if (!fd || fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    const off_t offset =
        info.st_size > off_t(LogTailBytes) ? info.st_size - off_t(LogTailBytes) : off_t(0);
    std::string content(static_cast<size_t>(info.st_size - offset), '\0');
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t got =
            pread(fd.Get(), content.data() + done, content.size() - done, offset + off_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    content.resize(done);
    return LastErrorLine(content, offset > 0);
}

} // namespace qvx
