// What the worker does when one of several terminals fails: its waiting messages go back to
// the pending list for the others, it is suspended and initialised again, and a refusal
// counts against a message only when a terminal that works gave it. Also each SIM's limits.
#include "infra/LogFile.h"
#include "processing/WorkThread.h"
#include "terminal/RefusalCause.h"

#include <algorithm>

namespace qvx {

namespace {

// Refusals for a cause of the message's own after which it is given up.
constexpr int32_t RefusalsToGiveUp = 3;

// A terminal that left the working state for longer than its ModemTimeout and this is
// suspended, and what it holds goes to the others.
constexpr uint32_t NotWorkingGraceMs = 1000;

// A message refused for a cause of its own waits this long before any terminal tries it again.
constexpr uint32_t RefusedPauseMs = 5000;

} // namespace

void TWorkThread::WatchTerminals() {
    const uint32_t tick = GetTickCount();
    const std::time_t now = std::time(nullptr);
    for (TTerminalSlot& slot : FTerminals) {
        WatchTerminal(slot, tick, now);
        const bool available = Available(slot, now);
        if (available && !slot.WasAvailable && FLeftForAway) {
            // The rows the last pass left for it are read now, not at the next tick.
            FLeftForAway = false;
            FSendNow.store(true);
            FProcessPending.store(true);
        }
        slot.WasAvailable = available;
    }
}

void TWorkThread::WatchTerminal(TTerminalSlot& slot, uint32_t tick, std::time_t now) {
    const std::string tag = slot.Tag(FSeveral);
    const bool working = slot.Working();
    if (working) {
        slot.WasWorking = true;
        slot.NotWorking = false;
        ResolveSim(slot);
    } else if (slot.WasWorking && FSeveral) {
        // One suspension for each time it leaves the working state.
        if (!slot.NotWorking) {
            slot.NotWorking = true;
            slot.OutageHandled = false;
            slot.NotWorkingSinceTick = tick;
        } else if (!slot.OutageHandled &&
                   tick - slot.NotWorkingSinceTick >
                       static_cast<uint32_t>(slot.Config.ModemTimeoutMs) + NotWorkingGraceMs) {
            slot.OutageHandled = true;
            if (!slot.Suspended)
                Suspend(slot, "нет связи с GSM терминалом");
        }
    }
    if (slot.Suspended) {
        // A message the terminal let go of without an outcome (a fresh start cut it short)
        // leaves with the others.
        if (!slot.Held.empty())
            Withdraw(slot);
        if (static_cast<int32_t>(tick - slot.SuspendedUntilTick) >= 0) {
            slot.Suspended = false;
            slot.ResumeUnlogged = true;
        }
    }
    // Said when it can take messages again, which a dead terminal may never.
    if (slot.ResumeUnlogged && working) {
        slot.ResumeUnlogged = false;
        WriteLog("GSM терминал снова принимает сообщения%s", tag.c_str());
    }
    if (slot.Limits.DailyLimit() > 0 && !slot.SimKey.empty()) {
        const bool atLimit = slot.Limits.AtDailyLimit(now);
        if (atLimit && !slot.AtLimitLogged)
            WriteLog("Достигнут дневной лимит SIM-карты (%d SMS): отправка приостановлена%s",
                     slot.Limits.DailyLimit(), tag.c_str());
        else if (!atLimit && slot.AtLimitLogged)
            WriteLog("Дневной лимит SIM-карты обновлен: отправка возобновлена%s", tag.c_str());
        slot.AtLimitLogged = atLimit;
    }
}

// The terminal starts over before its next message, and takes nothing for a while that
// doubles with every suspension until it sends again.
void TWorkThread::Suspend(TTerminalSlot& slot, const char* why) {
    const uint32_t seconds = slot.SuspendSec;
    slot.Suspended = true;
    slot.SuspendedUntilTick = GetTickCount() + seconds * 1000;
    slot.SuspendedUntil = std::time(nullptr) + seconds;
    slot.SuspendSec = std::min(seconds * 2, TTerminalSlot::SuspendMaxSec);
    slot.SentSinceSuspension = false;
    slot.FailureRun.clear();
    WriteLog("GSM терминал приостановлен на %u с: %s%s", seconds, why, slot.Tag(FSeveral).c_str());
    Withdraw(slot);
    slot.Siemens->RequestReinitialise();
}

void TWorkThread::Withdraw(TTerminalSlot& slot) {
    std::vector<TQueuedSms> back = slot.Siemens->Withdraw();
    if (back.empty())
        return;
    for (auto it = back.rbegin(); it != back.rend(); ++it) {
        slot.Held.erase(it->Sms.MsgId);
        FPending.push_front(std::move(*it));
    }
    WriteLog("Сообщения GSM терминала переданы другим терминалам: %zu%s", back.size(),
             slot.Tag(FSeveral).c_str());
}

// A message one of several terminals failed on goes back to the pending list. A refusal for a
// cause of its own counts against it only from a terminal that has sent since its last
// suspension, and, while two or more terminals work, from two different ones; any other
// failure counts against the terminal, and the message goes first.
void TWorkThread::FailedOn(TTerminalSlot& slot, const TOutcome& outcome, TQueuedSms queued) {
    const int32_t id = outcome.MsgId;
    const bool refused = !outcome.Reason.empty();
    const bool ownCause =
        refused && RefusalKind(RefusalCause(outcome.Reason)) == TRefusalKind::Message;
    if (ownCause) {
        slot.FailureRun.clear();
        if (slot.SentSinceSuspension) {
            TRefusals& refusals = FRefusals[id];
            ++refusals.Count;
            refusals.Terminals.insert(slot.Config.Number);
            if (refusals.Count >= RefusalsToGiveUp &&
                (WorkingCount() < 2 || refusals.Terminals.size() >= 2)) {
                ApplyOutcome(slot, {id,
                                    TOutcomeKind::GivenUp,
                                    outcome.ResultCode,
                                    outcome.Telephone,
                                    "сеть отклонила сообщение (" + outcome.Reason + ")",
                                    {}});
                return;
            }
        }
        // Behind the others, not at once and through another terminal if one works, so that a
        // message no terminal may give up yet is not sent into the same refusal at the line's
        // pace, and a second terminal's verdict comes soon.
        FRetryAfter[id] = GetTickCount() + RefusedPauseMs;
        FFailedOn[id] = slot.Config.Number;
        FPending.push_back(std::move(queued));
        return;
    }
    // Without an answer nobody knows whether the network took it.
    if (!refused)
        WriteLog("Сообщение ID=%d передано другому GSM терминалу: возможен повтор%s", id,
                 slot.Tag(FSeveral).c_str());
    slot.FailureRun.insert(id);
    FFailedOn[id] = slot.Config.Number;
    if (slot.FailureRun.size() >= TTerminalSlot::FailuresToSuspend)
        Suspend(slot, refused ? "сеть не принимает SMS" : "GSM терминал не отправляет SMS");
    FPending.push_front(std::move(queued));
}

void TWorkThread::ForgetFailures(int32_t msgId) {
    FRefusals.erase(msgId);
    FRetryAfter.erase(msgId);
    FFailedOn.erase(msgId);
}

// The daily count follows the SIM: a SIM moved to another terminal brings its count along.
void TWorkThread::ResolveSim(TTerminalSlot& slot) {
    if (slot.Limits.DailyLimit() <= 0)
        return;
    const std::string imsi = slot.Siemens->Imsi();
    const std::string key =
        !imsi.empty() && SimKeyAllowed(imsi) ? imsi : "terminal:" + slot.Config.Name;
    if (key == slot.SimKey)
        return;
    slot.SimKey = key;
    const auto kept = FState.SimCounts.find(key);
    if (kept != FState.SimCounts.end())
        slot.Limits.Restore(kept->second.PeriodStart, kept->second.Count);
    else
        slot.Limits.Restore(0, 0);
}

void TWorkThread::CountSent(TTerminalSlot& slot) {
    slot.Limits.Sent(std::time(nullptr));
    slot.FailureRun.clear();
    slot.SentSinceSuspension = true;
    slot.SuspendSec = TTerminalSlot::SuspendFirstSec;
    if (slot.Limits.DailyLimit() <= 0 || slot.SimKey.empty())
        return;
    FState.SimCounts[slot.SimKey] = {slot.Limits.StoredPeriod(), slot.Limits.StoredCount()};
    FStateChanged = true;
}

} // namespace qvx
