// What the worker does with the terminal's outcomes: an acknowledged message gets its delivery
// row stamped, a given-up one is logged and skipped for an hour or until a reload, a returned
// one waits for a later pass. Stamps are gathered and written in one statement per batch; the
// ids wait in the state file until their rows are stamped.
#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/DatabaseRules.h"
#include "processing/Error.h"
#include "processing/WorkThread.h"
#include "terminal/Siemens.h"

#include <exception>

namespace qvx {

void TWorkThread::HandleOutcomes() {
    TakeOutcomes();
    StampAcknowledged(false);
}

void TWorkThread::TakeOutcomes() {
    FOutcomesPending.store(false);
    for (TTerminalSlot& slot : FTerminals)
        TakeOutcomes(slot);
}

void TWorkThread::TakeOutcomes(TTerminalSlot& slot) {
    std::vector<TOutcome> outcomes;
    if (!slot.Siemens->TakeOutcomes(outcomes))
        return;
    for (const TOutcome& outcome : outcomes)
        ApplyOutcome(slot, outcome);
    SaveState();
}

// A message that left this process's hands unsent loses its claim; an acknowledged one keeps
// it until its stamp is committed.
void TWorkThread::ApplyOutcome(TTerminalSlot& slot, const TOutcome& outcome) {
    auto held = slot.Held.extract(outcome.MsgId);
    switch (outcome.Kind) {
    case TOutcomeKind::Acknowledged:
        FLedger.Acknowledged(outcome.MsgId);
        FState.Unstamped[outcome.MsgId] = std::time(nullptr);
        FStateChanged = true;
        FAcknowledgedCount.fetch_add(1);
        FLastAcknowledgedAt.store(std::time(nullptr));
        ForgetFailures(outcome.MsgId);
        CountSent(slot);
        break;
    case TOutcomeKind::GivenUp:
        FLedger.GivenUp(outcome.MsgId, FTimeSource());
        FState.GivenUp[outcome.MsgId] = FTimeSource();
        FStateChanged = true;
        FGivenUpCount.fetch_add(1);
        ForgetFailures(outcome.MsgId);
        Unclaim(outcome.MsgId);
        WriteLog("Сообщение ID=%d не будет отправлено (тел=\"%s\"): %s%s", outcome.MsgId,
                 outcome.Telephone.c_str(), outcome.Reason.c_str(), slot.Tag(FSeveral).c_str());
        break;
    case TOutcomeKind::Failed:
        if (!held.empty()) {
            FailedOn(slot, outcome, std::move(held.mapped()));
            break;
        }
        [[fallthrough]];
    case TOutcomeKind::Returned:
        FLedger.Returned(outcome.MsgId);
        ForgetFailures(outcome.MsgId);
        Unclaim(outcome.MsgId);
        break;
    case TOutcomeKind::Withdrawn:
        // Its claim is gone: it waits, first in line, to be claimed again.
        Unclaim(outcome.MsgId);
        if (held.empty())
            FLedger.Returned(outcome.MsgId);
        else
            FPending.push_front(std::move(held.mapped()));
        break;
    }
}

void TWorkThread::StampAcknowledged(bool now) {
    const std::vector<int32_t> ids =
        now ? FLedger.Unstamped() : FLedger.DueForStamp(GetTickCount());
    if (ids.empty())
        return;
    // The ids are on disk before the stamp: a kill from here on leaves them for the next start
    // to stamp, never to send.
    SaveState();
    try {
        FDatabase->MarkSent(ids);
    } catch (const EDatabaseError&) {
        // A refused statement leaves the connection open; a lost one mends for all rows alike.
        if (FDatabase->Connected() && RowLevelRefusal(FDatabase->LastSqlState())) {
            StampOneByOne(ids);
            return;
        }
        FLedger.StampFailed(GetTickCount());
        throw;
    } catch (...) {
        FLedger.StampFailed(GetTickCount());
        throw;
    }
    ForgetStamped(ids);
}

void TWorkThread::StampOneByOne(const std::vector<int32_t>& ids) {
    std::vector<int32_t> stamped;
    std::vector<int32_t> refused;
    for (const int32_t id : ids) {
        try {
            FDatabase->MarkSent({id});
            stamped.push_back(id);
        } catch (const EDatabaseError& error) {
            if (!FDatabase->Connected() || !RowLevelRefusal(FDatabase->LastSqlState())) {
                ForgetStamped(stamped);
                FLedger.StampFailed(GetTickCount());
                throw;
            }
            refused.push_back(id);
            std::string& logged = FStampErrors[id];
            if (logged != error.what())
                WriteLog("Ошибка отметки сообщения ID=%d в базе данных: %s", id, error.what());
            logged = error.what();
        }
    }
    ForgetStamped(stamped);
    // The refused rows are tried again after a pause; rows acknowledged meanwhile do not wait.
    if (!refused.empty())
        FLedger.StampRefused(refused, GetTickCount());
}

void TWorkThread::ForgetStamped(const std::vector<int32_t>& ids) {
    if (ids.empty())
        return;
    FLedger.Stamped(ids);
    // Committed: the claims may go, since the rows read sent to every other process.
    FClaims.Release(ids);
    for (const int32_t id : ids) {
        FState.Unstamped.erase(id);
        FStampErrors.erase(id);
    }
    FStateChanged = true;
    SaveState();
}

// The network has these messages, but their rows still read unsent: the state file keeps them
// for the next start to stamp, and the operator learns which. Only when the file could not be
// saved does the next start send them once more.
void TWorkThread::StampOnExit() noexcept {
    if (!FLedger.HasUnstamped())
        return;
    try {
        StampAcknowledged(true);
    } catch (const std::exception& error) {
        WriteLog("Ошибка: %s", error.what());
    } catch (...) {
        WriteLog("Ошибка: %s", "неизвестная ошибка");
    }
    const char* const next =
        FStateChanged ? "будет отправлено повторно" : "будет отмечено при следующем запуске";
    for (const int32_t id : FLedger.Unstamped())
        WriteLog("Сообщение ID=%d отправлено, но не отмечено в базе данных: %s", id, next);
}

} // namespace qvx
