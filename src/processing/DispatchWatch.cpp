// TDispatch's watch of its terminals at each turn: the health of each one and what a change
// of it means for the messages it holds, the end of suspensions, the day's limit, messages
// that waited out a late answer, and messages no terminal of this host can send.
#include "infra/LogFile.h"
#include "infra/Thread.h"
#include "processing/Dispatch.h"
#include "terminal/NetworkStatus.h"

#include <algorithm>

namespace qvx {

namespace {

bool IsUnregistered(int32_t registration) {
    // A terminal that never answered at+creg? is not: it may just not know the command.
    return registration != static_cast<int32_t>(TRegistration::Unknown) &&
           registration != static_cast<int32_t>(TRegistration::Home) &&
           registration != static_cast<int32_t>(TRegistration::Roaming);
}

} // namespace

TDecisions TDispatch::Watch(const std::vector<TTerminalSnapshot>& snapshots, uint32_t tick,
                            std::time_t now) {
    TDecisions decisions;
    for (size_t t = 0; t < FTerminals.size() && t < snapshots.size(); ++t)
        WatchTerminal(t, snapshots[t], tick, now, decisions);
    WatchParked(snapshots, tick, decisions);
    WatchHomeless(tick, decisions);
    if (FNotifyDue) {
        FNotifyDue = false;
        decisions.push_back({TDecision::TKind::Notify, 0, 0, {}, {}});
    }
    return decisions;
}

void TDispatch::WatchTerminal(size_t t, const TTerminalSnapshot& snapshot, uint32_t tick,
                              std::time_t now, TDecisions& decisions) {
    TTerminal& terminal = FTerminals[t];
    if (!terminal.Seen || (!snapshot.Working && terminal.WorkingNow))
        terminal.OutOfWorkTick = tick;
    terminal.Seen = true;
    terminal.WorkingNow = snapshot.Working;
    terminal.EverWorked = terminal.EverWorked || snapshot.Working;
    // The registration a terminal out of work reported last is stale: it says nothing.
    const bool unregistered = snapshot.Working && IsUnregistered(snapshot.Registration);
    if (unregistered && !terminal.Unregistered)
        terminal.UnregisteredTick = tick;
    terminal.Unregistered = unregistered;
    if (terminal.Suspended && TickReached(tick, terminal.SuspendedUntilTick)) {
        terminal.Suspended = false;
        terminal.ResumeUnsaid = true;
    }
    const TTerminalHealth was = terminal.Health;
    terminal.Health = HealthOf(t, tick, now);
    if (terminal.Health != was)
        HealthChanged(t, was, tick, now, decisions);
    // The rows left in the database for want of a terminal are read as soon as one takes
    // messages again, not at the next tick.
    const bool carrier = Carries(t);
    if (carrier && !terminal.WasCarrier && FReadWhenBack) {
        FReadWhenBack = false;
        decisions.push_back({TDecision::TKind::ReadAgain, t, 0, {}, {}});
    }
    terminal.WasCarrier = carrier;
    // Said when it can take messages again, which a dead terminal may never.
    if (terminal.ResumeUnsaid && terminal.Health == TTerminalHealth::Working && snapshot.Working) {
        terminal.ResumeUnsaid = false;
        Say(decisions, "GSM терминал снова принимает сообщения" + Tag(t));
    }
    // A message the terminal let go of without an outcome (a fresh start cut it short) leaves
    // with the others.
    const bool away = terminal.Health == TTerminalHealth::Suspended ||
                      terminal.Health == TTerminalHealth::Stopped ||
                      terminal.Health == TTerminalHealth::Unregistered;
    if (away && !terminal.Held.empty())
        decisions.push_back({TDecision::TKind::TakeBack, t, 0, {}, {}});
    if (terminal.Limits.DailyLimit() > 0 && terminal.SimKnown) {
        const bool atLimit = terminal.Limits.AtDailyLimit(now);
        if (atLimit && !terminal.AtLimitSaid)
            Say(decisions,
                FormatMessage("Достигнут дневной лимит SIM-карты (%d SMS): отправка приостановлена",
                              terminal.Limits.DailyLimit()) +
                    Tag(t));
        else if (!atLimit && terminal.AtLimitSaid)
            Say(decisions, "Дневной лимит SIM-карты обновлен: отправка возобновлена" + Tag(t));
        terminal.AtLimitSaid = atLimit;
    }
}

TTerminalHealth TDispatch::HealthOf(size_t t, uint32_t tick, std::time_t now) const {
    const TTerminal& terminal = FTerminals[t];
    if (!terminal.Config.Send)
        return TTerminalHealth::Stopped;
    if (terminal.Suspended)
        return TTerminalHealth::Suspended;
    // Within its grace a terminal out of work still counts as one that will send: a fresh
    // start after a refusal or a short unplug takes about that long.
    if (!terminal.WorkingNow && uint32_t(tick - terminal.OutOfWorkTick) > GraceMs(t))
        return TTerminalHealth::Stopped;
    if (terminal.Unregistered && uint32_t(tick - terminal.UnregisteredTick) > GraceMs(t))
        return TTerminalHealth::Unregistered;
    if (terminal.SimKnown && terminal.Limits.AtDailyLimit(now))
        return TTerminalHealth::AtLimit;
    return TTerminalHealth::Working;
}

void TDispatch::HealthChanged(size_t t, TTerminalHealth was, uint32_t tick, std::time_t now,
                              TDecisions& decisions) {
    const TTerminalHealth health = FTerminals[t].Health;
    // One that worked and went away: with others to carry the load it is suspended, so that a
    // terminal that comes and goes does not keep taking messages it strands.
    if (health == TTerminalHealth::Stopped && was == TTerminalHealth::Working &&
        FTerminals[t].Config.Send && FTerminals[t].EverWorked && Several()) {
        Suspend(t, "нет связи с GSM терминалом", tick, now, decisions);
        return;
    }
    if (health == TTerminalHealth::Unregistered)
        Say(decisions,
            "GSM терминал не зарегистрирован в сети: сообщения ему не передаются" + Tag(t));
    if (was == TTerminalHealth::Unregistered && health == TTerminalHealth::Working)
        Say(decisions, "GSM терминал зарегистрирован в сети: сообщения передаются снова" + Tag(t));
}

// The terminal starts over before its next message, and takes nothing for a while that
// doubles with every suspension until it sends again.
void TDispatch::Suspend(size_t t, const std::string& why, uint32_t tick, std::time_t now,
                        TDecisions& decisions) {
    TTerminal& terminal = FTerminals[t];
    const uint32_t seconds = terminal.SuspendSec;
    terminal.Suspended = true;
    terminal.SuspendedUntilTick = tick + seconds * 1000;
    terminal.SuspendedUntil = now + seconds;
    terminal.SuspendSec = std::min(seconds * 2, SuspendMaxSec);
    terminal.SentSinceSuspension = false;
    terminal.FailureRun.clear();
    terminal.Health = TTerminalHealth::Suspended;
    Say(decisions, FormatMessage("GSM терминал приостановлен на %u с: ", seconds) + why + Tag(t));
    decisions.push_back({TDecision::TKind::TakeBack, t, 0, {}, {}});
    decisions.push_back({TDecision::TKind::Reinitialise, t, 0, {}, {}});
}

// A message the network may have waited out its late answer: it goes once more, first in line.
// One whose terminal lost its port goes at once and uncounted: that port brings no answer.
void TDispatch::WatchParked(const std::vector<TTerminalSnapshot>& snapshots, uint32_t tick,
                            TDecisions& decisions) {
    for (auto it = FParked.begin(); it != FParked.end();) {
        const bool portGone = it->Terminal < snapshots.size() && snapshots[it->Terminal].Reopening;
        if (!portGone && !TickReached(tick, it->UntilTick)) {
            ++it;
            continue;
        }
        if (portGone)
            --FMemory[it->Sms.Sms.MsgId].MaybeSent;
        Say(decisions, FormatMessage("Сообщение ID=%d будет отправлено повторно: возможен повтор",
                                     it->Sms.Sms.MsgId) +
                           Tag(it->Terminal));
        BackToPending(std::move(it->Sms), true, decisions);
        it = FParked.erase(it);
    }
}

// A message no terminal of this host can send for longer than a terminal's grace goes back to
// the database: another host may have a terminal for it, and a pass here reads it again once a
// terminal is back.
void TDispatch::WatchHomeless(uint32_t tick, TDecisions& decisions) {
    uint32_t graceMs = 0;
    for (size_t t = 0; t < FTerminals.size(); ++t)
        graceMs = std::max(graceMs, GraceMs(t));
    size_t back = 0;
    for (auto it = FPending.begin(); it != FPending.end();) {
        if (HasCarrier(it->Sms.Prepared.Digits)) {
            it->Homeless = false;
            ++it;
            continue;
        }
        if (!it->Homeless) {
            it->Homeless = true;
            it->HomelessTick = tick;
        }
        if (uint32_t(tick - it->HomelessTick) <= graceMs) {
            ++it;
            continue;
        }
        Finished(it->Sms.Sms.MsgId);
        decisions.push_back({TDecision::TKind::GiveBack, 0, it->Sms.Sms.MsgId, {}, {}});
        it = FPending.erase(it);
        ++back;
    }
    if (back == 0)
        return;
    FReadWhenBack = true;
    FNotifyDue = true;
    Say(decisions,
        FormatMessage("Сообщения, которые сейчас не может отправить ни один GSM терминал, "
                      "оставлены в базе данных: %zu",
                      back));
}

} // namespace qvx
