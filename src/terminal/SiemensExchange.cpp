// The AT command exchange of TSiemens: commands out, answers framed over the port reader's
// buffered input, unsolicited input saved aside, and the terminal log. The reader's waits
// include the thread's stop descriptor, so an idle terminal thread sleeps and a stop ends
// any wait.
#include "infra/LogFile.h"
#include "terminal/Siemens.h"

#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstring>

namespace qvx {

namespace {

constexpr std::chrono::milliseconds FlushSaveLimit{1000};

uint32_t ToTimeoutMs(int64_t ms) noexcept {
    return ms <= 0 ? 0u : ms >= INT_MAX ? uint32_t(INT_MAX) : uint32_t(ms);
}

} // namespace

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

// The answer ends at a line end once it holds the expected text, or at an "ERROR" line; bytes
// already waiting behind the final line are part of it.
bool TSiemens::ReadCommandAnswer(std::string& answer, const std::string& expected,
                                 uint32_t timeoutMs) {
    return ReadFramedAnswer(
        [&expected](std::string_view bytes) {
            return FrameCommandAnswer(bytes, expected, AnswerMax + 1);
        },
        timeoutMs, answer);
}

bool TSiemens::SendString(const std::string& text, bool log) {
    // The text ends at its first NUL, as a C string would.
    const size_t length = std::strlen(text.c_str());
    const bool written = FComPort.IsOpen() && FComPort.Write(text.data(), length);
    if (log && FLogExchange)
        LogMessage("Послано:  %s", text.c_str());
    return written;
}

bool TSiemens::WaitAnswer(const std::string& success, const std::string& failure, int32_t timeoutMs,
                          std::string* answer, bool log) {
    // The wait and its log line count whole seconds.
    const int32_t timeoutSec = timeoutMs / 1000;
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

// Markers are looked for anywhere in the answer; only the failure marker recognises a failure.
bool TSiemens::ReadUntilMarker(std::string& answer, const std::string& success,
                               const std::string& failure, uint32_t timeoutMs) {
    return ReadFramedAnswer(
        [&success, &failure](std::string_view bytes) {
            return FrameMarkerAnswer(bytes, success, failure, AnswerMax + 1);
        },
        timeoutMs, answer);
}

// Whatever ends the read, the answer is what arrived for it; only a framed success succeeds.
bool TSiemens::ReadFramedAnswer(const TPortReader::TFramer& framer, uint32_t timeoutMs,
                                std::string& answer) {
    const TPortReader::TRule rule{.Timeout = std::chrono::milliseconds(timeoutMs),
                                  .Silence = false,
                                  .MaxLength = AnswerMax + 1};
    TReplyFrame frame;
    if (FReader.ReadAnswer(framer, rule, frame) != TPortReader::TEnd::Framed) {
        answer = FReader.TakeAll();
        return false;
    }
    answer = FReader.Take(frame.Taken, frame.Kept);
    return frame.State == TFrameState::Success;
}

// Everything waiting, buffered or still in the port, goes to the saved unsolicited text.
bool TSiemens::FlushSave() {
    bool result = false;
    if (FComPort.IsOpen() && !Terminated()) {
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            const bool readable = FReader.ReadWaiting();
            if (FReader.Buffered().empty())
                break;
            FSaved += FReader.TakeAll();
            result = true;
            // Trimmed in steps so that a flood does not move the whole buffer for every block.
            if (FSaved.size() > 2 * SavedMax)
                BoundSaved(FSaved, SavedMax);
            if (!readable)
                break;
            if (std::chrono::steady_clock::now() - start > FlushSaveLimit) {
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
    if (!FHoldLog) {
        AppendFormattedLine(FLogFileName, format, args);
    } else {
        try {
            FHeldLog.push_back(FormatMessageV(format, args));
        } catch (...) {
            // A line that cannot be kept is lost like one that cannot be written.
        }
    }
    va_end(args);
}

} // namespace qvx
