// The last line of a log that reports an error, for the status command: only the end of the
// file is read, so a log of any size answers at once. Runs in the status command's process.
#pragma once

#include <string>
#include <string_view>

namespace qvx {

// How much of the end of a log is searched.
constexpr size_t LogTailBytes = 64 * 1024;

// True when the line (cp1251) reports an error: it speaks of one ("Ошибка", "ошибка",
// "ОШИБКА" and their forms) before any quoted number or text, which may come from a
// subscriber.
bool IsErrorMessage(std::string_view line) noexcept;

// The last whole line in the end of content whose message reports an error, with its stamp
// and without its line end; empty when there is none. tailOnly says that content starts in the
// middle of the file, so its first line is a fragment.
std::string LastErrorLine(std::string_view content, bool tailOnly);

// The same for the file at path; empty also when it cannot be read or is no regular file.
std::string LastErrorLineOf(const std::string& path);

} // namespace qvx
