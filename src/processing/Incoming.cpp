#include "processing/Incoming.h"

#include "infra/LogFile.h"
#include "infra/Thread.h"
#include "processing/Database.h"
#include "processing/DatabaseRules.h"
#include "processing/DeliveryLedger.h"
#include "processing/DeliveryRules.h"
#include "processing/Dispatch.h"
#include "processing/Error.h"
#include "processing/WorkerStatus.h"

#include <ctime>

namespace qvx {

namespace {

// The whole text of an account request: the digit one and nothing else.
constexpr const char* AccountRequest = "1";

constexpr int64_t AccInfoPrepared = 0;
constexpr int64_t AccInfoNoSubscriber = 1;

} // namespace

void TIncoming::Handle(bool& sendNow) {
    AnswerRequests(sendNow);
    TSMS sms;
    while (Take(sms)) {
        FLinks.Beat();
        Log(sms);
        AnswerRequests(sendNow);
    }
}

// Messages kept from a stopped terminal come first: they arrived earlier.
bool TIncoming::Take(TSMS& sms) {
    if (!FBacklog.empty()) {
        sms = std::move(FBacklog.front());
        FBacklog.pop_front();
        return true;
    }
    for (TTerminalSlot& slot : FLinks.Terminals)
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
void TIncoming::Log(const TSMS& sms) {
    // WriteLog escapes control bytes, so a subscriber's text can neither forge lines nor drive
    // the terminal of an operator who reads the log.
    WriteLog("Принято SMS. Номер: '%s', текст: '%s'%s", sms.Telephone.c_str(), sms.Text.c_str(),
             FLinks.Tag(sms.Terminal).c_str());
    ++FLinks.Counters.Received;
    FLinks.Counters.LastReceivedAt.store(std::time(nullptr));
    if (sms.Text == AccountRequest)
        FRequests.push_back(sms);
    else
        Confirm(sms);
}

void TIncoming::Confirm(const TSMS& sms) {
    if (sms.SimIndex < 0)
        return;
    for (TTerminalSlot& slot : FLinks.Terminals)
        if (slot.Config.Number == sms.Terminal) {
            slot.Siemens->ConfirmReceived(sms);
            return;
        }
    TTerminalCarry& carry = FLinks.Carry[sms.Terminal];
    carry.Awaiting.Forget(sms.SimIndex, sms.SimPdu);
    carry.Confirmed.Add(sms.SimIndex, sms.SimPdu);
}

// A request the server refused for its own sake (the function raised) would be refused again
// and hold every later request behind it: it is logged and dropped. A lost connection, or a
// server that cannot work now (a timeout, a lock, a deadlock), keeps it for the next cycle.
void TIncoming::AnswerRequests(bool& sendNow) {
    // While the database is away the requests wait with its back-off (10 s doubling to a
    // minute), and its error is logged when it changes, not at every cycle; the rest of the
    // cycle goes on.
    if (FRetry.Waiting() && !FRetry.Due(GetTickCount()))
        return;
    while (!FRequests.empty()) {
        try {
            PrepareAnswer(FRequests.front(), sendNow);
            FRetry.Reset();
        } catch (const EDatabaseError& error) {
            if (!FLinks.Database.Connected() || !RowLevelRefusal(FLinks.Database.LastSqlState())) {
                if (FRetry.Failed(error.what(), GetTickCount()))
                    WriteLog("Ошибка: %s", error.what());
                return;
            }
            WriteLog("Ошибка: %s", error.what());
            WriteLog("Запрос подготовки состояния счета вернул ошибку");
        }
        Confirm(FRequests.front());
        FRequests.pop_front();
    }
}

void TIncoming::PrepareAnswer(const TSMS& sms, bool& sendNow) {
    const auto result = FLinks.Database.PrepareAccInfo(sms.Telephone);
    if (!result)
        WriteLog("Ошибка: запрос подготовки состояния счета не вернул результата");
    else if (*result == AccInfoPrepared) {
        ++FLinks.Counters.RequestsAnswered;
        sendNow = true;
        FLinks.Ledger.AnswerPrepared(SubscriberKey(sms.Telephone));
        // The answer leaves from the terminal that received the request.
        FLinks.Dispatch.RequestFrom(SubscriberKey(sms.Telephone), sms.Terminal);
    } else if (*result == AccInfoNoSubscriber)
        WriteLog("В БД не найдено ни одного абонента с номером '%s'", sms.Telephone.c_str());
    else
        WriteLog("Запрос подготовки состояния счета вернул ошибку");
}

void TIncoming::HandleOnExit() noexcept {
    if (FBacklog.empty() && FRequests.empty())
        return;
    bool ignoredSendNow = false;
    // The end tries the database once more, whatever its back-off says.
    FRetry.Reset();
    try {
        // Every message is logged before the database is asked for anything.
        TSMS sms;
        while (Take(sms))
            Log(sms);
        AnswerRequests(ignoredSendNow);
    } catch (const std::exception& error) {
        WriteLog("Ошибка: %s", error.what());
    }
    FLinks.Database.Close();
    // The SIM still holds them: the next start hands them over again.
    for (const TSMS& sms : FRequests)
        WriteLog("Запрос состояния счета с номера '%s' не обработан: база данных недоступна",
                 sms.Telephone.c_str());
}

} // namespace qvx
