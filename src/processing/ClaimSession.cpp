#include "processing/ClaimSession.h"

#include "infra/BootClock.h"
#include "infra/Thread.h"
#include "processing/Database.h"
#include "processing/Error.h"

#include <algorithm>
#include <utility>

namespace qvx {

namespace {

// A known host's last sighting is written down again after this long, not at every heartbeat.
constexpr std::time_t HostRecordRefreshSec = 24 * 3600;
// What the server says of a statement it cancelled.
constexpr const char* QueryCanceled = "57014";

} // namespace

TClaimSession::TClaimSession(TDatabase& database, int32_t lockClass)
    : FDatabase(database), FLockClass(lockClass) {}

uint64_t TClaimSession::Live() const noexcept {
    return FDatabase.LiveGeneration();
}

TClaimSession::TTurn TClaimSession::Watch(uint32_t tick, std::time_t now) {
    TTurn turn;
    if (HeartbeatDue(tick) && (!FRetry.Waiting() || FRetry.Due(tick)))
        Heartbeat(tick, now, turn);
    const uint64_t generation = FDatabase.LiveGeneration();
    if (generation != FKnown) {
        turn.Lost = FKnown != 0;
        turn.Renewed = generation != 0;
        FKnown = generation;
        FPooled = false;
        if (turn.Renewed && OthersKnown(now)) {
            FGrace.Renewed(tick);
            turn.GraceStarted = true;
        }
    }
    FGrace.Forget(tick);
    FShared.store(OthersKnown(now));
    TakeNotifications(turn);
    return turn;
}

// Without a session, when the last one is not in time, and at once when the server was not
// heard lately by the boot or the wall clock: a host that was suspended must hear it before
// its terminals start anything.
bool TClaimSession::HeartbeatDue(uint32_t tick) const {
    return !FDatabase.Connected() || !FHeartbeatDone || TickReached(tick, FNextHeartbeat) ||
           !FDatabase.Answered().Within(BootMs(), WallMs(), AnsweredWithinMs);
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
        HeartbeatFailed(error.what(), tick, turn);
        return;
    }
    turn.SlowEnded = std::exchange(FSlow, false);
    // A transaction pooler hands the statements to any server process: the locks of one
    // statement are not where the next one looks.
    if (!FPooled && view.BackendPid != 0 && view.BackendPid != FDatabase.BackendPid()) {
        FPooled = true;
        turn.PoolerSeen = true;
    }
    SeenHeld(view.HeldByOthers, tick);
    // A host that said it stops, in a notification that came with this answer, has not vanished.
    TakeNotifications(turn);
    turn.Vanished = FGrace.Sessions(view.Sessions, tick);
    if (!turn.Vanished.empty()) { // their rows are looked at once the wait for them ends
        FPollDue = true;
        FPollAtTick = tick + FGrace.LeftMs(tick);
    }
    FOtherHosts = std::move(view.Hosts);
    NoteHosts(now, turn);
}

// A connection that broke ended the session (TDatabase closed it); one the server still holds
// is slow, not gone: what the terminals hold goes on, and nothing new is claimed until a
// heartbeat is answered in time.
void TClaimSession::HeartbeatFailed(const char* error, uint32_t tick, TTurn& turn) {
    if (FDatabase.Connected() && FDatabase.LastSqlState() == QueryCanceled) {
        turn.SlowStarted = !FSlow;
        FSlow = true;
        return;
    }
    FSlow = FDatabase.Connected();
    if (FRetry.Failed(error, tick))
        FNewError = error;
}

void TClaimSession::TakeNotifications(TTurn& turn) {
    const TDatabase::TNotifications taken = FDatabase.TakeNotifications();
    turn.Notified += taken.Count;
    FGrace.Stopping(taken.Stopping);
}

void TClaimSession::NoteHosts(std::time_t now, TTurn& turn) {
    if (FKnownHosts == nullptr)
        return;
    for (const auto& host : FOtherHosts) {
        std::time_t& seen = (*FKnownHosts)[host.first];
        turn.HostsChanged = turn.HostsChanged || now - seen >= HostRecordRefreshSec;
        if (now - seen >= HostRecordRefreshSec)
            seen = now;
    }
}

TClaimVerdict TClaimSession::MayStart(uint64_t session, uint64_t lastAckBootMs) const noexcept {
    if (!FShared.load())
        return TClaimVerdict::Go;
    if (session == 0 || FDatabase.LiveGeneration() != session)
        return TClaimVerdict::Withdraw;
    const TAnswerStamp& answered = FDatabase.Answered();
    if (!answered.Within(BootMs(), WallMs(), AnsweredWithinMs))
        return TClaimVerdict::Wait;
    if (lastAckBootMs != 0 && !answered.After(lastAckBootMs))
        return TClaimVerdict::Wait;
    return TClaimVerdict::Go;
}

std::string TClaimSession::TakeNewError() {
    return std::exchange(FNewError, {});
}

bool TClaimSession::Holding(uint32_t tick) const noexcept {
    return FGrace.Holding(tick) || FSlow || FPooled;
}

bool TClaimSession::MayClaim(int32_t id, uint32_t tick) const {
    return !FSlow && !FPooled && FGrace.MayClaim(id, tick);
}

void TClaimSession::SeenHeld(const std::vector<int32_t>& ids, uint32_t tick) {
    FGrace.SeenHeld(ids, tick);
    if (ids.empty())
        return;
    FPollDue = true;
    FPollAtTick = tick + PollMs;
}

bool TClaimSession::TakePoll(uint32_t tick) {
    if (!FPollDue || !TickReached(tick, FPollAtTick))
        return false;
    FPollDue = false;
    return true;
}

bool TClaimSession::OthersKnown(std::time_t now) const {
    if (!FOtherHosts.empty() || FGrace.AnySeenHeld())
        return true;
    if (FKnownHosts == nullptr)
        return false;
    return std::any_of(FKnownHosts->begin(), FKnownHosts->end(),
                       [&](const auto& host) { return now - host.second < HostForgetSec; });
}

} // namespace qvx
