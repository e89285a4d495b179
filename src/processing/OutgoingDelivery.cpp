#include "processing/OutgoingDelivery.h"

#include "infra/LogFile.h"
#include "infra/Transliterate.h"
#include "processing/Database.h"
#include "processing/WorkThread.h"
#include "terminal/Pdu.h"
#include "terminal/Siemens.h"

namespace qvx {

bool IsSendingHour(int localHour) noexcept {
    return localHour >= FirstSendingHour && localHour < EndSendingHour;
}

bool InSendingWindow(std::time_t now) noexcept {
    // localtime_r alone keeps the zone it saw first; tzset makes a changed TZ count.
    tzset();
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr)
        return false;
    return IsSendingHour(local.tm_hour);
}

std::string SubscriberKey(std::string_view telephone) {
    constexpr size_t KeyDigits = 10;
    const std::string digits = DigitsOf(telephone);
    return digits.size() > KeyDigits ? digits.substr(digits.size() - KeyDigits) : digits;
}

bool HasDigit(std::string_view telephone) noexcept {
    for (const char c : telephone)
        if (c >= '0' && c <= '9')
            return true;
    return false;
}

TSendVerdict VerdictAtHead(const TSMS& sms, std::time_t now, int32_t oldHours,
                           std::string& reason) {
    if (sms.RegDt != 0 && ToDateTime(now) >= sms.RegDt + oldHours / 24.0) {
        reason = "истек срок жизни сообщения";
        return TSendVerdict::GiveUp;
    }
    if (!InSendingWindow(now)) {
        reason = "вне времени отправки, будет отправлено позже";
        return TSendVerdict::Return;
    }
    return TSendVerdict::Send;
}

bool TWorkThread::Skipped(int32_t msgId) const {
    return FInFlight.count(msgId) != 0 || FGivenUp.count(msgId) != 0 ||
           FUnstamped.count(msgId) != 0;
}

namespace {

// A pass hands over no more than this many waiting messages to the terminal, which sends a
// few a second at best: what it holds stays small whatever the database has waiting.
constexpr int32_t QueuedMax = 1000;

bool TerminalWorking(TSiemens& siemens) {
    const int32_t state = siemens.GetState();
    if (state == static_cast<int32_t>(TTerminalState::Working))
        return true;
    WriteLog("GSM терминал не готов к работе (State=%d)", state);
    return false;
}

} // namespace

// Rows already with the terminal, given up, or acknowledged but not yet stamped are no
// candidates: the pass never hands a message over twice.
void TWorkThread::SendPendingMessages() {
    const std::time_t now = FTimeSource();
    std::set<std::string> answerNumbers;
    answerNumbers.swap(FAnswerNumbers);
    if (!InSendingWindow(now))
        return;
    // Page by page, so that memory does not follow the backlog; the terminal's queue is kept
    // to QueuedMax messages, and the rest wait for a later pass. Answers are looked for to the
    // end and always handed over.
    int32_t rowCount = 0;
    int32_t handedOver = 0;
    std::vector<TSMS> answers;
    try {
        for (TPendingCursor cursor; !cursor.End && !Terminated();) {
            std::vector<TPendingSMS> rows = FDatabase->GetSMSPage(FConfig.SmsOldHours, cursor);
            std::erase_if(rows, [this](const TPendingSMS& row) { return Skipped(row.MsgId); });
            if (rowCount == 0 && !rows.empty() && !TerminalWorking(*FSiemens))
                return;
            rowCount += static_cast<int32_t>(rows.size());
            for (const TPendingSMS& row : rows) {
                // A stop ends even a long pass between two messages; the rest stay unsent for
                // the next start.
                if (Terminated())
                    break;
                // A long pass is progress, not a hang: the watchdog hears of every message.
                Beat();
                const bool answer = answerNumbers.count(SubscriberKey(row.Telephone)) != 0;
                if ((!answer && FSiemens->OutgoingCount() >= QueuedMax) || !Sendable(row))
                    continue;
                if (SendMessage(row, ToDateTime(now), answer ? &answers : nullptr))
                    ++handedOver;
            }
        }
    } catch (...) {
        // A later page failed: the answers collected so far count as handed over already.
        if (!answers.empty())
            FSiemens->QueueAnswers(answers);
        throw;
    }
    if (rowCount == 0)
        return;
    // Account answers overtake the backlog: they go behind the message in submission.
    if (!answers.empty())
        FSiemens->QueueAnswers(answers);
    WriteLog("Сообщений всего/отправлено: %d/%d", rowCount, handedOver);
}

// The terminal would drop these; refused here, they stay unsent and are never stamped.
bool TWorkThread::Sendable(const TPendingSMS& row) const {
    const std::string digits = DigitsOf(row.Telephone);
    if (digits.empty()) {
        WriteLog("Отсутствует номер телефона (ID=%d)", row.MsgId);
        return false;
    }
    if (row.Text.empty()) {
        WriteLog("Отсутствует текст сообщения (ID=%d)", row.MsgId);
        return false;
    }
    const std::string text = FConfig.SmsTransliterate ? TransliterateText(row.Text) : row.Text;
    std::vector<TSubmitPdu> parts;
    switch (EncodeSubmit(digits, text, true, 0, parts)) {
    case TEncodeStatus::Ok:
        return true;
    case TEncodeStatus::EmptyPhone:
        WriteLog("Номер телефона длиннее %d цифр (ID=%d)", static_cast<int>(MaxPhoneDigits),
                 row.MsgId);
        return false;
    case TEncodeStatus::TooLong:
        WriteLog("Текст сообщения длиннее %d SMS (ID=%d)", static_cast<int>(MaxParts), row.MsgId);
        return false;
    case TEncodeStatus::EmptyText:
    case TEncodeStatus::Unicode:
        break;
    }
    WriteLog("Текст сообщения нельзя закодировать (ID=%d)", row.MsgId);
    return false;
}

bool TWorkThread::SendMessage(const TPendingSMS& row, TDateTime now, std::vector<TSMS>* answers) {
    const TSMS sms{row.Telephone, row.Text,
                   true,          FConfig.SmsTransliterate,
                   row.MsgId,     now - row.AgeSec * OneSecond};
    bool queued = true;
    if (answers != nullptr)
        answers->push_back(sms);
    else
        queued = FSiemens->QueueSMS(sms);
    if (queued) {
        FInFlight.insert(row.MsgId);
        FQueuedAt.emplace(row.MsgId, std::time(nullptr));
    }
    WriteLog("Сообщение ID=%d: %s", row.MsgId, queued ? "ОТПРАВЛЕНО" : "ОШИБКА ОТПРАВКИ");
    return queued;
}

} // namespace qvx
