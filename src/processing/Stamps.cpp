#include "processing/Stamps.h"

#include "infra/LogFile.h"
#include "infra/Thread.h"
#include "processing/Claims.h"
#include "processing/Database.h"
#include "processing/DatabaseRules.h"
#include "processing/DeliveryLedger.h"
#include "processing/Error.h"
#include "processing/StateKeeper.h"

#include <exception>

namespace qvx {

void TStamps::Acknowledged(int32_t msgId, std::time_t now) {
    FLedger.Acknowledged(msgId);
    FKeeper.State().Unstamped[msgId] = now;
    FKeeper.Changed();
}

void TStamps::Stamp(bool now) {
    const std::vector<int32_t> ids =
        now ? FLedger.Unstamped() : FLedger.DueForStamp(GetTickCount());
    if (ids.empty())
        return;
    // The ids are on disk before the stamp: a kill from here on leaves them for the next start
    // to stamp, never to send.
    FKeeper.Save();
    try {
        FDatabase.MarkSent(ids);
    } catch (const EDatabaseError&) {
        // A refused statement leaves the connection open; a lost one mends for all rows alike.
        if (FDatabase.Connected() && RowLevelRefusal(FDatabase.LastSqlState())) {
            OneByOne(ids);
            return;
        }
        FLedger.StampFailed(GetTickCount());
        throw;
    } catch (...) {
        FLedger.StampFailed(GetTickCount());
        throw;
    }
    Forget(ids);
}

void TStamps::OneByOne(const std::vector<int32_t>& ids) {
    std::vector<int32_t> stamped;
    std::vector<int32_t> refused;
    for (const int32_t id : ids) {
        try {
            FDatabase.MarkSent({id});
            stamped.push_back(id);
        } catch (const EDatabaseError& error) {
            if (!FDatabase.Connected() || !RowLevelRefusal(FDatabase.LastSqlState())) {
                Forget(stamped);
                FLedger.StampFailed(GetTickCount());
                throw;
            }
            refused.push_back(id);
            std::string& logged = FErrors[id];
            if (logged != error.what())
                WriteLog("Ошибка отметки сообщения ID=%d в базе данных: %s", id, error.what());
            logged = error.what();
        }
    }
    Forget(stamped);
    // The refused rows are tried again after a pause; rows acknowledged meanwhile do not wait.
    if (!refused.empty())
        FLedger.StampRefused(refused, GetTickCount());
}

void TStamps::Forget(const std::vector<int32_t>& ids) {
    if (ids.empty())
        return;
    FLedger.Stamped(ids);
    // Committed: the claims may go, since the rows read sent to every other process.
    FClaims.Release(ids);
    for (const int32_t id : ids) {
        FKeeper.State().Unstamped.erase(id);
        FErrors.erase(id);
    }
    FKeeper.Changed();
    FKeeper.Save();
}

// The network has these messages, but their rows still read unsent: the state file keeps them
// for the next start to stamp, and the operator learns which. Only when the file could not be
// saved does the next start send them once more.
void TStamps::StampOnExit() noexcept {
    if (!FLedger.HasUnstamped())
        return;
    try {
        Stamp(true);
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
