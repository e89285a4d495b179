// The worker's side of the terminals' outcomes: the dispatch reads them, and what the network
// acknowledged gets its delivery row stamped. Stamps are gathered and written in one statement
// per batch; the ids wait in the state file until their rows are stamped.
#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/DatabaseRules.h"
#include "processing/Error.h"
#include "processing/WorkThread.h"

#include <exception>

namespace qvx {

void TWorkThread::HandleOutcomes() {
    TakeOutcomes();
    StampAcknowledged(false);
}

void TWorkThread::TakeOutcomes() {
    FOutcomesPending.store(false);
    for (size_t t = 0; t < FTerminals.size(); ++t)
        TakeOutcomes(t);
}

void TWorkThread::TakeOutcomes(size_t terminal) {
    std::vector<TOutcome> outcomes;
    if (!FTerminals[terminal].Siemens->TakeOutcomes(outcomes))
        return;
    for (const TOutcome& outcome : outcomes)
        Apply(FDispatch.Outcome(terminal, outcome, GetTickCount(), std::time(nullptr)));
    FKeeper.Save();
}

void TWorkThread::StampAcknowledged(bool now) {
    const std::vector<int32_t> ids =
        now ? FLedger.Unstamped() : FLedger.DueForStamp(GetTickCount());
    if (ids.empty())
        return;
    // The ids are on disk before the stamp: a kill from here on leaves them for the next start
    // to stamp, never to send.
    FKeeper.Save();
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
        FKeeper.State().Unstamped.erase(id);
        FStampErrors.erase(id);
    }
    FKeeper.Changed();
    FKeeper.Save();
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
        FKeeper.Unsaved() ? "будет отправлено повторно" : "будет отмечено при следующем запуске";
    for (const int32_t id : FLedger.Unstamped())
        WriteLog("Сообщение ID=%d отправлено, но не отмечено в базе данных: %s", id, next);
}

} // namespace qvx
