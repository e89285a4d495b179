#include "processing/Dispatch.h"

#include "infra/LogFile.h"
#include "infra/Thread.h"
#include "processing/DeliveryRules.h"

#include <algorithm>

namespace qvx {

namespace {

TDecision Make(TDecision::TKind kind, size_t terminal, int32_t msgId = 0) {
    TDecision decision;
    decision.Kind = kind;
    decision.Terminal = terminal;
    decision.MsgId = msgId;
    return decision;
}

} // namespace

TDispatch::TDispatch(std::vector<TTerminalConfig> terminals) {
    FTerminals.reserve(terminals.size());
    for (TTerminalConfig& config : terminals) {
        TTerminal& terminal = FTerminals.emplace_back();
        terminal.Limits = TSendLimits(config.MaxPerMinute, config.DailyLimit, config.DailyResetMin);
        terminal.Config = std::move(config);
    }
}

std::string TDispatch::Tag(size_t terminal) const {
    return Several() ? " [" + FTerminals[terminal].Config.Name + "]" : "";
}

std::optional<size_t> TDispatch::IndexOf(int32_t number) const {
    for (size_t t = 0; t < FTerminals.size(); ++t)
        if (FTerminals[t].Config.Number == number)
            return t;
    return std::nullopt;
}

void TDispatch::Say(TDecisions& decisions, std::string text) {
    TDecision decision;
    decision.Text = std::move(text);
    decisions.push_back(std::move(decision));
}

// --- the pending list ---

void TDispatch::Add(TQueuedSms sms) {
    FPending.push_back({std::move(sms), std::nullopt});
}

void TDispatch::AddAnswers(std::vector<TQueuedSms> answers) {
    // Last first: each goes to the head, so the first ends up in front.
    for (auto it = answers.rbegin(); it != answers.rend(); ++it) {
        TPending pending{std::move(*it), std::nullopt};
        const auto from = FAnswerTerminal.find(SubscriberKey(pending.Sms.Sms.Telephone));
        if (from != FAnswerTerminal.end()) {
            pending.AnswerTo = from->second;
            FAnswerTerminal.erase(from);
        }
        FPending.push_front(std::move(pending));
    }
}

void TDispatch::RequestFrom(const std::string& subscriberKey, int32_t terminalNumber) {
    if (FAnswerTerminal.size() >= AnswerTerminalsMax)
        FAnswerTerminal.clear();
    FAnswerTerminal[subscriberKey] = terminalNumber;
}

size_t TDispatch::Queued() const {
    size_t queued = FPending.size() + FParked.size();
    for (const TTerminal& terminal : FTerminals)
        queued += terminal.Held.size();
    return queued;
}

std::vector<int32_t> TDispatch::Unfinished() const {
    std::vector<int32_t> ids;
    for (const TPending& pending : FPending)
        ids.push_back(pending.Sms.Sms.MsgId);
    for (const TParked& parked : FParked)
        ids.push_back(parked.Sms.Sms.MsgId);
    for (const TTerminal& terminal : FTerminals)
        for (const auto& held : terminal.Held)
            ids.push_back(held.first);
    return ids;
}

// --- handing over ---

bool TDispatch::MayTake(size_t t, std::time_t now, uint32_t tick, bool answer) const {
    const TTerminal& terminal = FTerminals[t];
    if (!Carries(t))
        return false;
    if (!answer && terminal.Held.size() >= HeldMax)
        return false;
    // The daily count is the SIM's: nothing goes before the terminal has said which SIM it is.
    const int32_t daily = terminal.Limits.DailyLimit();
    if (daily > 0 && !terminal.SimKnown)
        return false;
    if (!terminal.Limits.MayTake(now, tick))
        return false;
    // What it holds may all be acknowledged: together with the day's count they stay within.
    return daily <= 0 ||
           terminal.Limits.SentToday(now) + static_cast<int32_t>(terminal.Held.size()) < daily;
}

bool TDispatch::PrefixMatches(size_t t, const std::string& digits) const {
    const auto& prefixes = FTerminals[t].Config.Prefixes;
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [&](const std::string& prefix) { return digits.starts_with(prefix); });
}

// A message whose number matches another terminal's prefixes waits for that one: for ever
// with "only", while it can send with "prefer". One that just failed on a terminal goes to
// another while another works, so that the failing one meets fresh messages and its run of
// failures shows.
bool TDispatch::MayCarry(size_t t, const TPending& pending, uint32_t tick, std::time_t now,
                         const std::function<bool(int32_t)>& mayClaim) const {
    const int32_t id = pending.Sms.Sms.MsgId;
    if (mayClaim && !mayClaim(id))
        return false;
    if (const auto memory = FMemory.find(id); memory != FMemory.end()) {
        if (memory->second.Waiting && !TickReached(tick, memory->second.RetryAfterTick))
            return false;
        if (memory->second.FailedOn == t && WorkingCount() >= 2)
            return false;
    }
    const std::string& digits = pending.Sms.Prepared.Digits;
    if (PrefixMatches(t, digits))
        return true;
    for (size_t other = 0; other < FTerminals.size(); ++other) {
        if (other == t || !PrefixMatches(other, digits))
            continue;
        if (FTerminals[other].Config.PrefixOnly || MayTake(other, now, tick, true))
            return false;
    }
    return true;
}

std::vector<TPick> TDispatch::Propose(uint32_t tick, std::time_t now,
                                      const std::function<bool(int32_t)>& mayClaim) {
    std::vector<TPick> picks;
    std::vector<bool> chosen(FPending.size(), false);
    // An answer goes to the head of the terminal that received its request; when that one
    // cannot take it, it waits first in line for any, and the other hosts hear of it.
    for (size_t j = 0; j < FPending.size(); ++j) {
        TPending& pending = FPending[j];
        if (!pending.AnswerTo)
            continue;
        const std::optional<size_t> to = IndexOf(*pending.AnswerTo);
        pending.AnswerTo.reset();
        if (to && MayTake(*to, now, tick, true) && (!mayClaim || mayClaim(pending.Sms.Sms.MsgId))) {
            chosen[j] = true;
            picks.push_back({*to, pending.Sms.Sms.MsgId, true});
        } else {
            FNotifyDue = true;
        }
    }
    // Each answer goes to a head: the last first, so that the first ends up in front.
    std::reverse(picks.begin(), picks.end());
    // Each terminal with room takes one message a round, so that a terminal's second message
    // never goes before another's first.
    const size_t count = FTerminals.size();
    bool any = false;
    for (size_t k = 0; k < count; ++k) {
        const size_t t = (FNextTerminal + k) % count;
        if (!MayTake(t, now, tick, false))
            continue;
        for (size_t j = 0; j < FPending.size(); ++j)
            if (!chosen[j] && MayCarry(t, FPending[j], tick, now, mayClaim)) {
                chosen[j] = true;
                picks.push_back({t, FPending[j].Sms.Sms.MsgId, false});
                any = true;
                break;
            }
    }
    if (any)
        FNextTerminal = (FNextTerminal + 1) % count;
    return picks;
}

TDecisions TDispatch::Settle(const std::vector<TPick>& picks,
                             const std::optional<std::set<int32_t>>& claimed, uint32_t tick) {
    TDecisions decisions;
    if (!claimed)
        return decisions; // they stay pending until a claim can be taken
    for (const TPick& pick : picks) {
        const auto at = std::find_if(FPending.begin(), FPending.end(), [&](const TPending& p) {
            return p.Sms.Sms.MsgId == pick.MsgId;
        });
        if (at == FPending.end())
            continue;
        TQueuedSms sms = std::move(at->Sms);
        FPending.erase(at);
        if (claimed->count(pick.MsgId) == 0) {
            // Another host has it, or it was stamped meanwhile.
            Finished(pick.MsgId);
            decisions.push_back(Make(TDecision::TKind::Release, pick.Terminal, pick.MsgId));
            continue;
        }
        TTerminal& terminal = FTerminals[pick.Terminal];
        terminal.Limits.Taken(tick);
        terminal.Held.insert_or_assign(pick.MsgId, sms);
        if (const auto memory = FMemory.find(pick.MsgId); memory != FMemory.end()) {
            memory->second.Waiting = false;
            if (memory->second.FailedOn != pick.Terminal)
                memory->second.FailedOn.reset();
        }
        TDecision decision =
            Make(pick.Answer ? TDecision::TKind::HandAnswer : TDecision::TKind::HandOver,
                 pick.Terminal, pick.MsgId);
        decision.Sms = std::move(sms);
        decisions.push_back(std::move(decision));
    }
    return decisions;
}

// --- terminals ---

size_t TDispatch::WorkingCount() const {
    size_t working = 0;
    for (size_t t = 0; t < FTerminals.size(); ++t)
        working += Carries(t);
    return working;
}

bool TDispatch::OnlyForAway(const std::string& digits) const {
    bool only = false;
    for (size_t t = 0; t < FTerminals.size(); ++t) {
        if (!PrefixMatches(t, digits))
            continue;
        if (Carries(t))
            return false;
        only = only || FTerminals[t].Config.PrefixOnly;
    }
    return only;
}

bool TDispatch::HasCarrier(const std::string& digits) const {
    if (OnlyForAway(digits))
        return false;
    for (size_t t = 0; t < FTerminals.size(); ++t)
        if (Carries(t))
            return true;
    return false;
}

std::time_t TDispatch::SuspendedUntil(size_t t) const {
    return FTerminals[t].Suspended ? FTerminals[t].SuspendedUntil : 0;
}

uint32_t TDispatch::GraceMs(size_t t) const {
    return static_cast<uint32_t>(std::max(FTerminals[t].Config.ModemTimeoutMs, 0)) + GraceMarginMs;
}

} // namespace qvx
