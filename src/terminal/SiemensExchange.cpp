// The AT command exchange of TSiemens: commands out, answers in byte by byte, unsolicited
// input saved aside, and the terminal log. Waits block in poll() on the port together with
// the thread's stop descriptor, so an idle terminal thread sleeps and a stop ends any wait.
#include "infra/LogFile.h"
#include "terminal/Siemens.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <poll.h>

namespace qvx {

namespace {

constexpr uint32_t FlushSaveLimitMs = 1000;

uint32_t ToTimeoutMs(int64_t ms) noexcept {
    return ms <= 0 ? 0u : ms >= INT_MAX ? uint32_t(INT_MAX) : uint32_t(ms);
}

// True when the marker ends at the newest byte: earlier positions were tested already.
bool EndsWithMarker(const std::string& text, const std::string& marker) {
    if (marker.empty() || text.size() < marker.size())
        return false;
    return text.compare(text.size() - marker.size(), marker.size(), marker) == 0;
}

} // namespace

TSiemens::TWaitResult TSiemens::WaitForInput(uint32_t timeoutMs) {
    pollfd fds[2] = {{FComPort.Fd(), POLLIN, 0}, {StopFd(), POLLIN, 0}};
    const int ready = poll(fds, 2, static_cast<int>(std::min<uint32_t>(timeoutMs, INT_MAX)));
    if (ready == 0)
        return TWaitResult::Timeout;
    if (ready < 0)
        return errno == EINTR ? TWaitResult::Input : TWaitResult::Hangup;
    if (fds[1].revents != 0)
        return TWaitResult::Stop;
    // A vanished device (a closed pseudo-terminal master, an unplugged adapter) reports
    // hang-up for ever; bytes still waiting are read first.
    if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && FComPort.InQueue() <= 0)
        return TWaitResult::Hangup;
    return TWaitResult::Input;
}

bool TSiemens::SendCommand(const std::string& command, std::string& answer, bool log,
                           const std::string& expected, int32_t timeoutMs) {
    std::string received;
    bool result = false;
    if (!FComPort.IsOpen()) {
        LogMessage("Порт модема не инициализирован !");
    } else {
        FlushSave();
        std::string line = command;
        if (!line.empty() && line.back() != '\r' && line.back() != '\x1A')
            line += '\r';
        if (!line.empty() && FComPort.Write(line.data(), line.size())) {
            if (log && FLogExchange)
                LogMessage("Послано:  %s", line.c_str());
            result = ReadCommandAnswer(received, expected, ToTimeoutMs(timeoutMs));
        }
    }
    if (log && FLogExchange) {
        if (!received.empty())
            LogMessage("Получено: %s", received.c_str());
        else
            LogMessage("Нет ответа от модема ! [%d мсек]", timeoutMs);
    }
    answer = std::move(received);
    return result;
}

// The answer is complete when a line ends (LF) and the answer so far holds the expected text;
// an "ERROR" line ends it at once. Bytes already waiting behind the final line are read too.
bool TSiemens::ReadCommandAnswer(std::string& answer, const std::string& expected,
                                 uint32_t timeoutMs) {
    const uint32_t start = GetTickCount();
    bool started = false;
    bool result = false;
    size_t count = 0;
    for (;;) {
        const uint32_t elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs || Terminated())
            return result;
        while (FComPort.InQueue() > 0 && !Terminated()) {
            char c;
            if (!FComPort.ReadByte(c) || FComPort.HasErrors())
                return result;
            if (!started && c != '\r' && c != '\n')
                started = true;
            if (started && c == '\n') {
                if (expected.empty() || answer.find(expected) != std::string::npos)
                    result = true;
                else if (answer.find("ERROR") != std::string::npos)
                    return false;
            }
            answer += c;
            if (count >= AnswerMax)
                return result;
            ++count;
        }
        if (result)
            return true;
        if (WaitForInput(timeoutMs - elapsed) == TWaitResult::Hangup)
            return false;
    }
}

bool TSiemens::SendString(const std::string& text, bool log) {
    // The text ends at its first NUL, as a C string would.
    const size_t length = std::strlen(text.c_str());
    const bool written = FComPort.IsOpen() && FComPort.Write(text.data(), length);
    if (log && FLogExchange)
        LogMessage("Послано:  %s", text.c_str());
    return written;
}

bool TSiemens::WaitAnswer(const std::string& success, const std::string& failure,
                          int32_t timeoutSec, std::string* answer, bool log) {
    std::string received;
    bool result = false;
    if (FComPort.IsOpen())
        result =
            ReadUntilMarker(received, success, failure, ToTimeoutMs(int64_t(timeoutSec) * 1000));
    if (log && FLogExchange) {
        if (!received.empty())
            LogMessage("Получено: %s", received.c_str());
        else
            LogMessage("Нет ответа в течении %d сек", timeoutSec);
    }
    if (answer != nullptr)
        *answer = std::move(received);
    return result;
}

// Markers are looked for after every byte anywhere in the answer; only the failure marker
// recognises a failure.
bool TSiemens::ReadUntilMarker(std::string& answer, const std::string& success,
                               const std::string& failure, uint32_t timeoutMs) {
    const uint32_t start = GetTickCount();
    bool result = false;
    bool done = false;
    size_t count = 0;
    for (;;) {
        const uint32_t elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs || Terminated())
            return result;
        while (FComPort.InQueue() > 0 && !Terminated()) {
            char c;
            if (!FComPort.ReadByte(c) || FComPort.HasErrors())
                return result;
            answer += c;
            if (count >= AnswerMax)
                return result;
            ++count;
            if (!done) {
                if (EndsWithMarker(answer, success))
                    result = done = true;
                else if (EndsWithMarker(answer, failure))
                    done = true;
            }
        }
        if (done)
            return result;
        if (WaitForInput(timeoutMs - elapsed) == TWaitResult::Hangup)
            return false;
    }
}

bool TSiemens::FlushSave() {
    bool result = false;
    if (FComPort.IsOpen()) {
        const uint32_t start = GetTickCount();
        while (FComPort.InQueue() > 0 && !Terminated()) {
            char c;
            if (!FComPort.ReadByte(c) || FComPort.HasErrors())
                break;
            FSaved += c;
            result = true;
            // Trimmed in steps so that a flood does not move the whole buffer for every byte.
            if (FSaved.size() > 2 * SavedMax)
                BoundSaved(FSaved, SavedMax);
            if (uint32_t(GetTickCount() - start) > FlushSaveLimitMs) {
                LogMessage("FlushSave: слишком много данных !");
                FComPort.PurgeAll();
                break;
            }
        }
        BoundSaved(FSaved, SavedMax);
    }
    if (!FSaved.empty())
        LogMessage("FlushSave: %s", FSaved.c_str());
    return result;
}

void TSiemens::Pause(uint32_t ms) {
    SleepMs(ms);
}

void TSiemens::LogMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormattedLine(FLogFileName, format, args);
    va_end(args);
}

} // namespace qvx
