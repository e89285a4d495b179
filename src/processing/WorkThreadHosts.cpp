// What the worker does as one of several hosts on a database: it keeps its claim session
// alive, takes its messages back from the terminals when that session is lost, stamps what was
// acknowledged before it claims again, and wakes the others or is woken by them.
#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/Error.h"
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
    LogSessionTurn(turn, tick);
    if (turn.HostsChanged)
        FKeeper.Changed();
    if (turn.Renewed) {
        ClaimUnstamped();
        FStamps.Stamp(true);
    }
    if (turn.Notified > 0 || FClaimSession.TakePoll(tick)) {
        FSendNow.store(true);
        FProcessPending.store(true);
    }
}

void TWorkThread::LogSessionTurn(const TClaimSession::TTurn& turn, uint32_t tick) {
    for (const std::string& host : turn.Vanished)
        WriteLog("Служба %s отключилась от базы данных: сообщения захватываются через %u с, когда "
                 "она успела бы закончить начатые",
                 host.c_str(), (FClaimSession.GraceLeftMs(tick) + 999) / 1000);
    if (turn.SlowStarted)
        WriteLog("Сервер базы данных не ответил за %u с: новые сообщения не захватываются, пока он "
                 "не ответит вовремя; начатые отправляются",
                 TClaimSession::HeartbeatWaitMs / 1000);
    if (turn.SlowEnded)
        WriteLog("Сервер базы данных снова отвечает вовремя: сообщения захватываются");
    if (turn.PoolerSeen)
        WriteLog("Ошибка: запросы к базе данных выполняются разными процессами сервера: между "
                 "службой и базой данных работает пул соединений в режиме транзакций. Новые "
                 "сообщения не захватываются; нужен режим сессий (pool_mode = session) или прямое "
                 "подключение");
}

// What the network acknowledged before the last stop or the lost session, and the database has
// not stamped yet, is claimed first: another host must not send it while the stamp waits.
void TWorkThread::ClaimUnstamped() {
    const std::vector<int32_t> unstamped = FLedger.Unstamped();
    if (unstamped.empty())
        return;
    try {
        FClaims.Claim(unstamped);
    } catch (const EDatabaseError&) {
        // The stamp right after meets the same database and says so.
    }
}

// Nothing a lost claim covered may start: the server has freed it, and another host may take
// the message once its grace has passed. The message in submission stops at its next prompt.
void TWorkThread::ClaimsLost() {
    // Where no other host shares the database nothing else can send those messages: the
    // terminals go on with what they hold, and the acknowledged wait in the state file.
    if (!FClaimSession.Shared())
        return;
    const size_t before = FDispatch.PendingCount();
    for (size_t t = 0; t < FTerminals.size(); ++t)
        Apply(FDispatch.TakenBack(t, FTerminals[t].Siemens->Withdraw(), false));
    const size_t back = FDispatch.PendingCount() - before;
    if (back > 0 || FClaims.Count() > 0)
        WriteLog("Подключение к базе данных потеряно вместе с захватом сообщений: терминалы не "
                 "начнут их, пока они не будут захвачены снова (возвращено в очередь: %zu)",
                 back);
}

void TWorkThread::NotifyOthers(bool stopping) noexcept {
    if (FClaimSession.OtherHosts().empty() || !FDatabase->Connected())
        return;
    try {
        FDatabase->Notify(stopping);
    } catch (...) {
        // The others run their passes by the clock all the same.
    }
}

} // namespace qvx
