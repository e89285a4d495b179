// What the worker does as one of several hosts on a database: it keeps its claim session
// alive, takes its messages back from the terminals when that session is lost, stamps what was
// acknowledged before it claims again, and wakes the others or is woken by them.
#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/WorkThread.h"

namespace qvx {

void TWorkThread::WatchClaimSession() {
    if (FStartResult.load() != 1)
        return;
    const uint32_t tick = GetTickCount();
    const TClaimSession::TTurn turn = FClaimSession.Watch(tick, std::time(nullptr));
    if (const std::string error = FClaimSession.TakeNewError(); !error.empty())
        WriteLog("Ошибка: %s", error.c_str());
    if (turn.Lost)
        ClaimsLost();
    if (turn.GraceStarted)
        WriteLog("Подключение к базе данных установлено: сообщения захватываются через %u с, "
                 "когда другая служба успеет закончить начатые",
                 (FClaimSession.GraceMs() + 999) / 1000);
    if (turn.HostsChanged)
        FKeeper.Changed();
    if (turn.Renewed)
        FStamps.Stamp(true);
    if (turn.Notified > 0 || FClaimSession.TakePoll(tick)) {
        FSendNow.store(true);
        FProcessPending.store(true);
    }
}

// Nothing a lost claim covered may start: the server has freed it, and another host may take
// the message once its grace has passed. The message in submission stops before its next part.
void TWorkThread::ClaimsLost() {
    const size_t before = FDispatch.PendingCount();
    for (size_t t = 0; t < FTerminals.size(); ++t)
        Apply(FDispatch.TakenBack(t, FTerminals[t].Siemens->Withdraw(), false));
    const size_t back = FDispatch.PendingCount() - before;
    if (back > 0 || FClaims.Count() > 0)
        WriteLog("Подключение к базе данных потеряно вместе с захватом сообщений: терминалы не "
                 "начнут их, пока они не будут захвачены снова (возвращено в очередь: %zu)",
                 back);
}

void TWorkThread::NotifyOthers() noexcept {
    if (FClaimSession.OtherHosts().empty() || !FDatabase->Connected())
        return;
    try {
        FDatabase->Notify();
    } catch (...) {
        // The others run their passes by the clock all the same.
    }
}

} // namespace qvx
