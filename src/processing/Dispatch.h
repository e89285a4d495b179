// TDispatch, the sharing of work among a host's terminals: the pending list, what each terminal
// holds, each terminal's health, its SIM's limits, what the failures of a message and of a
// terminal mean, and where an account answer goes. It is fed terminal snapshots and outcomes
// and returns decisions (hand a message over, take a terminal's messages back, unclaim, give
// back to the database, give up, suspend, log); the worker applies them. Plain and synchronous:
// no thread, clock, log or database; time comes in as arguments (tick: milliseconds, now:
// wall-clock seconds). Worker thread only.
#pragma once

#include "infra/Config.h"
#include "processing/SendLimits.h"
#include "terminal/Siemens.h"

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qvx {

// Why a terminal takes messages or not; the first that holds, in this order, wins.
enum class TTerminalHealth : int32_t {
    Working = 0,
    Suspended = 1,    // after failures, until a moment that doubles with each suspension
    Stopped = 2,      // out of its working state (opening, initialising) past its grace, or Send=0
    Unregistered = 3, // the network has not registered it for longer than its grace
    AtLimit = 4,      // its SIM has sent its day's allowance
};

// What the worker sees of a terminal at a turn.
struct TTerminalSnapshot {
    bool Working = false;      // its thread is in the working state
    int32_t Registration = -1; // TRegistration of its last network query
    // Its port is being opened again: whatever it wrote before can bring no late answer.
    bool Reopening = false;
};

struct TDecision {
    enum class TKind : int32_t {
        HandOver = 0,     // Sms to the back of Terminal's queue (claimed already)
        HandAnswer = 1,   // Sms to the head of Terminal's queue, behind the one in submission
        TakeBack = 2,     // the waiting messages of Terminal come back: pass them to TakenBack
        Reinitialise = 3, // Terminal starts over before its next message
        Acknowledge = 4,  // MsgId: the network has it; stamp it
        Unclaim = 5,      // MsgId went back to the pending list: its claim goes
        Release = 6,      // MsgId left this host unsent: unclaimed, read again by a later pass
        GiveBack = 7,     // MsgId no terminal here can send: released, and the other hosts woken
        GiveUp = 8,       // MsgId: Text says why; held for an hour or until a reload
        Notify = 9,       // wake the other hosts: something waits that one of them may send
        ReadAgain = 10,   // a terminal is back: read the rows left in the database for it now
        Log = 11,         // Text: a service-log line
    };
    TKind Kind = TKind::Log;
    size_t Terminal = 0;
    int32_t MsgId = 0;
    std::string Text;
    TQueuedSms Sms = {};
};
using TDecisions = std::vector<TDecision>;

// A message a terminal may take now, found by Propose and confirmed, once claimed, by Settle.
struct TPick {
    size_t Terminal = 0;
    int32_t MsgId = 0;
    bool Answer = false;
};

class TDispatch {
public:
    // A terminal takes messages while it holds fewer than this: the one in submission and one
    // waiting, so that a slow terminal takes less and a dead one strands at most two.
    static constexpr size_t HeldMax = 2;
    // Three failures in a row on different messages suspend the terminal, first for
    // SuspendFirstSec, doubling up to SuspendMaxSec until it sends again.
    static constexpr size_t FailuresToSuspend = 3;
    static constexpr uint32_t SuspendFirstSec = 60;
    static constexpr uint32_t SuspendMaxSec = 15 * 60;
    // Refusals for a cause of the message's own after which it is given up.
    static constexpr int32_t RefusalsToGiveUp = 3;
    // A message refused for a cause of its own waits this long before any terminal tries it.
    static constexpr uint32_t RefusedPauseMs = 5000;
    // Failures of one message without a refusal after which it goes behind the others.
    static constexpr int32_t FailuresToMoveBack = 3;
    // Added to a terminal's ModemTimeout: how long it may be out of work before its messages go
    // to the others, and how long a message may find no terminal before it goes back.
    static constexpr uint32_t GraceMarginMs = 1000;
    // A message the network may have (its PDU went, no answer came) waits this long for a late
    // answer before it is sent once more.
    static constexpr uint32_t LateAnswerMs = TSiemens::LateAnswerMs;
    // Answers' terminals remembered at most, so that a flood of requests cannot grow the map.
    static constexpr size_t AnswerTerminalsMax = 1000;

    explicit TDispatch(std::vector<TTerminalConfig> terminals = {});

    bool Several() const { return FTerminals.size() > 1; }
    // " [<Name>]" when there are several terminals: the end of every line about one of them.
    std::string Tag(size_t terminal) const;

    // --- the pending list ---
    // A message a pass read, behind the others.
    void Add(TQueuedSms sms);
    // Account answers, in order, at the head: each goes to the terminal that received its
    // request when that one may take it (see Propose), else to any.
    void AddAnswers(std::vector<TQueuedSms> answers);
    // The terminal (section number) that received this subscriber's request.
    void RequestFrom(const std::string& subscriberKey, int32_t terminalNumber);
    // Messages pending, and pending and with the terminals.
    size_t PendingCount() const { return FPending.size(); }
    size_t Queued() const;
    size_t Held(size_t terminal) const { return FTerminals[terminal].Held.size(); }

    // --- handing over ---
    // One round: each terminal with room takes the next message it may send (mayClaim: the
    // host's claim session lets this id be claimed now), answers first to their terminal.
    std::vector<TPick> Propose(uint32_t tick, std::time_t now,
                               const std::function<bool(int32_t)>& mayClaim);
    // The picks whose ids were claimed go to their terminals; the ones another host has are
    // released; nullopt (no claim could be taken) leaves them all pending.
    TDecisions Settle(const std::vector<TPick>& picks,
                      const std::optional<std::set<int32_t>>& claimed, uint32_t tick);

    // --- what the terminals report ---
    // Each turn: a terminal's state and registration; health changes, suspensions ending,
    // parked messages coming due, and messages no terminal can take going back.
    TDecisions Watch(const std::vector<TTerminalSnapshot>& snapshots, uint32_t tick,
                     std::time_t now);
    TDecisions Outcome(size_t terminal, const TOutcome& outcome, uint32_t tick, std::time_t now);
    // The messages a TakeBack (or a lost claim session) took from the terminal's queue: to the
    // head of the pending list, unclaimed.
    // say: log how many came back (the caller logs a lost claim session itself).
    TDecisions TakenBack(size_t terminal, std::vector<TQueuedSms> messages, bool say = true);

    // --- terminals ---
    TTerminalHealth Health(size_t terminal) const { return FTerminals[terminal].Health; }
    // Counts as working: registered, not suspended, under its day's limit, and not out of its
    // working state for longer than its grace.
    bool Available(size_t terminal) const {
        return FTerminals[terminal].Health == TTerminalHealth::Working;
    }
    // Takes messages now: available and in its working state at the last watch.
    bool Carries(size_t terminal) const {
        return Available(terminal) && FTerminals[terminal].WorkingNow;
    }
    // Some terminal takes messages to this number now or soon, prefixes considered: else its
    // rows wait in the database, read again once such a terminal is back (LeftInDatabase).
    bool HasCarrier(const std::string& digits) const;
    // A pass left rows in the database for a terminal that is away: read them when it is back.
    void LeftInDatabase() { FReadWhenBack = true; }
    std::time_t SuspendedUntil(size_t terminal) const;
    // The SIM's limits; the worker restores the day's count of the SIM it names.
    TSendLimits& Limits(size_t terminal) { return FTerminals[terminal].Limits; }
    const TSendLimits& Limits(size_t terminal) const { return FTerminals[terminal].Limits; }
    // The terminal has said which SIM it is, and its day's count is restored: with a daily
    // limit nothing goes before.
    void SimKnown(size_t terminal) { FTerminals[terminal].SimKnown = true; }

    // Every message this host has taken from the database and not finished: pending, with the
    // terminals, and waiting for a late answer. Cleared: the terminals stopped.
    std::vector<int32_t> Unfinished() const;

private:
    struct TTerminal {
        TTerminalConfig Config;
        TSendLimits Limits;
        TTerminalHealth Health = TTerminalHealth::Stopped;
        bool Seen = false;       // watched at least once
        bool WorkingNow = false; // in the working state at the last watch
        bool SimKnown = false;
        bool EverWorked = false; // since its start: only then is an outage a reason to suspend
        bool WasCarrier = false; // Carries() at the last watch
        std::map<int32_t, TQueuedSms> Held; // by id: a failed one goes back from here
        bool OutOfWork = true;              // not working, since OutOfWorkTick
        uint32_t OutOfWorkTick = 0;
        bool Unregistered = false; // reported unregistered, since UnregisteredTick
        uint32_t UnregisteredTick = 0;
        bool Suspended = false;
        uint32_t SuspendedUntilTick = 0;
        std::time_t SuspendedUntil = 0;
        uint32_t SuspendSec = SuspendFirstSec;
        bool ResumeUnsaid = false; // a suspension ended: said once it works again
        // A refusal counts against a message only from a terminal that has sent since its last
        // suspension: a terminal that sends nothing cannot judge a message.
        bool SentSinceSuspension = false;
        std::set<int32_t> FailureRun; // different messages failed since its last success
        bool AtLimitSaid = false;
    };
    // What this host remembers of a message's failures until it leaves for good.
    struct TMemory {
        int32_t Refusals = 0;
        std::set<size_t> RefusedBy;
        int32_t Failures = 0; // in a row, without a refusal
        std::optional<size_t> FailedOn;
        uint32_t RetryAfterTick = 0;
        bool Waiting = false; // RetryAfterTick holds
        int32_t MaybeSent = 0;
    };
    struct TPending {
        TQueuedSms Sms;
        std::optional<int32_t> AnswerTo; // section number of the terminal asked
        bool Homeless = false;           // no terminal here could take it, since HomelessTick
        uint32_t HomelessTick = 0;
    };
    struct TParked {
        size_t Terminal = 0;
        TQueuedSms Sms;
        uint32_t UntilTick = 0;
    };

    bool MayTake(size_t terminal, std::time_t now, uint32_t tick, bool answer) const;
    bool MayCarry(size_t terminal, const TPending& pending, uint32_t tick, std::time_t now,
                  const std::function<bool(int32_t)>& mayClaim) const;
    // Only terminals that take nothing now may send to this number ("only" prefixes).
    bool OnlyForAway(const std::string& digits) const;
    bool PrefixMatches(size_t terminal, const std::string& digits) const;
    size_t WorkingCount() const;
    uint32_t GraceMs(size_t terminal) const;
    TTerminalHealth HealthOf(size_t terminal, uint32_t tick, std::time_t now) const;
    void WatchTerminal(size_t terminal, const TTerminalSnapshot& snapshot, uint32_t tick,
                       std::time_t now, TDecisions& decisions);
    void HealthChanged(size_t terminal, TTerminalHealth was, uint32_t tick, std::time_t now,
                       TDecisions& decisions);
    void WatchParked(const std::vector<TTerminalSnapshot>& snapshots, uint32_t tick,
                     TDecisions& decisions);
    void WatchHomeless(uint32_t tick, TDecisions& decisions);
    void Suspend(size_t terminal, const std::string& why, uint32_t tick, std::time_t now,
                 TDecisions& decisions);
    void Acknowledged(size_t terminal, int32_t msgId, std::time_t now, TDecisions& decisions);
    void Failed(size_t terminal, const TOutcome& outcome, TQueuedSms sms, uint32_t tick,
                std::time_t now, TDecisions& decisions);
    void Refused(size_t terminal, const TOutcome& outcome, TQueuedSms sms, uint32_t tick,
                 TDecisions& decisions);
    void MaybeSent(size_t terminal, const TOutcome& outcome, TQueuedSms sms, uint32_t tick,
                   std::time_t now, TDecisions& decisions);
    // The terminal failed on a message without the network's verdict on it: counts against
    // the terminal.
    void FailedHere(size_t terminal, int32_t msgId, const char* why, uint32_t tick, std::time_t now,
                    TDecisions& decisions);
    void GiveUp(int32_t msgId, const TSMS& sms, const std::string& reason, size_t terminal,
                TDecisions& decisions);
    // Back to the pending list (its claim goes): first in line, or behind the others.
    void BackToPending(TQueuedSms sms, bool first, TDecisions& decisions);
    void Finished(int32_t msgId);
    // The section number's index; nullopt when no such terminal runs.
    std::optional<size_t> IndexOf(int32_t number) const;
    static void Say(TDecisions& decisions, std::string text);
    // The tick at has come (ticks wrap: compared as a signed difference).

    std::vector<TTerminal> FTerminals;
    std::deque<TPending> FPending;
    std::map<int32_t, TMemory> FMemory;
    std::vector<TParked> FParked;
    std::map<std::string, int32_t> FAnswerTerminal;
    size_t FNextTerminal = 0; // where the next round starts, so that no terminal is always first
    bool FReadWhenBack = false;
    bool FNotifyDue = false; // an answer could not go to its terminal: the others may have room
};

} // namespace qvx
