// The AT command exchange of TAtSession: the port, commands out, answers framed over the port
// reader's buffered input, unsolicited input saved aside, and the terminal log. The reader's
// waits include the owner thread's stop descriptor, so an idle terminal thread sleeps and a
// stop ends any wait.
#include "infra/Deadline.h"
#include "infra/LogFile.h"
#include "terminal/AtSession.h"

#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <thread>

namespace qvx {

namespace {

constexpr std::chrono::milliseconds FlushSaveLimit{1000};

uint32_t ToTimeoutMs(int64_t ms) noexcept {
    return ms <= 0 ? 0u : ms >= INT_MAX ? uint32_t(INT_MAX) : uint32_t(ms);
}

} // namespace

TAtSession::TAtSession(TAtSessionOptions options, TThread* owner)
    : FOptions(std::move(options)), FOwner(owner), FReader(FPort, owner),
      FConcatRef(FOptions.ConcatRef) {}

std::optional<TPortFailure> TAtSession::Open() {
    const TLineSettings& line = FOptions.Settings.Line;
    FPort.FLine = line;
    LogMessage("Скорость: %s Стоповые биты: %s Четность: %s Управление потоком: %s",
               BaudRateName(line.BaudRate).c_str(), StopBitsName(line.StopBits).c_str(),
               ParityTitle(line.Parity).c_str(), line.RtsCts ? "RTS/CTS" : "нет");
    FReader.Clear();
    if (!FPort.Open(FOptions.Device))
        return TPortFailure{FPort.PortName(), FPort.LastError(), FPort.ErrorText()};
    FPort.SetDTR(true);
    return std::nullopt;
}

void TAtSession::Close() {
    FReader.Clear();
    if (FPort.IsOpen())
        FPort.Close();
}

bool TAtSession::PortBroken() {
    FPort.InQueue(); // refreshes the error flags
    return FPort.HasErrors();
}

bool TAtSession::SendCommand(const std::string& command, std::string& answer, bool log,
                             const std::string& expected, int32_t timeoutMs) {
    std::string received;
    bool result = false;
    if (!FPort.IsOpen()) {
        LogMessage("Порт модема не инициализирован !");
    } else {
        FlushSave();
        std::string line = command;
        if (!line.empty() && line.back() != '\r' && line.back() != '\x1A')
            line += '\r';
        if (!line.empty() && FPort.Write(line.data(), line.size())) {
            if (log && FOptions.LogExchange)
                LogMessage("Послано:  %s", line.c_str());
            result = ReadCommandAnswer(received, expected, ToTimeoutMs(timeoutMs));
        }
    }
    if (log && FOptions.LogExchange) {
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
bool TAtSession::ReadCommandAnswer(std::string& answer, const std::string& expected,
                                   uint32_t timeoutMs) {
    return ReadFramedAnswer(
        [&expected](std::string_view bytes) {
            return FrameCommandAnswer(bytes, expected, AnswerMax + 1);
        },
        timeoutMs, answer);
}

bool TAtSession::SendString(const std::string& text, bool log) {
    // The text ends at its first NUL, as a C string would.
    const size_t length = std::strlen(text.c_str());
    const bool written = FPort.IsOpen() && FPort.Write(text.data(), length);
    if (log && FOptions.LogExchange)
        LogMessage("Послано:  %s", text.c_str());
    return written;
}

bool TAtSession::WaitAnswer(const std::string& success, const std::string& failure,
                            std::chrono::seconds timeout, std::string* answer, bool log) {
    return WaitFramed(
        [&success, &failure](std::string_view bytes) {
            return FrameMarkerAnswer(bytes, success, failure, AnswerMax + 1);
        },
        timeout, answer, log);
}

TFinalResult TAtSession::WaitFinalResult(std::chrono::seconds timeout, std::string& answer) {
    TFrameState state = TFrameState::More;
    WaitFramed([](std::string_view bytes) { return FrameFinalResult(bytes, AnswerMax + 1); },
               timeout, &answer, true, &state);
    return state == TFrameState::Success   ? TFinalResult::Ok
           : state == TFrameState::Failure ? TFinalResult::Error
                                           : TFinalResult::None;
}

bool TAtSession::WaitFramed(const TPortReader::TFramer& framer, std::chrono::seconds timeout,
                            std::string* answer, bool log, TFrameState* state) {
    const auto timeoutSec = static_cast<int32_t>(timeout.count());
    std::string received;
    bool result = false;
    if (state != nullptr)
        *state = TFrameState::More;
    if (FPort.IsOpen())
        result = ReadFramedAnswer(framer, ToTimeoutMs(int64_t(timeoutSec) * 1000), received, state);
    if (log && FOptions.LogExchange) {
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
bool TAtSession::ReadUntilMarker(std::string& answer, const std::string& success,
                                 const std::string& failure, uint32_t timeoutMs) {
    return ReadFramedAnswer(
        [&success, &failure](std::string_view bytes) {
            return FrameMarkerAnswer(bytes, success, failure, AnswerMax + 1);
        },
        timeoutMs, answer);
}

// Whatever ends the read, the answer is what arrived for it; only a framed success succeeds.
bool TAtSession::ReadFramedAnswer(const TPortReader::TFramer& framer, uint32_t timeoutMs,
                                  std::string& answer, TFrameState* state) {
    const TPortReader::TRule rule{.Timeout = std::chrono::milliseconds(timeoutMs),
                                  .Silence = false,
                                  .MaxLength = AnswerMax + 1};
    TReplyFrame frame;
    if (FReader.ReadAnswer(framer, rule, frame) != TPortReader::TEnd::Framed) {
        answer = FReader.TakeAll();
        return false;
    }
    if (state != nullptr)
        *state = frame.State;
    answer = FReader.Take(frame.Taken, frame.Kept);
    return frame.State == TFrameState::Success;
}

std::vector<int32_t> TAtSession::TakeLateReferences() {
    std::vector<int32_t> taken = FReader.TakeLateReferences();
    taken.insert(taken.end(), FLateReferences.begin(), FLateReferences.end());
    FLateReferences.clear();
    return taken;
}

// Everything waiting, buffered or still in the port, goes to the saved unsolicited text.
bool TAtSession::FlushSave() {
    bool result = false;
    if (FPort.IsOpen() && !Stopped()) {
        const TClock::time_point start = TClock::now();
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
            if (TClock::now() - start > FlushSaveLimit) {
                LogMessage("FlushSave: слишком много данных !");
                FPort.PurgeAll();
                break;
            }
        }
        BoundSaved(FSaved, SavedMax);
    }
    if (!FSaved.empty())
        LogMessage("FlushSave: %s", FSaved.c_str());
    return result;
}

void TAtSession::Pause(uint32_t ms) {
    if (FOwner != nullptr)
        FOwner->SleepMs(ms);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Unsolicited lines found inside an answer are kept for NextUnsolicited().
void TAtSession::Save(const std::string& text) {
    FSaved += text;
    BoundSaved(FSaved, SavedMax);
}

void TAtSession::LogMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (!FHoldLog) {
        AppendFormattedLine(FOptions.LogFileName, format, args);
    } else {
        try {
            FHeldLog.push_back(FormatMessageV(format, args));
        } catch (...) {
            // A line that cannot be kept is lost like one that cannot be written.
        }
    }
    va_end(args);
}

void TAtSession::ReleaseLog(bool write) {
    FHoldLog = false;
    if (write)
        LogLines(FHeldLog);
    FHeldLog.clear();
}

// Written at once, past a hold: these lines are the decisions about the held ones.
void TAtSession::LogLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        AppendLogLine(FOptions.LogFileName, EscapeControls(line));
}

} // namespace qvx
