// TTerminalSlot, one running terminal as the worker sees it: its settings, its thread, the
// messages it holds, its SIM's limits, and whether it is suspended after a failure. The worker
// thread alone reads and changes a slot; the terminal thread inside is reached through TSiemens.
#pragma once

#include "infra/Config.h"
#include "processing/SendLimits.h"
#include "terminal/HandledEntries.h"
#include "terminal/Siemens.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace qvx {

// What one terminal object learnt about its SIM, handed to the next one after a reload: the
// PIN the SIM refused, the entries it failed to delete, the received texts the worker still
// holds or has confirmed, and the next reference of a long message.
struct TTerminalCarry {
    std::string RefusedPin;
    THandledEntries Handled;
    THandledEntries Awaiting;
    THandledEntries Confirmed;
    std::optional<uint8_t> ConcatRef; // none before the terminal's first start
};

struct TTerminalSlot {
    // A terminal takes messages while it holds fewer than this: the one in submission and one
    // waiting, so that a slow terminal takes less and a dead one strands at most two.
    static constexpr size_t HeldMax = 2;
    // Three failures in a row on different messages suspend the terminal, first for
    // SuspendFirstSec, doubling up to SuspendMaxSec.
    static constexpr size_t FailuresToSuspend = 3;
    static constexpr uint32_t SuspendFirstSec = 60;
    static constexpr uint32_t SuspendMaxSec = 15 * 60;

    TTerminalConfig Config;
    std::unique_ptr<TSiemens> Siemens;
    TSendLimits Limits;
    // Messages with the terminal (in submission or waiting), by id: a failed one goes back to
    // the pending list from here.
    std::map<int32_t, TQueuedSms> Held;
    // Whose daily count this terminal keeps: its SIM's IMSI, or "terminal:<Name>" when the SIM
    // does not tell it. Empty until the terminal first works.
    std::string SimKey;
    bool WasWorking = false;
    bool NotWorking = false;
    uint32_t NotWorkingSinceTick = 0;
    bool OutageHandled = false; // this time out of the working state has suspended it
    bool Suspended = false;
    bool ResumeUnlogged = false; // the suspension ended; said once it works again
    uint32_t SuspendedUntilTick = 0;
    std::time_t SuspendedUntil = 0;
    uint32_t SuspendSec = SuspendFirstSec;
    // A refusal counts against a message only from a terminal that has sent since its last
    // suspension: a terminal that sends nothing cannot judge a message.
    bool SentSinceSuspension = false;
    // Different messages it failed on since its last success, without a refusal of their own.
    std::set<int32_t> FailureRun;
    bool AtLimitLogged = false;
    bool WasAvailable = false; // at the last look: see TWorkThread::Available

    bool Working() const {
        return Siemens && Siemens->GetState() == static_cast<int32_t>(TTerminalState::Working);
    }
    // " [<Name>]" when the worker drives several terminals: the end of every service-log line
    // about this terminal or a message it sends.
    std::string Tag(bool several) const { return several ? " [" + Config.Name + "]" : ""; }
};

// Whether one of the terminal's prefixes begins the number's digits.
bool PrefixMatches(const TTerminalConfig& terminal, const std::string& digits);

} // namespace qvx
