// The sending pass of the worker: which pending rows go to the terminal, and in what order.
#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/DeliveryRules.h"
#include "processing/Submission.h"
#include "processing/WorkThread.h"
#include "terminal/Pdu.h"

#include <set>

namespace qvx {

// Once the terminals have sent half of what a pass could not all take, the next pass reads
// the rest, rather than leave them idle until the next five-minute tick.
void TWorkThread::RefillWhenLow() {
    if (!FBacklogLeft || FDispatch.Queued() >= QueuedMax / 2)
        return;
    FBacklogLeft = false;
    FSendNow.store(true);
    FProcessPending.store(true);
}

// Rows already with the terminal, given up within the hour, or acknowledged but not yet
// stamped are no candidates: the pass never hands a message over twice.
void TWorkThread::SendPendingMessages() {
    const std::time_t now = FTimeSource();
    const std::set<std::string> answerNumbers = FLedger.TakeAnswerNumbers();
    // An answer keeps its place at the head until a pass has read every row: one that ends
    // early (night, no terminal, a failed page) gives its subscribers back to the next pass.
    struct TGiveBack {
        TDeliveryLedger& Ledger;
        const std::set<std::string>& Numbers;
        bool Done = false;
        ~TGiveBack() {
            try {
                for (const std::string& number : Numbers)
                    if (!Done)
                        Ledger.AnswerPrepared(number);
            } catch (...) {
                // Without memory the answer goes in its turn, behind the older rows.
            }
        }
    } giveBack{FLedger, answerNumbers};
    ExpireGivenUp(now);
    FPassDue = false;
    if (!InSendingWindow(now))
        return;
    // Page by page, so that memory does not follow the backlog; the terminal's queue is kept
    // to QueuedMax messages, and the rest wait for a later pass. Answers are looked for to the
    // end and always handed over.
    int32_t rowCount = 0;
    int32_t handedOver = 0;
    size_t queued = FDispatch.Queued();
    FBacklogLeft = false;
    std::vector<TQueuedSms> answers;
    try {
        for (TPendingCursor cursor; !cursor.End && !Terminated();) {
            std::vector<TPendingSMS> rows = FDatabase->GetSMSPage(FConfig.SmsOldHours, cursor);
            std::erase_if(rows,
                          [this](const TPendingSMS& row) { return FLedger.Skipped(row.MsgId); });
            if (rowCount == 0 && !rows.empty() && !SendingTerminalWorking(true)) {
                FPassDue = true;
                return;
            }
            rowCount += static_cast<int32_t>(rows.size());
            for (const TPendingSMS& row : rows) {
                // A stop ends even a long pass between two messages; the rest stay unsent for
                // the next start.
                if (Terminated())
                    break;
                // A long pass is progress, not a hang: the watchdog hears of every message.
                Beat();
                const bool answer = answerNumbers.count(SubscriberKey(row.Telephone)) != 0;
                if (!answer && queued >= QueuedMax) {
                    FBacklogLeft = true;
                    continue;
                }
                TPreparedSms prepared;
                if (!Sendable(row, prepared))
                    continue;
                // Left in the database rather than held when no terminal takes them now (all
                // away, at their limits, or the number's "only" terminal): they would keep the
                // pending list full, and the rows other terminals may send out of it.
                if (!answer && !FDispatch.HasCarrier(prepared.Digits)) {
                    FDispatch.LeftInDatabase();
                    continue;
                }
                SendMessage(row, ToDateTime(now), std::move(prepared), answer ? &answers : nullptr);
                ++handedOver;
                queued += answer ? 0 : 1;
            }
        }
    } catch (...) {
        // A later page failed: the answers collected so far count as handed over already.
        FDispatch.AddAnswers(std::move(answers));
        throw;
    }
    giveBack.Done = true;
    if (rowCount == 0)
        return;
    // Account answers overtake the backlog: they go behind the message in submission.
    FDispatch.AddAnswers(std::move(answers));
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
    if (HasLetter(row.Telephone)) {
        WriteLog("Номер телефона содержит буквы (ID=%d)", row.MsgId);
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
        FDispatch.Add(std::move(sms));
    FLedger.HandedOver(row.MsgId, std::time(nullptr));
    // With several terminals the line waits for the terminal that takes the message.
    if (!FDispatch.Several())
        WriteLog("Сообщение ID=%d: %s", row.MsgId, "ОТПРАВЛЕНО");
}

} // namespace qvx
