#include "processing/OutgoingDelivery.h"

#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/Submission.h"
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

// Rows already with the terminal, given up, or acknowledged but not yet stamped are no
// candidates: the pass never hands a message over twice.
void TWorkThread::SendPendingMessages() {
    const std::time_t now = FTimeSource();
    std::set<std::string> answerNumbers;
    answerNumbers.swap(FAnswerNumbers);
    if (!InSendingWindow(now))
        return;
    std::vector<TPendingSMS> rows = FDatabase->GetSMS(FConfig.SmsOldHours);
    std::erase_if(rows, [this](const TPendingSMS& row) { return Skipped(row.MsgId); });
    const auto rowCount = static_cast<int32_t>(rows.size());
    if (rowCount == 0)
        return;
    const int32_t state = FSiemens->GetState();
    if (state != static_cast<int32_t>(TTerminalState::Working)) {
        WriteLog("GSM терминал не готов к работе (State=%d)", state);
        return;
    }
    int32_t handedOver = 0;
    std::vector<TQueuedSms> answers;
    for (const TPendingSMS& row : rows) {
        // A stop ends even a long pass between two messages; the rest stay unsent for the
        // next start.
        if (Terminated())
            break;
        // A long pass is progress, not a hang: the watchdog hears of every message.
        Beat();
        TPreparedSms prepared;
        if (!Sendable(row, prepared))
            continue;
        const bool answer = answerNumbers.count(SubscriberKey(row.Telephone)) != 0;
        if (SendMessage(row, ToDateTime(now), std::move(prepared), answer ? &answers : nullptr))
            ++handedOver;
    }
    // Account answers overtake the backlog: they go behind the message in submission.
    if (!answers.empty())
        FSiemens->QueueAnswers(answers);
    WriteLog("Сообщений всего/отправлено: %d/%d", rowCount, handedOver);
}

// The terminal would drop these; refused here, they stay unsent and are never stamped. What
// can be sent is prepared here once: the terminal sends these PDUs as they are.
bool TWorkThread::Sendable(const TPendingSMS& row, TPreparedSms& prepared) const {
    const TEncodeStatus status =
        PrepareSubmission(row.Telephone, row.Text, true, FConfig.SmsTransliterate, prepared);
    if (prepared.Digits.empty()) {
        WriteLog("Отсутствует номер телефона (ID=%d)", row.MsgId);
        return false;
    }
    if (row.Text.empty()) {
        WriteLog("Отсутствует текст сообщения (ID=%d)", row.MsgId);
        return false;
    }
    switch (status) {
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

bool TWorkThread::SendMessage(const TPendingSMS& row, TDateTime now, TPreparedSms prepared,
                              std::vector<TQueuedSms>* answers) {
    TQueuedSms sms{{row.Telephone, row.Text, true, FConfig.SmsTransliterate, row.MsgId,
                    now - row.AgeSec * OneSecond},
                   std::move(prepared)};
    const bool queued = true;
    if (answers != nullptr)
        answers->push_back(std::move(sms));
    else
        FSiemens->QueueSMS(std::move(sms));
    if (queued) {
        FInFlight.insert(row.MsgId);
        FQueuedAt.emplace(row.MsgId, std::time(nullptr));
    }
    WriteLog("Сообщение ID=%d: %s", row.MsgId, queued ? "ОТПРАВЛЕНО" : "ОШИБКА ОТПРАВКИ");
    return queued;
}

} // namespace qvx
