#include "processing/ClaimSession.h"

#include "infra/Thread.h"
#include "processing/Database.h"
#include "processing/Error.h"
#include "terminal/AtSession.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace qvx {

namespace {

// A known host's last sighting is written down again after this long, not at every heartbeat.
constexpr std::time_t HostRecordRefreshSec = 24 * 3600;

bool Reached(uint32_t tick, uint32_t at) {
    return static_cast<int32_t>(tick - at) >= 0;
}

} // namespace

TClaimSession::TClaimSession(TDatabase& database, int32_t lockClass)
    : FDatabase(database), FLockClass(lockClass) {
    SetModemTimeoutMs(0);
}

void TClaimSession::SetModemTimeoutMs(int32_t modemTimeoutMs) {
    const auto frameWaitMs = std::chrono::milliseconds(TAtSession::FrameWait).count();
    FGraceMs = static_cast<uint32_t>(frameWaitMs) +
               static_cast<uint32_t>(std::max(modemTimeoutMs, 0)) + GraceMarginMs;
}

TClaimSession::TTurn TClaimSession::Watch(uint32_t tick, std::time_t now) {
    TTurn turn;
    const bool due = !FDatabase.Connected() || !FHeartbeatDone || Reached(tick, FNextHeartbeat);
    if (due && (!FRetry.Waiting() || FRetry.Due(tick)))
        Heartbeat(tick, now, turn);
    const uint64_t generation = FDatabase.Connected() ? FDatabase.Generation() : 0;
    if (generation != FKnown) {
        turn.Lost = FKnown != 0;
        turn.Renewed = generation != 0;
        FKnown = generation;
        FLive.store(generation);
        if (turn.Renewed && OthersKnown(now))
            StartGrace(tick, turn);
    }
    if (generation != 0)
        FAnsweredTick.store(FDatabase.AnsweredTick());
    if (FInGrace && Reached(tick, FGraceUntil))
        FInGrace = false;
    turn.Notified = FDatabase.TakeNotifications();
    return turn;
}

void TClaimSession::Heartbeat(uint32_t tick, std::time_t now, TTurn& turn) {
    FHeartbeatDone = true;
    const int32_t idleMs = FDatabase.IdleSessionTimeoutMs();
    FNextHeartbeat =
        tick + (idleMs > 0 ? std::min<uint32_t>(HeartbeatMs, idleMs / 3) : HeartbeatMs);
    TPeerView view;
    try {
        view = FDatabase.Peers(FLockClass, HeartbeatWaitMs);
        FRetry.Reset();
    } catch (const EDatabaseError& error) {
        if (FRetry.Failed(error.what(), tick))
            FNewError = error.what();
        // A session that did not answer in time is in doubt: it is ended here, so that the
        // terminals stop starting what it claimed, as the server will free those claims.
        FDatabase.Close();
        return;
    }
    ForgetOldSightings(tick);
    SeenHeld(view.HeldByOthers, tick);
    FOtherHosts = std::move(view.Hosts);
    if (FKnownHosts == nullptr)
        return;
    for (const auto& host : FOtherHosts) {
        std::time_t& seen = (*FKnownHosts)[host.first];
        turn.HostsChanged = turn.HostsChanged || now - seen >= HostRecordRefreshSec;
        if (now - seen >= HostRecordRefreshSec)
            seen = now;
    }
}

bool TClaimSession::Alive(uint64_t session) const noexcept {
    return session != 0 && FLive.load() == session &&
           GetTickCount() - FAnsweredTick.load() < AnsweredWithinMs;
}

std::string TClaimSession::TakeNewError() {
    return std::exchange(FNewError, {});
}

void TClaimSession::StartGrace(uint32_t tick, TTurn& turn) {
    FInGrace = true;
    FGraceUntil = tick + FGraceMs;
    turn.GraceStarted = true;
}

bool TClaimSession::InGrace(uint32_t tick) const noexcept {
    return FInGrace && !Reached(tick, FGraceUntil);
}

uint32_t TClaimSession::GraceLeftMs(uint32_t tick) const noexcept {
    return InGrace(tick) ? FGraceUntil - tick : 0;
}

bool TClaimSession::MayClaim(int32_t id, uint32_t tick) const {
    if (InGrace(tick))
        return false;
    const auto seen = FSeenHeld.find(id);
    return seen == FSeenHeld.end() || tick - seen->second >= FGraceMs;
}

void TClaimSession::SeenHeld(const std::vector<int32_t>& ids, uint32_t tick) {
    for (const int32_t id : ids)
        FSeenHeld[id] = tick;
    if (ids.empty())
        return;
    FPollDue = true;
    FPollAtTick = tick + PollMs;
}

bool TClaimSession::TakePoll(uint32_t tick) {
    if (!FPollDue || static_cast<int32_t>(tick - FPollAtTick) < 0)
        return false;
    FPollDue = false;
    return true;
}

void TClaimSession::ForgetOldSightings(uint32_t tick) {
    std::erase_if(FSeenHeld, [&](const auto& seen) { return tick - seen.second >= FGraceMs; });
}

bool TClaimSession::OthersKnown(std::time_t now) const {
    if (!FOtherHosts.empty() || !FSeenHeld.empty())
        return true;
    if (FKnownHosts == nullptr)
        return false;
    return std::any_of(FKnownHosts->begin(), FKnownHosts->end(),
                       [&](const auto& host) { return now - host.second < HostForgetSec; });
}

} // namespace qvx
