// TWorkThread, the thread that does the service's work: it reads the configuration, checks
// the database and loads its parameters, runs the terminal thread, and on commands from the
// service host collects received messages and sends the pending ones. Requests arrive as
// separate atomic flags, so that no request displaces another.
#pragma once

#include "infra/Config.h"
#include "infra/Queues.h"
#include "infra/Thread.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace qvx {

class TSiemens;
class TDatabase;

constexpr int32_t CommandProcess = 128;
constexpr int32_t CommandReload = 129;

class TWorkThread : public TThread {
public:
    explicit TWorkThread(TConfig& config);
    ~TWorkThread() override; // terminates and waits if the owner has not

    // --- for the service host (any thread) ---
    // 128 asks for a processing cycle, 129 for a reload; other codes are ignored.
    void PostCommand(int32_t code) noexcept;
    // The next processing cycle includes a sending pass. Cleared only when a cycle takes it.
    void RequestSendNow() noexcept { FSendNow.store(true); }
    // -1 initialisation running, 0 failed, 1 ready.
    int32_t StartResult() const noexcept { return FStartResult.load(); }
    // Terminal state (-1 without a terminal) and queue lengths, for status reports.
    int32_t TerminalState() const noexcept { return FTerminalState.load(); }
    int32_t OutgoingCount() const noexcept { return FOutgoingCount.load(); }
    int32_t IncomingCount() const noexcept { return FIncomingCount.load(); }
    // Tick of the last turn of the worker's loop, for a watchdog.
    uint32_t Heartbeat() const noexcept { return FHeartbeat.load(); }

protected:
    void Execute() override;

private:
    void Reload();
    void Initialize();
    void LoadDatabaseParams();
    void StartTerminal();
    void StopTerminal();
    // Marks the messages the stopped terminal never sent as unsent again, by id.
    void ReturnUnsent(const std::vector<int32_t>& ids) noexcept;
    void ProcessCycle(bool sendNow);
    void HandleReceived(bool& sendNow);
    bool TakeReceived(TSMS& sms);
    void HandleMessage(const TSMS& sms, bool& sendNow);
    void HandleBacklogOnExit() noexcept;
    void SendPendingMessages();
    bool SendMessage(int32_t msgId, const std::string& phone, const std::string& text);
    bool MarkSent(int32_t msgId);
    void UpdateStatus() noexcept;

    TConfig& FConfig;
    std::unique_ptr<TDatabase> FDatabase;
    std::unique_ptr<TSiemens> FSiemens;
    // Ids of the messages handed to the current terminal, oldest first, so that those never
    // sent can be marked unsent again when the terminal is stopped.
    std::deque<int32_t> FHandedOver;
    // Messages a stopped terminal had received (and deleted from the SIM) before the worker
    // took them; handled first by the next cycle.
    std::deque<TSMS> FReceivedBacklog;

    std::atomic<int32_t> FStartResult{-1};
    std::atomic<bool> FReloadPending{false};
    std::atomic<bool> FProcessPending{false};
    std::atomic<bool> FSendNow{false};
    std::atomic<int32_t> FTerminalState{-1};
    std::atomic<int32_t> FOutgoingCount{0};
    std::atomic<int32_t> FIncomingCount{0};
    std::atomic<uint32_t> FHeartbeat{0};
};

} // namespace qvx
