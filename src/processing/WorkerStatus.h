// TWorkerStatus, a copy of what the worker knows about its own state, its terminal and its
// database, taken under the worker's status lock for the status command and the service
// manager's status line. Numbers only, apart from the database's last error (cp1251), so
// that the control channel can carry it as it is.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace qvx {

// How the worker last found the database.
enum class TDatabaseState : int32_t {
    Unknown = -1,    // not used yet
    Unreachable = 0, // the last connection failed or broke
    Reachable = 1,   // the last connection succeeded
    Waiting = 2,     // the start waits for the database and tries again by itself
};

// One terminal of several, for the status command.
struct TTerminalStatus {
    std::string Name;
    std::string Device;
    int64_t State = -1;        // as TerminalState
    int64_t Registration = -1; // as below
    int64_t SignalRssi = 99;
    int64_t InFlight = 0;  // messages it holds: in submission and waiting
    int64_t SentToday = 0; // acknowledged since its SIM's last daily reset
    int64_t DailyLimit = 0;
    int64_t SuspendedUntil = 0; // wall-clock seconds; 0 when not suspended
    bool operator==(const TTerminalStatus&) const = default;
};

// Another host's session on the same database, as the last heartbeat saw it.
struct THostStatus {
    std::string Name; // its application name, "quorvexsms@<host>"
    int64_t Claims = 0;
    bool operator==(const THostStatus&) const = default;
};

struct TWorkerStatus {
    // Wall-clock seconds: the moment of the copy, the start of the worker.
    int64_t Now = 0;
    int64_t StartedAt = 0;
    // -1 initialisation running, 0 failed (waits for a reload), 1 ready.
    int64_t StartResult = -1;
    // The terminal's state (-1 without a terminal) and since when it holds.
    int64_t TerminalState = -1;
    int64_t TerminalSince = 0;
    // Why the terminal waits without sending a PIN: 0 it does not, 1 the SIM refused the PIN
    // (a reload must bring another), 2 the SIM asks for its PUK.
    int64_t PinWait = 0;
    // +CREG <stat> (-1 not known), +CSQ <rssi> (99 not known), when last answered (0 never).
    int64_t Registration = -1;
    int64_t SignalRssi = 99;
    int64_t NetworkCheckedAt = 0;
    // Messages handed to the terminal and not yet gone, and when the oldest was handed over
    // (0 when none waits).
    int64_t OutgoingCount = 0;
    int64_t OldestQueuedAt = 0;
    // Counts since the start, and when the last acknowledgement and reception happened.
    int64_t AcknowledgedCount = 0;
    int64_t GivenUpCount = 0;
    int64_t ReceivedCount = 0;
    int64_t RequestsAnswered = 0;
    int64_t LastAcknowledgedAt = 0;
    int64_t LastReceivedAt = 0;
    // What the state file keeps for the next start: acknowledged ids whose rows are not
    // stamped, messages given up within the hour, SIM entries that could not be deleted, and
    // PINs the SIM refused.
    int64_t KeptUnstamped = 0;
    int64_t KeptGivenUp = 0;
    int64_t KeptUndeletable = 0;
    int64_t KeptRefusedPins = 0;
    int64_t DatabaseState = static_cast<int64_t>(TDatabaseState::Unknown);
    int64_t DatabaseErrorAt = 0;
    std::string DatabaseError;
    // Every configured terminal, terminal 1 first (its fields above stay as they are).
    std::vector<TTerminalStatus> Terminals;
    // The messages this host holds claims on, the wall-clock second until which it claims
    // nothing after a new claim session (0: it claims), and the other hosts seen.
    int64_t Claims = 0;
    int64_t ClaimGraceUntil = 0;
    std::vector<THostStatus> OtherHosts;

    bool operator==(const TWorkerStatus&) const = default;
};

// The counts the worker keeps as it goes, readable from any thread without its status lock.
struct TWorkerCounters {
    // The first terminal's state (-1 without one), the messages pending and with the
    // terminals, and the received ones not yet taken.
    std::atomic<int32_t> TerminalState{-1};
    std::atomic<int32_t> Outgoing{0};
    std::atomic<int32_t> Incoming{0};
    // Since the start.
    std::atomic<int64_t> Acknowledged{0};
    std::atomic<int64_t> GivenUp{0};
    std::atomic<std::time_t> LastAcknowledgedAt{0};
    std::atomic<int64_t> Received{0};
    std::atomic<int64_t> RequestsAnswered{0};
    std::atomic<int64_t> LastReceivedAt{0};
};

} // namespace qvx
