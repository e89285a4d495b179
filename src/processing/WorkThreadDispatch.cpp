// The worker's side of sharing its messages among its terminals: it shows the dispatch what
// each terminal does, claims what the dispatch proposes to hand over, and carries out the
// dispatch's decisions on the terminals, the claims, the ledger and the logs.
#include "infra/LogFile.h"
#include "processing/Database.h"
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

void TWorkThread::WatchTerminals() {
    std::vector<TTerminalSnapshot> snapshots;
    for (size_t t = 0; t < FTerminals.size(); ++t) {
        const TTerminalSlot& slot = FTerminals[t];
        const bool working = slot.Working();
        if (working)
            ResolveSim(t);
        snapshots.push_back(
            {working, slot.Siemens->Network().Registration,
             slot.Siemens->GetState() == static_cast<int32_t>(TTerminalState::Opening)});
    }
    Apply(FDispatch.Watch(snapshots, GetTickCount(), std::time(nullptr)));
}

void TWorkThread::DispatchPending() {
    if (FDispatch.PendingCount() == 0 || FTerminals.empty() || FStartResult.load() != 1)
        return;
    // Round by round, each claimed before the next, so that the claims stay what the
    // terminals hold.
    for (size_t round = 0; round < TDispatch::HeldMax; ++round) {
        const uint32_t tick = GetTickCount();
        const std::vector<TPick> picks =
            FDispatch.Propose(tick, std::time(nullptr), [this, tick](int32_t id) {
                return FClaimSession.MayClaim(id, tick);
            });
        if (picks.empty())
            return;
        std::vector<int32_t> ids;
        for (const TPick& pick : picks)
            ids.push_back(pick.MsgId);
        const std::optional<std::set<int32_t>> claimed = Claim(ids);
        Apply(FDispatch.Settle(picks, claimed, GetTickCount()));
        if (!claimed)
            return;
    }
}

// No claim, no send: a claim is taken only on the session the terminals check against, and
// not while the session holds claims (its grace, a slow heartbeat, a pooler). A failed statement is
// tried again with the back-off of a lost connection, and its error is logged when it changes. What
// another session holds is noted, and a pass looks again in TClaimSession::PollMs, so that such
// rows leave from here should their host die.
std::optional<std::set<int32_t>> TWorkThread::Claim(const std::vector<int32_t>& ids) {
    const uint32_t tick = GetTickCount();
    if (!FDatabase->Connected() || FDatabase->Generation() != FClaimSession.Live() ||
        FClaimSession.Holding(tick))
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
    FClaimSession.SeenHeld(missed, tick);
    return claimed;
}

void TWorkThread::Apply(const TDecisions& decisions) {
    for (const TDecision& decision : decisions)
        Apply(decision);
}

void TWorkThread::Apply(const TDecision& decision) {
    using TKind = TDecision::TKind;
    TTerminalSlot* const slot =
        decision.Terminal < FTerminals.size() ? &FTerminals[decision.Terminal] : nullptr;
    switch (decision.Kind) {
    case TKind::HandOver:
    case TKind::HandAnswer: {
        TQueuedSms sms = decision.Sms;
        sms.Sms.ClaimSession = FClaimSession.Live();
        if (decision.Kind == TKind::HandAnswer)
            slot->Siemens->QueueAnswers({std::move(sms)});
        else
            slot->Siemens->QueueSMS(std::move(sms));
        if (FDispatch.Several())
            WriteLog("Сообщение ID=%d: %s%s", decision.MsgId, "ОТПРАВЛЕНО",
                     FDispatch.Tag(decision.Terminal).c_str());
        break;
    }
    case TKind::TakeBack:
        Apply(FDispatch.TakenBack(decision.Terminal, slot->Siemens->Withdraw()));
        break;
    case TKind::Reinitialise:
        slot->Siemens->RequestReinitialise();
        break;
    case TKind::Acknowledge:
        Acknowledged(decision.Terminal, decision.MsgId);
        break;
    case TKind::Unclaim:
        FClaims.Release({decision.MsgId});
        break;
    case TKind::Release:
    case TKind::GiveBack:
        FClaims.Release({decision.MsgId});
        FLedger.Returned(decision.MsgId);
        break;
    case TKind::GiveUp:
        GaveUp(decision.MsgId);
        break;
    case TKind::Notify:
        NotifyOthers();
        break;
    case TKind::ReadAgain:
        FSendNow.store(true);
        FProcessPending.store(true);
        break;
    case TKind::Log:
        WriteLog("%s", decision.Text.c_str());
        break;
    }
}

// The network has it; its claim stays until its stamp is committed.
void TWorkThread::Acknowledged(size_t terminal, int32_t msgId) {
    FStamps.Acknowledged(msgId, std::time(nullptr));
    FCounters.Acknowledged.fetch_add(1);
    FCounters.LastAcknowledgedAt.store(std::time(nullptr));
    const TSendLimits& limits = FDispatch.Limits(terminal);
    const std::string& simKey = FTerminals[terminal].SimKey;
    if (limits.DailyLimit() > 0 && !simKey.empty())
        FKeeper.State().SimCounts[simKey] = {limits.StoredPeriod(), limits.StoredCount()};
}

void TWorkThread::GaveUp(int32_t msgId) {
    FLedger.GivenUp(msgId, FTimeSource());
    FKeeper.State().GivenUp[msgId] = FTimeSource();
    FKeeper.Changed();
    FCounters.GivenUp.fetch_add(1);
    FClaims.Release({msgId});
}

// The daily count follows the SIM: a SIM moved to another terminal brings its count along.
void TWorkThread::ResolveSim(size_t terminal) {
    TSendLimits& limits = FDispatch.Limits(terminal);
    if (limits.DailyLimit() <= 0)
        return;
    TTerminalSlot& slot = FTerminals[terminal];
    const std::string imsi = slot.Siemens->Imsi();
    const std::string key =
        !imsi.empty() && SimKeyAllowed(imsi) ? imsi : "terminal:" + slot.Config.Name;
    if (key == slot.SimKey)
        return;
    slot.SimKey = key;
    const auto kept = FKeeper.State().SimCounts.find(key);
    if (kept != FKeeper.State().SimCounts.end())
        limits.Restore(kept->second.PeriodStart, kept->second.Count);
    else
        limits.Restore(0, 0);
    FDispatch.SimKnown(terminal);
}

} // namespace qvx
