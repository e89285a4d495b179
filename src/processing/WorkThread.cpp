#include "processing/WorkThread.h"

#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/DeliveryRules.h"
#include "processing/Error.h"
#include "terminal/Siemens.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <vector>

namespace qvx {

namespace {

// After a turn that took a request the loop turns again within 10 ms, so that whoever waits
// for two turns sees the request handled. Idle, it sleeps until a request wakes it, but turns
// four times a second all the same to keep its heartbeat and the terminal's status fresh.
constexpr uint32_t TurnPauseMs = 10;
constexpr uint32_t IdleTurnMs = 250;
// What a stopping worker still does on the database (stamping what was acknowledged, handling the
// received ones) must not hold the stop up when the server does not answer: each call may
// wait this long, and the first that fails ends that work.
constexpr uint32_t FinalDatabaseWaitMs = 400;

// Runs one step of the worker's loop; an error is logged and the loop carries on.
template <class TStep> void Guarded(TStep step) noexcept {
    try {
        step();
    } catch (const std::exception& error) {
        WriteLog("Ошибка: %s", error.what());
    } catch (...) {
        WriteLog("Ошибка: %s", "неизвестная ошибка");
    }
}

// The service folder: where the INI file lives.
std::string FolderOf(const std::string& iniFileName) {
    const size_t slash = iniFileName.rfind('/');
    return slash == std::string::npos ? std::string(".") : iniFileName.substr(0, slash + 1);
}

} // namespace

TWorkThread::TWorkThread(TConfig& config)
    : FConfig(config), FDatabase(std::make_unique<TDatabase>()), FClaims(*FDatabase),
      FClaimSession(*FDatabase, TClaims::LockClass), FKeeper(FolderOf(config.IniFileName)),
      FStamps(*FDatabase, FLedger, FClaims, FKeeper),
      FIncoming({*FDatabase, FLedger, FDispatch, FCounters, FTerminals, FCarry, [this] { Beat(); },
                 [this](int32_t number) { return TerminalTag(number); }}),
      FNoTerminalSince(std::time(nullptr)), FStartedAt(FNoTerminalSince) {}

TWorkThread::~TWorkThread() {
    Terminate();
    WaitFor();
}

void TWorkThread::PostCommand(int32_t code) noexcept {
    if (code == CommandProcess)
        FProcessPending.store(true);
    else if (code == CommandReload) {
        FReloadPending.store(true);
        FReloadEvent.Signal();
    } else
        return;
    Wake();
}

void TWorkThread::Execute() {
    FDatabase->SetInterrupt(StopFd(), FReloadEvent.Fd());
    FDatabase->SetProgress([this] { Beat(); });
    LoadState();
    FClaimSession.SetKnownHosts(&FKeeper.State().Hosts);
    Guarded([this] { Reload(true); });
    // What the network acknowledged before the last stop is stamped before anything is sent.
    if (FStartResult.load() == 1)
        Guarded([this] { FStamps.Stamp(true); });
    UpdateStatus();
    while (!Terminated()) {
        // Both requests are taken at once; a reload runs first so that the cycle after it
        // works with the new settings.
        const bool reload = FReloadPending.exchange(false);
        // Cleared after the flag: a reload posted in between leaves the event set, which at
        // worst breaks off one more call.
        if (reload)
            FReloadEvent.Reset();
        const bool process = FProcessPending.exchange(false);
        if (reload)
            Guarded([this] {
                Reload();
                // The status shows the new terminals by the time the line says so.
                UpdateStatus();
                // A reload that waits for the database has not applied its settings yet: the
                // line that the database is back says so when it comes.
                if (FStartResult.load() == 1)
                    WriteLog("Новые настройки применены");
            });
        else if (FDatabaseRetry.Due(GetTickCount()))
            Guarded([this] { RetryDatabase(); });
        // The session is looked at before anything is claimed: one that ended a moment ago
        // must not hand out its claims again.
        Guarded([this] { WatchClaimSession(); });
        if (process) {
            const bool sendNow = FSendNow.exchange(false);
            Guarded([this, sendNow] { ProcessCycle(sendNow); });
        }
        Guarded([this] {
            TakeOutcomes();
            FStamps.Stamp(false);
        });
        Guarded([this] {
            WatchTerminals();
            DispatchPending();
            RefillWhenLow();
        });
        UpdateStatus();
        FTurns.fetch_add(1);
        SleepMs(reload || process ? TurnPauseMs : IdleTurnMs, [this] {
            return FReloadPending.load() || FProcessPending.load() || FOutcomesPending.load();
        });
    }
    FDatabase->SetFinalWaitMs(FinalDatabaseWaitMs);
    StopTerminals();
    FStamps.StampOnExit();
    HandleBacklogOnExit();
    // Every claim is gone now: the other hosts may take what this one leaves at once, unless an
    // acknowledged message is still unstamped, which they must wait for as for a lost host.
    NotifyOthers(!FLedger.HasUnstamped());
    FDatabase->Close();
    FKeeper.Save();
    UpdateStatus();
}

void TWorkThread::Reload(bool atStart) {
    // The terminal is stopped before the new settings are read, so that what it acknowledged
    // is accounted for; what it still held was never stamped and goes with a later pass.
    StopTerminals();
    // The start keeps what the state file says was given up; a reload tries it again.
    if (!atStart) {
        FLedger.Reloaded();
        if (!FKeeper.State().GivenUp.empty())
            FKeeper.Changed();
        FKeeper.State().GivenUp.clear();
        FKeeper.Save();
    }
    FConfig.Load();
    Initialize();
}

void TWorkThread::Initialize() {
    FStartResult.store(-1);
    FDatabaseRetry.Reset();
    try {
        // The terminal starts also without the database: requests it receives meanwhile wait
        // in its queue until the database is back.
        const bool databaseReady = TryDatabase();
        StartTerminals();
        FStartResult.store(databaseReady ? 1 : StartWaitingForDatabase);
    } catch (...) {
        FDatabaseRetry.Reset();
        StopTerminals();
        FStartResult.store(0);
        throw;
    }
}

// Loads the database parameters. A failure of the database itself is logged only when its
// message is new, and the next try is scheduled; any other failure goes on to the caller.
bool TWorkThread::TryDatabase() {
    try {
        LoadDatabaseParams();
        FDatabaseRetry.Reset();
        return true;
    } catch (const EDatabaseError& error) {
        const bool changed = FDatabaseRetry.Failed(error.what(), GetTickCount());
        // A stop or reload that broke the attempt off is not the database's failure.
        if (changed && !Terminated() && !FReloadPending.load())
            WriteLog("Ошибка: %s", error.what());
        return false;
    }
}

void TWorkThread::RetryDatabase() {
    if (FStartResult.load() != StartWaitingForDatabase)
        return;
    try {
        if (!TryDatabase())
            return;
    } catch (...) {
        // The database answered but the service cannot work with it (its version): as a
        // failed start, which waits for a reload.
        FDatabaseRetry.Reset();
        StopTerminals();
        FStartResult.store(0);
        throw;
    }
    FStartResult.store(1);
    WriteLog("Подключение к базе данных установлено, служба готова к работе");
}

void TWorkThread::ProcessCycle(bool sendNow) {
    if (FStartResult.load() != 1 || FTerminals.empty()) {
        FPassDue = FPassDue || sendNow;
        return;
    }
    if (FPassDue && SendingTerminalWorking(false))
        sendNow = true;
    // The entries whose deletion failed are kept before their messages are answered.
    KeepHandledNow();
    FIncoming.Handle(sendNow);
    TakeOutcomes();
    if (sendNow) {
        // The pass leaves in the database what no terminal takes now: it asks about the
        // terminals as they are, also right after a reload started them.
        WatchTerminals();
        SendPendingMessages();
    }
    DispatchPending();
}

void TWorkThread::UpdateStatus() noexcept {
    const size_t outgoing = FDispatch.Queued();
    int32_t incoming = 0;
    for (const TTerminalSlot& slot : FTerminals)
        incoming += slot.Siemens ? slot.Siemens->ReceivedSMSCount() : 0;
    const TSiemens* first = FTerminals.empty() ? nullptr : FTerminals.front().Siemens.get();
    FCounters.TerminalState.store(first ? first->GetState() : -1);
    FCounters.Outgoing.store(static_cast<int32_t>(outgoing));
    FCounters.Incoming.store(incoming);
    Beat();
}

void TWorkThread::Beat() noexcept {
    FHeartbeat.store(GetTickCount());
    try {
        CopyStatus();
    } catch (...) {
        // Only the copy of the error text can fail; the next turn copies again.
    }
}

void TWorkThread::CopyStatus() {
    TSiemens* const first = FTerminals.empty() ? nullptr : FTerminals.front().Siemens.get();
    const TNetworkStatus network = first ? first->Network() : TNetworkStatus{};
    const int64_t pins = FKeeper.KeptPins();
    std::vector<TTerminalStatus> terminals;
    const std::time_t now = std::time(nullptr);
    for (size_t t = 0; t < FTerminals.size(); ++t) {
        const TTerminalSlot& slot = FTerminals[t];
        const TNetworkStatus its = slot.Siemens->Network();
        const TSendLimits& limits = FDispatch.Limits(t);
        terminals.push_back({slot.Config.Name, slot.Config.Device, slot.Siemens->GetState(),
                             its.Registration, its.SignalRssi,
                             static_cast<int64_t>(FDispatch.Held(t)), limits.SentToday(now),
                             limits.DailyLimit(), FDispatch.SuspendedUntil(t)});
    }
    std::vector<THostStatus> hosts;
    for (const auto& [name, claims] : FClaimSession.OtherHosts())
        hosts.push_back({name, claims});
    const uint32_t graceLeftMs = FClaimSession.GraceLeftMs(GetTickCount());
    std::lock_guard<std::mutex> lock(FStatusLock);
    FStatus.Terminals = std::move(terminals);
    FStatus.Claims = static_cast<int64_t>(FClaims.Count());
    FStatus.ClaimGraceUntil = graceLeftMs > 0 ? now + (graceLeftMs + 999) / 1000 : 0;
    FStatus.OtherHosts = std::move(hosts);
    FStatus.TerminalState = FCounters.TerminalState.load();
    FStatus.TerminalSince = first ? first->StateSince() : FNoTerminalSince;
    FStatus.PinWait = first ? first->GetPinWait() : 0;
    FStatus.Registration = network.Registration;
    FStatus.SignalRssi = network.SignalRssi;
    FStatus.NetworkCheckedAt = network.CheckedAt;
    FStatus.OutgoingCount = FCounters.Outgoing.load();
    FStatus.OldestQueuedAt = FLedger.OldestQueuedAt();
    FStatus.KeptUnstamped = static_cast<int64_t>(FKeeper.State().Unstamped.size());
    FStatus.KeptGivenUp = static_cast<int64_t>(FKeeper.State().GivenUp.size());
    FStatus.KeptUndeletable = static_cast<int64_t>(FKeeper.State().Undeletable.size());
    FStatus.KeptRefusedPins = pins;
    FStatus.DatabaseState = FStartResult.load() == StartWaitingForDatabase
                                ? static_cast<int32_t>(TDatabaseState::Waiting)
                                : FDatabase->Reachability();
    FStatus.DatabaseErrorAt = FDatabase->LastErrorAt();
    FStatus.DatabaseError = FDatabase->LastError();
}

TWorkerStatus TWorkThread::Status() const {
    TWorkerStatus status;
    {
        std::lock_guard<std::mutex> lock(FStatusLock);
        status = FStatus;
    }
    status.Now = std::time(nullptr);
    status.StartedAt = FStartedAt;
    status.StartResult = FStartResult.load();
    status.AcknowledgedCount = FCounters.Acknowledged.load();
    status.GivenUpCount = FCounters.GivenUp.load();
    status.LastAcknowledgedAt = FCounters.LastAcknowledgedAt.load();
    status.ReceivedCount = FCounters.Received.load();
    status.RequestsAnswered = FCounters.RequestsAnswered.load();
    status.LastReceivedAt = FCounters.LastReceivedAt.load();
    return status;
}

} // namespace qvx
