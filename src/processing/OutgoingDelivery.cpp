// The sending pass of the worker: which pending rows go to the terminal, and in what order.
#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/DeliveryRules.h"
#include "processing/Submission.h"
#include "processing/WorkThread.h"
#include "terminal/Pdu.h"
#include "terminal/Siemens.h"

#include <set>

namespace qvx {

// Rows already with the terminal, given up, or acknowledged but not yet stamped are no
// candidates: the pass never hands a message over twice.
void TWorkThread::SendPendingMessages() {
    const std::time_t now = FTimeSource();
    const std::set<std::string> answerNumbers = FLedger.TakeAnswerNumbers();
    if (!InSendingWindow(now))
        return;
    std::vector<TPendingSMS> rows = FDatabase->GetSMS(FConfig.SmsOldHours);
    std::erase_if(rows, [this](const TPendingSMS& row) { return FLedger.Skipped(row.MsgId); });
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
        SendMessage(row, ToDateTime(now), std::move(prepared), answer ? &answers : nullptr);
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

void TWorkThread::SendMessage(const TPendingSMS& row, TDateTime now, TPreparedSms prepared,
                              std::vector<TQueuedSms>* answers) {
    TQueuedSms sms{{row.Telephone, row.Text, true, FConfig.SmsTransliterate, row.MsgId,
                    RegisteredAt(now, row.AgeSec)},
                   std::move(prepared)};
    if (answers != nullptr)
        answers->push_back(std::move(sms));
    else
        FSiemens->QueueSMS(std::move(sms));
    FLedger.HandedOver(row.MsgId, std::time(nullptr));
    WriteLog("Сообщение ID=%d: %s", row.MsgId, "ОТПРАВЛЕНО");
}

} // namespace qvx
