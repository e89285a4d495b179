// The two text logs of the service: TFile, the owner of one file descriptor, and the line
// writers. Every line opens its file, appends with one write() and closes it again, so an
// operator can move a log away while the service runs. Used by every thread.
#pragma once

#include "infra/UniqueFd.h"

#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

// One open file; operations return bool and keep errno in FLastError.
class TFile {
public:
    TFile() = default;
    TFile(const std::string& name, int flags, int mode = 0644);
    ~TFile();
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;

    bool Open(const std::string& name, int flags, int mode = 0644);
    bool Close();
    bool Write(const void* buffer, size_t count);
    bool Seek(int64_t distance, int whence);
    bool WriteLine(std::string_view text); // text, then CR LF
    bool IsOpen() const { return static_cast<bool>(FHandle); }
    // True for an open regular file: not a FIFO, a device or a directory.
    bool IsRegular() const noexcept;

    bool FError = false;
    uint32_t FLastError = 0;
    uint32_t FWritten = 0;

private:
    TUniqueFd FHandle;
};

// Longest formatted message, in bytes; longer ones are cut.
constexpr size_t LogMessageMax = 999;

// "dd.MM.yyyy H:mm:ss  " for the local time t (TZ applies).
std::string LogStamp(std::time_t t);
// printf-style formatting cut to LogMessageMax bytes.
std::string FormatMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatMessageV(const char* format, va_list args);
// Mode of a newly created log.
constexpr int LogFileMode = 0640;
// The one Windows-1251 byte without a character: a converter (iconv -f cp1251) stops at it.
constexpr unsigned char UnassignedCp1251 = 0x98;
// True for the bytes an operator's terminal must not receive raw: C0 controls, DEL, and 0x98.
// The rest of 0x80..0x9F are letters and punctuation in Windows-1251, and convert to printable
// characters, never to C1 controls.
bool IsControlByte(unsigned char byte) noexcept;
// CR and LF written as "<cr>" and "<lf>", every other control byte as "<XX>" (hex), so that one
// event stays one line and a log shown in a terminal cannot drive it.
std::string EscapeControls(std::string_view text);
// Appends stamp + message + CR LF to the file in one write, under one process-wide lock.
// The message is written as given (callers escape CR/LF where needed). Failures are silent.
// Only a regular file is written: a symbolic link, a FIFO or a device in the log's place
// loses the line instead of redirecting or blocking the writer.
void AppendLogLine(const std::string& fileName, std::string_view message);
// Formats a message, escapes its control bytes (EscapeControls) and appends it as one line: the
// body of both log writers. Never throws; a line that cannot be built or written is lost.
void AppendFormattedLine(const std::string& fileName, const char* format, va_list args) noexcept;
// The messages of a log's text without their stamps, one per line, as written.
std::vector<std::string> LogMessages(std::string_view content);

// While it lives, the lines written to its name are kept here instead of a file, so that a
// caller can show a log as it is written without leaving a file behind (the operator's check
// shows the terminal's lines this way). Any thread may write, the owner takes. At most
// CaptureMax messages wait; later ones are lost like lines of a full disk.
class TLogCapture {
public:
    static constexpr size_t CaptureMax = 10000;

    // name: a log name no file is written under while the capture lives.
    explicit TLogCapture(std::string name);
    ~TLogCapture();
    TLogCapture(const TLogCapture&) = delete;
    TLogCapture& operator=(const TLogCapture&) = delete;

    const std::string& Name() const noexcept { return FName; }
    // The messages written since the last call, without their stamps.
    std::vector<std::string> Take();

private:
    std::string FName;
};

// Directory of the service's INI file and logs, with its trailing '/'. Set once at start.
const std::string& ExeDir();
void SetExeDir(std::string dir);
// Full name of the service log; WriteLog appends to it.
const std::string& LogFileName();
void SetLogFileName(std::string name);

// One line of the service log; control bytes in the message are escaped (EscapeControls).
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace qvx
