// TWorkThread, the thread that does the service's work: it reads the configuration, checks
// the database and loads its parameters, runs a thread for each terminal, and turns its loop:
// requests from the service host, the claim session, the terminals' outcomes, and the sending
// pass on command. What to send where is the dispatch's decision (TDispatch), which the worker
// carries out; received messages are TIncoming's, stamps TStamps', the state file TStateKeeper's.
// Requests arrive as separate atomic flags, so that no request displaces another.
#pragma once

#include "infra/Config.h"
#include "infra/Queues.h"
#include "infra/Thread.h"
#include "processing/ClaimSession.h"
#include "processing/Claims.h"
#include "processing/DatabaseRetry.h"
#include "processing/DeliveryLedger.h"
#include "processing/Dispatch.h"
#include "processing/Incoming.h"
#include "processing/Stamps.h"
#include "processing/StateKeeper.h"
#include "processing/TerminalSlot.h"
#include "processing/WorkerStatus.h"
#include "terminal/HandledEntries.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qvx {

class TDatabase;
struct TPendingSMS;

constexpr int32_t CommandProcess = 128;
constexpr int32_t CommandReload = 129;

// StartResult while the terminal runs and the database, which failed the initialisation, is
// tried again by itself.
constexpr int32_t StartWaitingForDatabase = 2;

class TWorkThread : public TThread {
public:
    // A pass keeps no more than this many messages pending and with the terminals, which send
    // a few a second each at best: what the worker holds stays small whatever the database
    // has waiting.
    static constexpr size_t QueuedMax = 1000;

    explicit TWorkThread(TConfig& config);
    ~TWorkThread() override; // terminates and waits if the owner has not

    // --- for the service host (any thread) ---
    // 128 asks for a processing cycle, 129 for a reload; other codes are ignored.
    void PostCommand(int32_t code) noexcept;
    // The next processing cycle includes a sending pass. Cleared only when a cycle takes it.
    void RequestSendNow() noexcept { FSendNow.store(true); }
    // -1 initialisation running, 0 failed, 1 ready, 2 (StartWaitingForDatabase) the terminal
    // runs and the database is tried again.
    int32_t StartResult() const noexcept { return FStartResult.load(); }
    // The first terminal's state, the messages in hand and received, and what became of them.
    const TWorkerCounters& Counters() const noexcept { return FCounters; }
    // Tick of the worker's last sign of progress, for a watchdog: a turn of its loop, a
    // message of a pass, a moment of a bounded wait for the database.
    uint32_t Heartbeat() const noexcept { return FHeartbeat.load(); }
    // Turns of the loop so far: two more turns mean every request posted before was handled.
    uint32_t Turns() const noexcept { return FTurns.load(); }

    // The clock of the sending rules (window and lifetime), read by the worker and by the
    // terminal thread; tests move it. Set before Start().
    std::function<std::time_t()> FTimeSource = [] { return std::time(nullptr); };
    // Everything the status command shows; the terminal's part is at most a turn old.
    TWorkerStatus Status() const;

protected:
    void Execute() override;

private:
    void Reload(bool atStart = false);
    void Initialize();
    void LoadDatabaseParams();
    bool TryDatabase();
    void RetryDatabase();
    void StartTerminals();
    void StartTerminal(const TTerminalConfig& config, bool several);
    void StopTerminals();
    // Keeps what a stopped terminal learnt for the next one, and what it received.
    void KeepFromStopped(TTerminalSlot& slot);
    // " [<Name>]" of the terminal with this section number when there are several.
    std::string TerminalTag(int32_t number) const;
    // Some terminal that sends is in its working state; with one terminal, logs when not.
    bool SendingTerminalWorking(bool log);
    // Hands pending messages to the terminals that have room, each claimed first.
    void DispatchPending();
    // Carries out what the dispatch decided.
    void Apply(const TDecisions& decisions);
    void Apply(const TDecision& decision);
    // The ids this process may send now: those it claimed on the live claim session; nullopt
    // when it could claim none (no session, its grace, a failed statement).
    std::optional<std::set<int32_t>> Claim(const std::vector<int32_t>& ids);
    // Each turn: the claim session's heartbeat, a session lost or made anew, other hosts'
    // wake-ups, and the poll while rows were held by others.
    void WatchClaimSession();
    // The claims went with their session: what the terminals have not started comes back.
    void ClaimsLost();
    void LogSessionTurn(const TClaimSession::TTurn& turn, uint32_t tick);
    void ClaimUnstamped();
    // Wakes the other hosts, when there are any; a failure only costs them their next pass.
    // stopping: this host ends cleanly, and they need not wait for what it held.
    void NotifyOthers(bool stopping = false) noexcept;
    // Shows the dispatch every terminal's state, and resolves each one's SIM.
    void WatchTerminals();
    void ResolveSim(size_t terminal);
    void Acknowledged(size_t terminal, int32_t msgId);
    void GaveUp(int32_t msgId);
    void ProcessCycle(bool sendNow);
    // The entries each running terminal could not delete, into the state.
    void KeepHandledNow();
    void HandleBacklogOnExit() noexcept;
    void SendPendingMessages();
    void RefillWhenLow();
    // False, with a log line, for a row the terminal could never send.
    bool Sendable(const TPendingSMS& row, TPreparedSms& prepared) const;
    // Queues the message, or adds it to answers when given; the row's age becomes RegDt.
    void SendMessage(const TPendingSMS& row, TDateTime now, TPreparedSms prepared,
                     std::vector<TQueuedSms>* answers);
    void TakeOutcomes();
    void TakeOutcomes(size_t terminal);
    // The state file, read once at the start: what it says the ledger and the terminals know.
    void LoadState();
    // Given-up messages whose hold ended are candidates again.
    void ExpireGivenUp(std::time_t now);
    // The entries the state keeps, by SIM, for a terminal that starts.
    std::map<std::string, THandledEntries> KeptEntries() const;
    // Terminal number's entries, as its carry holds them, into the state (unsaved) under its
    // SIM, once it is known whose they are.
    void KeepEntries(int32_t number);
    void UpdateStatus() noexcept;
    void Beat() noexcept;
    void CopyStatus();

    TConfig& FConfig;
    std::unique_ptr<TDatabase> FDatabase;
    // The running terminals, in the order of their sections, and the sharing of the work
    // among them (the same order).
    std::vector<TTerminalSlot> FTerminals;
    TDispatch FDispatch;
    // What each terminal object learnt, by section number, for the next one after a reload.
    // The entries that could not be deleted live in the state file as well, by SIM.
    std::map<int32_t, TTerminalCarry> FCarry;
    // The advisory claims of what the terminals hold; the connection stays open while any is.
    TClaims FClaims;
    TDatabaseRetry FClaimRetry;
    TClaimSession FClaimSession;
    TDeliveryLedger FLedger;
    TStateKeeper FKeeper;
    TStamps FStamps;
    TWorkerCounters FCounters;
    TIncoming FIncoming;
    TDatabaseRetry FDatabaseRetry;
    // Readable while a reload waits to be taken: breaks off a database call in progress.
    TStopEvent FReloadEvent;
    // Since when the worker has no terminal.
    int64_t FNoTerminalSince;
    const int64_t FStartedAt;

    std::atomic<int32_t> FStartResult{-1};
    std::atomic<bool> FReloadPending{false};
    std::atomic<bool> FProcessPending{false};
    std::atomic<bool> FSendNow{false};
    // A pass that was asked for but found no database or no working terminal: it runs as soon
    // as both are there, not at the next five-minute tick. Worker thread only.
    bool FPassDue = false;
    // The last pass left rows unread for want of room. Worker thread only.
    bool FBacklogLeft = false;
    // The message lifetime the terminal judges a message by at the head of its queue: the
    // database's SMSOLDHOURS as last loaded, also after a start that waited for the database.
    std::atomic<int32_t> FSendOldHours{0};
    std::atomic<uint32_t> FHeartbeat{0};
    std::atomic<bool> FOutcomesPending{false};
    std::atomic<uint32_t> FTurns{0};
    // The terminal's and the database's part of the status, written by UpdateStatus.
    mutable std::mutex FStatusLock;
    TWorkerStatus FStatus;
};

} // namespace qvx
