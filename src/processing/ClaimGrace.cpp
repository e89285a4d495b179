#include "processing/ClaimGrace.h"

#include "infra/Thread.h"
#include "processing/DeliveryLedger.h"
#include "terminal/AtSession.h"

#include <algorithm>
#include <chrono>

namespace qvx {

namespace {} // namespace

uint32_t TClaimGrace::GraceMsFor(int32_t modemTimeoutMs) noexcept {
    const auto frameWaitMs = std::chrono::milliseconds(TAtSession::FrameWait).count();
    return static_cast<uint32_t>(frameWaitMs) + static_cast<uint32_t>(std::max(modemTimeoutMs, 0)) +
           TDeliveryLedger::StampRetryMs + HeartbeatMs;
}

void TClaimGrace::SetOwnModemTimeoutMs(int32_t modemTimeoutMs) noexcept {
    FOwnModemTimeoutMs = modemTimeoutMs;
}

uint32_t TClaimGrace::GraceMs() const noexcept {
    return GraceMsFor(std::max(FOwnModemTimeoutMs, FPeersModemTimeoutMs));
}

void TClaimGrace::HoldUntil(uint32_t until) {
    if (!FHolding || TickReached(until, FHoldUntil))
        FHoldUntil = until;
    FHolding = true;
}

void TClaimGrace::Renewed(uint32_t tick) {
    HoldUntil(tick + GraceMs());
}

std::vector<std::string> TClaimGrace::Sessions(const std::vector<TPeerSession>& sessions,
                                               uint32_t tick) {
    std::map<std::pair<std::string, int32_t>, uint32_t> now;
    for (const TPeerSession& session : sessions) {
        now[{session.Host, session.Pid}] = tick;
        FPeersModemTimeoutMs = std::max(FPeersModemTimeoutMs, session.ModemTimeoutMs);
    }
    std::vector<std::string> vanished;
    for (const auto& [key, lastSeen] : FSessions)
        if (now.count(key) == 0) {
            vanished.push_back(key.first);
            HoldUntil(lastSeen + GraceMs());
        }
    FSessions = std::move(now);
    return vanished;
}

void TClaimGrace::Stopping(const std::vector<int32_t>& pids) {
    for (const int32_t pid : pids)
        std::erase_if(FSessions, [&](const auto& session) { return session.first.second == pid; });
}

void TClaimGrace::SeenHeld(const std::vector<int32_t>& ids, uint32_t tick) {
    for (const int32_t id : ids)
        FSeenHeld[id] = tick;
}

bool TClaimGrace::Holding(uint32_t tick) const noexcept {
    return FHolding && !TickReached(tick, FHoldUntil);
}

uint32_t TClaimGrace::LeftMs(uint32_t tick) const noexcept {
    return Holding(tick) ? FHoldUntil - tick : 0;
}

bool TClaimGrace::MayClaim(int32_t id, uint32_t tick) const {
    if (Holding(tick))
        return false;
    const auto seen = FSeenHeld.find(id);
    return seen == FSeenHeld.end() || tick - seen->second >= GraceMs();
}

void TClaimGrace::Forget(uint32_t tick) {
    const uint32_t grace = GraceMs();
    std::erase_if(FSeenHeld, [&](const auto& seen) { return tick - seen.second >= grace; });
    if (FHolding && TickReached(tick, FHoldUntil))
        FHolding = false;
}

} // namespace qvx
