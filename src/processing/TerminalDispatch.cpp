// How the worker shares its pending messages among its terminals: each terminal with room
// takes the next message it may send, claimed first so that no other process sends it; an
// account answer goes to the head of the terminal that received its request.
#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/DeliveryRules.h"
#include "processing/Error.h"
#include "processing/WorkThread.h"

namespace qvx {

bool TWorkThread::SendingTerminalWorking(bool log) {
    for (const TTerminalSlot& slot : FTerminals)
        if (slot.Config.Send && slot.Working())
            return true;
    if (!log)
        return false;
    if (FTerminals.size() == 1)
        WriteLog("GSM терминал не готов к работе (State=%d)",
                 FTerminals.front().Siemens->GetState());
    else
        WriteLog("Ни один GSM терминал не готов к работе");
    return false;
}

bool TWorkThread::MayTake(const TTerminalSlot& slot, bool answer) const {
    const std::time_t now = std::time(nullptr);
    if (!Available(slot, now))
        return false;
    if (!answer && slot.Held.size() >= TTerminalSlot::HeldMax)
        return false;
    // The daily count is the SIM's: nothing goes before the terminal has said which SIM it is.
    const int32_t daily = slot.Limits.DailyLimit();
    if (daily > 0 && slot.SimKey.empty())
        return false;
    if (!slot.Limits.MayTake(now, GetTickCount()))
        return false;
    // What it holds may all be acknowledged: together with the day's count they stay within
    // the limit.
    return daily <= 0 ||
           slot.Limits.SentToday(now) + static_cast<int32_t>(slot.Held.size()) < daily;
}

// A message whose number matches another terminal's prefixes waits for that one: for ever
// with "only", while it can send with "prefer".
bool TWorkThread::MayCarry(const TTerminalSlot& slot, const TQueuedSms& sms) const {
    if (!FClaimSession.MayClaim(sms.Sms.MsgId, GetTickCount()))
        return false;
    const auto retry = FRetryAfter.find(sms.Sms.MsgId);
    if (retry != FRetryAfter.end() && static_cast<int32_t>(GetTickCount() - retry->second) < 0)
        return false;
    // A message goes to another terminal than the one that just failed on it while another
    // works: so the failing one meets fresh messages, and its run of failures shows.
    const auto failed = FFailedOn.find(sms.Sms.MsgId);
    if (failed != FFailedOn.end() && failed->second == slot.Config.Number && WorkingCount() >= 2)
        return false;
    const std::string& digits = sms.Prepared.Digits;
    if (PrefixMatches(slot.Config, digits))
        return true;
    for (const TTerminalSlot& other : FTerminals) {
        if (&other == &slot || !PrefixMatches(other.Config, digits))
            continue;
        if (other.Config.PrefixOnly || MayTake(other, true))
            return false;
    }
    return true;
}

bool TWorkThread::Available(const TTerminalSlot& slot, std::time_t now) const {
    return slot.Config.Send && !slot.Suspended && slot.Working() && !slot.Limits.AtDailyLimit(now);
}

bool TWorkThread::OnlyForAway(const std::string& digits, std::time_t now) const {
    bool only = false;
    for (const TTerminalSlot& slot : FTerminals) {
        if (!PrefixMatches(slot.Config, digits))
            continue;
        if (Available(slot, now))
            return false;
        only = only || slot.Config.PrefixOnly;
    }
    return only;
}

void TWorkThread::DispatchPending() {
    if (FPending.empty() || FTerminals.empty() || FStartResult.load() != 1)
        return;
    const size_t count = FTerminals.size();
    // Round by round each terminal with room takes one message, so that a terminal's second
    // message never goes before another's first.
    for (size_t round = 0; round < TTerminalSlot::HeldMax && !FPending.empty(); ++round) {
        std::vector<std::pair<size_t, size_t>> picks; // terminal, pending index
        std::vector<bool> chosen(FPending.size(), false);
        for (size_t k = 0; k < count; ++k) {
            const size_t t = (FNextTerminal + k) % count;
            if (!MayTake(FTerminals[t]))
                continue;
            for (size_t j = 0; j < FPending.size(); ++j)
                if (!chosen[j] && MayCarry(FTerminals[t], FPending[j])) {
                    chosen[j] = true;
                    picks.emplace_back(t, j);
                    break;
                }
        }
        if (picks.empty())
            return;
        FNextTerminal = (FNextTerminal + 1) % count;
        std::vector<int32_t> ids;
        for (const auto& pick : picks)
            ids.push_back(FPending[pick.second].Sms.MsgId);
        const std::optional<std::set<int32_t>> claimed = Claim(ids);
        if (!claimed)
            return; // they stay pending until a claim can be taken
        std::vector<std::pair<size_t, TQueuedSms>> handed;
        for (const auto& [t, j] : picks) {
            if (claimed->count(FPending[j].Sms.MsgId) != 0)
                handed.emplace_back(t, std::move(FPending[j]));
            else // another process has it, or it was stamped meanwhile
                FLedger.Returned(FPending[j].Sms.MsgId);
        }
        std::deque<TQueuedSms> rest;
        for (size_t j = 0; j < FPending.size(); ++j)
            if (!chosen[j])
                rest.push_back(std::move(FPending[j]));
        FPending = std::move(rest);
        for (auto& [t, sms] : handed)
            HandTo(FTerminals[t], std::move(sms), false);
    }
}

// No claim, no send: a claim is taken only on the session the terminals check against, and
// not within its grace. A failed statement is tried again with the back-off of a lost
// connection, and its error is logged when it changes. What another session holds is noted,
// and a pass looks again in PollMs, so that such rows leave from here should their host die.
std::optional<std::set<int32_t>> TWorkThread::Claim(const std::vector<int32_t>& ids) {
    const uint32_t tick = GetTickCount();
    if (!FDatabase->Connected() || FDatabase->Generation() != FClaimSession.Live() ||
        FClaimSession.InGrace(tick))
        return std::nullopt;
    if (FClaimRetry.Waiting() && !FClaimRetry.Due(tick))
        return std::nullopt;
    std::set<int32_t> claimed;
    try {
        const std::vector<int32_t> got = FClaims.Claim(ids);
        FClaimRetry.Reset();
        claimed.insert(got.begin(), got.end());
    } catch (const EDatabaseError& error) {
        if (FClaimRetry.Failed(error.what(), tick))
            WriteLog("Ошибка: %s", error.what());
        return std::nullopt;
    }
    std::vector<int32_t> missed;
    for (const int32_t id : ids)
        if (claimed.count(id) == 0)
            missed.push_back(id);
    if (!missed.empty()) {
        FClaimSession.SeenHeld(missed, tick);
        FLockedElsewhere = true;
        FPollAtTick = tick + PollMs;
    }
    return claimed;
}

void TWorkThread::HandTo(TTerminalSlot& slot, TQueuedSms sms, bool answer) {
    const int32_t id = sms.Sms.MsgId;
    sms.Sms.ClaimSession = FClaimSession.Live();
    slot.Limits.Taken(GetTickCount());
    slot.Held.insert_or_assign(id, sms);
    FRetryAfter.erase(id);
    if (const auto failed = FFailedOn.find(id);
        failed != FFailedOn.end() && failed->second != slot.Config.Number)
        FFailedOn.erase(failed);
    if (answer)
        slot.Siemens->QueueAnswers({std::move(sms)});
    else
        slot.Siemens->QueueSMS(std::move(sms));
    if (FSeveral)
        WriteLog("Сообщение ID=%d: %s%s", id, "ОТПРАВЛЕНО", slot.Tag(true).c_str());
}

// Each answer goes to the head of the terminal that received its request, behind the
// message in submission, claimed first. When that terminal cannot send or no claim can be
// taken, it goes to the head of the pending list unclaimed, and the other hosts are woken:
// one of them may have a terminal free.
void TWorkThread::QueueAnswers(std::vector<TQueuedSms> answers) {
    if (answers.empty())
        return;
    const uint32_t tick = GetTickCount();
    std::vector<TTerminalSlot*> to;
    std::vector<int32_t> ids;
    for (const TQueuedSms& answer : answers) {
        const auto from = FAnswerTerminal.find(SubscriberKey(answer.Sms.Telephone));
        TTerminalSlot* slot = from == FAnswerTerminal.end() ? nullptr : SlotOf(from->second);
        if (from != FAnswerTerminal.end())
            FAnswerTerminal.erase(from);
        if (slot == nullptr || !MayTake(*slot, true) ||
            !FClaimSession.MayClaim(answer.Sms.MsgId, tick))
            slot = nullptr;
        to.push_back(slot);
        if (slot != nullptr)
            ids.push_back(answer.Sms.MsgId);
    }
    const std::optional<std::set<int32_t>> claimed = ids.empty() ? std::set<int32_t>{} : Claim(ids);
    bool waiting = false;
    // Last first: each goes to a head, so the first ends up in front.
    for (size_t i = answers.size(); i-- > 0;) {
        const int32_t id = answers[i].Sms.MsgId;
        if (to[i] != nullptr && claimed && claimed->count(id) != 0) {
            HandTo(*to[i], std::move(answers[i]), true);
        } else if (to[i] != nullptr && claimed) {
            FLedger.Returned(id); // another host has it already
        } else {
            FPending.push_front(std::move(answers[i]));
            waiting = true;
        }
    }
    if (waiting)
        NotifyOthers();
}

int32_t TWorkThread::WorkingCount() const {
    int32_t working = 0;
    for (const TTerminalSlot& slot : FTerminals)
        working += slot.Config.Send && !slot.Suspended && slot.Working();
    return working;
}

void TWorkThread::Unclaim(int32_t msgId) noexcept {
    FClaims.Release({msgId});
}

} // namespace qvx
