#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/DatabaseRules.h"
#include "processing/DeliveryRules.h"
#include "processing/Error.h"
#include "processing/WorkThread.h"

#include <ctime>

namespace qvx {

namespace {

// The whole text of an account request: the digit one and nothing else.
constexpr const char* AccountRequest = "1";

constexpr int64_t AccInfoPrepared = 0;
constexpr int64_t AccInfoNoSubscriber = 1;


} // namespace

void TWorkThread::HandleReceived(bool& sendNow) {
    AnswerPendingRequests(sendNow);
    TSMS sms;
    while (TakeReceived(sms)) {
        Beat();
        HandleMessage(sms);
        AnswerPendingRequests(sendNow);
    }
}

// Messages kept from a stopped terminal come first: they arrived earlier.
bool TWorkThread::TakeReceived(TSMS& sms) {
    if (!FReceivedBacklog.empty()) {
        sms = std::move(FReceivedBacklog.front());
        FReceivedBacklog.pop_front();
        return true;
    }
    for (TTerminalSlot& slot : FTerminals)
        while (slot.Siemens->ReceivedSMSCount() > 0)
            if (slot.Siemens->GetReceivedSMS(sms)) {
                sms.Terminal = slot.Config.Number;
                return true;
            }
    return false;
}

// The message is still on the SIM: it is logged once here and then confirmed, an account
// request only once the database has prepared its answer (or refused it), so that a kill before
// that leaves it on the SIM for the next start.
void TWorkThread::HandleMessage(const TSMS& sms) {
    // WriteLog escapes control bytes, so a subscriber's text can neither forge lines nor drive
    // the terminal of an operator who reads the log.
    WriteLog("Принято SMS. Номер: '%s', текст: '%s'%s", sms.Telephone.c_str(), sms.Text.c_str(),
             TerminalTag(sms.Terminal).c_str());
    ++FCounters.Received;
    FCounters.LastReceivedAt.store(std::time(nullptr));
    if (sms.Text == AccountRequest)
        FPendingRequests.push_back(sms);
    else
        ConfirmReceived(sms);
}

void TWorkThread::ConfirmReceived(const TSMS& sms) {
    if (sms.SimIndex < 0)
        return;
    if (TTerminalSlot* slot = SlotOf(sms.Terminal)) {
        slot->Siemens->ConfirmReceived(sms);
        return;
    }
    TTerminalCarry& carry = FCarry[sms.Terminal];
    carry.Awaiting.Forget(sms.SimIndex, sms.SimPdu);
    carry.Confirmed.Add(sms.SimIndex, sms.SimPdu);
}

// A request the server refused for its own sake (the function raised) would be refused again
// and hold every later request behind it: it is logged and dropped. A lost connection, or a
// server that cannot work now (a timeout, a lock, a deadlock), keeps it for the next cycle.
void TWorkThread::AnswerPendingRequests(bool& sendNow) {
    // While the database is away the requests wait with its back-off (10 s doubling to a
    // minute), and its error is logged when it changes, not at every cycle; the rest of the
    // cycle goes on.
    if (FRequestRetry.Waiting() && !FRequestRetry.Due(GetTickCount()))
        return;
    while (!FPendingRequests.empty()) {
        try {
            PrepareAnswer(FPendingRequests.front(), sendNow);
            FRequestRetry.Reset();
        } catch (const EDatabaseError& error) {
            if (!FDatabase->Connected() || !RowLevelRefusal(FDatabase->LastSqlState())) {
                if (FRequestRetry.Failed(error.what(), GetTickCount()))
                    WriteLog("Ошибка: %s", error.what());
                return;
            }
            WriteLog("Ошибка: %s", error.what());
            WriteLog("Запрос подготовки состояния счета вернул ошибку");
        }
        ConfirmReceived(FPendingRequests.front());
        FPendingRequests.pop_front();
    }
}

void TWorkThread::PrepareAnswer(const TSMS& sms, bool& sendNow) {
    const auto result = FDatabase->PrepareAccInfo(sms.Telephone);
    if (!result)
        WriteLog("Ошибка: запрос подготовки состояния счета не вернул результата");
    else if (*result == AccInfoPrepared) {
        ++FCounters.RequestsAnswered;
        sendNow = true;
        FLedger.AnswerPrepared(SubscriberKey(sms.Telephone));
        // The answer leaves from the terminal that received the request.
        FDispatch.RequestFrom(SubscriberKey(sms.Telephone), sms.Terminal);
    } else if (*result == AccInfoNoSubscriber)
        WriteLog("В БД не найдено ни одного абонента с номером '%s'", sms.Telephone.c_str());
    else
        WriteLog("Запрос подготовки состояния счета вернул ошибку");
}

// At the end of the service the messages a stopped terminal had received are still logged,
// and their account requests prepared, so that the answers leave with the next start.
void TWorkThread::HandleBacklogOnExit() noexcept {
    if (!FReceivedBacklog.empty() || !FPendingRequests.empty())
        AnswerBacklogOnExit();
    // What was made safe is deleted by the next start without being handed over again.
    try {
        TTerminalCarry& first = FCarry[1];
        for (const auto& [index, pdu] : first.Confirmed.Entries())
            first.Handled.Add(index, pdu);
        KeepUndeletable();
    } catch (const std::exception& error) {
        WriteLog("Ошибка: %s", error.what());
    }
}

void TWorkThread::AnswerBacklogOnExit() noexcept {
    bool ignoredSendNow = false;
    // The end tries the database once more, whatever its back-off says.
    FRequestRetry.Reset();
    try {
        // Every message is logged before the database is asked for anything.
        TSMS sms;
        while (TakeReceived(sms))
            HandleMessage(sms);
        AnswerPendingRequests(ignoredSendNow);
    } catch (const std::exception& error) {
        WriteLog("Ошибка: %s", error.what());
    }
    FDatabase->Close();
    // The SIM still holds them: the next start hands them over again.
    for (const TSMS& sms : FPendingRequests)
        WriteLog("Запрос состояния счета с номера '%s' не обработан: база данных недоступна",
                 sms.Telephone.c_str());
}

} // namespace qvx
