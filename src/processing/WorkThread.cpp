#include "processing/WorkThread.h"

#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/DeliveryRules.h"
#include "processing/Error.h"
#include "terminal/Siemens.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <random>
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

uint8_t RandomOctet() noexcept {
    try {
        std::random_device random;
        return static_cast<uint8_t>(random() & 0xFF);
    } catch (...) {
        // Without an entropy source the clock still differs from one start to the next.
        return static_cast<uint8_t>(GetTickCount() & 0xFF);
    }
}

// The service folder: where the INI file lives.
std::string FolderOf(const std::string& iniFileName) {
    const size_t slash = iniFileName.rfind('/');
    return slash == std::string::npos ? std::string(".") : iniFileName.substr(0, slash + 1);
}

} // namespace

TWorkThread::TWorkThread(TConfig& config)
    : FConfig(config), FDatabase(std::make_unique<TDatabase>()),
      FStateFile(FolderOf(config.IniFileName)), FNoTerminalSince(std::time(nullptr)),
      FStartedAt(FNoTerminalSince), FConcatRef(RandomOctet()) {}

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
    Guarded([this] { Reload(true); });
    // What the network acknowledged before the last stop is stamped before anything is sent.
    if (FStartResult.load() == 1)
        Guarded([this] { StampAcknowledged(true); });
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
                // A reload that waits for the database has not applied its settings yet: the
                // line that the database is back says so when it comes.
                if (FStartResult.load() == 1)
                    WriteLog("Новые настройки применены");
            });
        else if (FDatabaseRetry.Due(GetTickCount()))
            Guarded([this] { RetryDatabase(); });
        if (process) {
            const bool sendNow = FSendNow.exchange(false);
            Guarded([this, sendNow] { ProcessCycle(sendNow); });
        }
        Guarded([this] { HandleOutcomes(); });
        UpdateStatus();
        FTurns.fetch_add(1);
        SleepMs(reload || process ? TurnPauseMs : IdleTurnMs, [this] {
            return FReloadPending.load() || FProcessPending.load() || FOutcomesPending.load();
        });
    }
    FDatabase->SetFinalWaitMs(FinalDatabaseWaitMs);
    StopTerminal();
    StampOnExit();
    HandleBacklogOnExit();
    SaveState();
    UpdateStatus();
}

void TWorkThread::Reload(bool atStart) {
    // The terminal is stopped before the new settings are read, so that what it acknowledged
    // is accounted for; what it still held was never stamped and goes with a later pass.
    StopTerminal();
    // The start keeps what the state file says was given up; a reload tries it again.
    if (!atStart) {
        FLedger.Reloaded();
        FStateChanged = FStateChanged || !FState.GivenUp.empty();
        FState.GivenUp.clear();
        SaveState();
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
        StartTerminal();
        FStartResult.store(databaseReady ? 1 : StartWaitingForDatabase);
    } catch (...) {
        FDatabaseRetry.Reset();
        StopTerminal();
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
        StopTerminal();
        FStartResult.store(0);
        throw;
    }
    FStartResult.store(1);
    WriteLog("Подключение к базе данных установлено, служба готова к работе");
}

void TWorkThread::StartTerminal() {
    StopTerminal();
    if (FConfig.Device.empty())
        throw EServiceError("Не задан порт GSM терминала (параметр 'Device')");
    try {
        TSiemensOptions options;
        options.Session.Device = FConfig.Device;
        options.Session.LogFileName = ExeDir() + "Siemens.log";
        options.Session.Settings = FConfig.TerminalSettings();
        options.Session.RefusedPin = FRefusedPin;
        options.Session.Handled = FHandledEntries;
        options.Session.HoldUntilConfirmed = true;
        options.Session.Awaiting = FAwaitingEntries;
        options.Session.Confirmed = FConfirmedEntries;
        options.Session.ConcatRef = FConcatRef;
        options.Session.PinAttempt = [this](const std::string& iccid, const std::string& pin) {
            return PinAttempt(iccid, pin);
        };
        options.Session.PinAccepted = [this](const std::string& iccid) { PinAccepted(iccid); };
        options.OnOutcome = [this] {
            FOutcomesPending.store(true);
            Wake();
        };
        FSendOldHours.store(FConfig.SmsOldHours);
        options.SendCheck = [this, timeSource = FTimeSource](const TSMS& sms, std::string& reason) {
            return VerdictAtHead(sms, timeSource(), FSendOldHours.load(), reason);
        };
        auto siemens = std::make_unique<TSiemens>(std::move(options));
        if (!siemens->Start())
            throw EServiceError("Не удалось запустить поток GSM терминала");
        FSiemens = std::move(siemens);
    } catch (...) {
        WriteLog("Не удалось инициализировать GSM терминал");
        throw;
    }
}

void TWorkThread::StopTerminal() {
    if (!FSiemens)
        return;
    FSiemens->Terminate();
    FSiemens->WaitFor();
    TakeOutcomes();
    TSMS sms;
    while (FSiemens->GetReceivedSMS(sms))
        FReceivedBacklog.push_back(sms);
    // Whatever is still queued was never stamped: a later pass hands it over again.
    FRefusedPin = FSiemens->RefusedPin();
    FHandledEntries = FSiemens->Handled();
    KeepUndeletable();
    FAwaitingEntries = FSiemens->Awaiting();
    FConfirmedEntries = FSiemens->Confirmed();
    FConcatRef = FSiemens->NextConcatRef();
    FSiemens.reset();
    FLedger.TerminalStopped();
    FNoTerminalSince = std::time(nullptr);
    UpdateStatus();
}

void TWorkThread::ProcessCycle(bool sendNow) {
    if (FStartResult.load() != 1 || !FSiemens) {
        FPassDue = FPassDue || sendNow;
        return;
    }
    if (FPassDue && FSiemens->GetState() == static_cast<int32_t>(TTerminalState::Working))
        sendNow = true;
    // The connection is closed at the end of every cycle, also after an error.
    struct TCloseAtEnd {
        TDatabase& Database;
        ~TCloseAtEnd() { Database.Close(); }
    } closeAtEnd{*FDatabase};
    // The entries whose deletion failed are kept before their messages are answered.
    FHandledEntries = FSiemens->HandledNow();
    KeepUndeletable();
    HandleReceived(sendNow);
    TakeOutcomes();
    if (sendNow)
        SendPendingMessages();
}

void TWorkThread::UpdateStatus() noexcept {
    if (FSiemens) {
        FTerminalState.store(FSiemens->GetState());
        FOutgoingCount.store(FSiemens->OutgoingCount());
        FIncomingCount.store(FSiemens->ReceivedSMSCount());
    } else {
        FTerminalState.store(-1);
        FOutgoingCount.store(0);
        FIncomingCount.store(0);
    }
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
    const TNetworkStatus network = FSiemens ? FSiemens->Network() : TNetworkStatus{};
    const int64_t pins = KeptPins();
    std::lock_guard<std::mutex> lock(FStatusLock);
    FStatus.TerminalState = FTerminalState.load();
    FStatus.TerminalSince = FSiemens ? FSiemens->StateSince() : FNoTerminalSince;
    FStatus.PinWait = FSiemens ? FSiemens->GetPinWait() : 0;
    FStatus.Registration = network.Registration;
    FStatus.SignalRssi = network.SignalRssi;
    FStatus.NetworkCheckedAt = network.CheckedAt;
    FStatus.OutgoingCount = FOutgoingCount.load();
    FStatus.OldestQueuedAt = FLedger.OldestQueuedAt();
    FStatus.KeptUnstamped = static_cast<int64_t>(FState.Unstamped.size());
    FStatus.KeptGivenUp = static_cast<int64_t>(FState.GivenUp.size());
    FStatus.KeptUndeletable = static_cast<int64_t>(FState.Undeletable.size());
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
    status.AcknowledgedCount = FAcknowledgedCount.load();
    status.GivenUpCount = FGivenUpCount.load();
    status.LastAcknowledgedAt = FLastAcknowledgedAt.load();
    status.ReceivedCount = FReceivedCount.load();
    status.RequestsAnswered = FRequestsAnswered.load();
    status.LastReceivedAt = FLastReceivedAt.load();
    return status;
}

} // namespace qvx
