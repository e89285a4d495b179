// TClaimGrace, how long this host keeps its hands off rows another host may still be finishing.
// A host whose session ended may still wait for a terminal's answer, hear the network accept a
// part, retry the stamp and reconnect; until then its rows must not go from here. So nothing is
// claimed for the grace after this host's own new session (another may have taken over and be
// finishing), after another host's session vanished (counted from when it was last seen, since
// any row may have been its), and an id seen held by another waits as long from that sighting.
// The grace is sized from the longest terminal answer wait of any host, as each publishes its
// own. A plain object: the caller gives the ticks.
#pragma once

#include "processing/Database.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qvx {

class TClaimGrace {
public:
    // The heartbeat period of the claim session: a vanished session may have been last seen
    // that long before it ended.
    static constexpr uint32_t HeartbeatMs = 10000;

    // The grace for hosts whose terminals wait modemTimeoutMs for an answer.
    static uint32_t GraceMsFor(int32_t modemTimeoutMs) noexcept;

    void SetOwnModemTimeoutMs(int32_t modemTimeoutMs) noexcept;
    // For the longest wait of this host and of every other host seen so far.
    uint32_t GraceMs() const noexcept;

    // This host made a new session while others share the database.
    void Renewed(uint32_t tick);
    // The other sessions at a heartbeat; returns the hosts whose sessions vanished since the
    // last one.
    std::vector<std::string> Sessions(const std::vector<TPeerSession>& sessions, uint32_t tick);
    // Sessions (their server processes) that said they end cleanly, every claim released:
    // their end holds nothing back.
    void Stopping(const std::vector<int32_t>& pids);
    // Ids another session was found holding.
    void SeenHeld(const std::vector<int32_t>& ids, uint32_t tick);

    // Nothing may be claimed now, and for how long still.
    bool Holding(uint32_t tick) const noexcept;
    uint32_t LeftMs(uint32_t tick) const noexcept;
    bool MayClaim(int32_t id, uint32_t tick) const;
    // An id was seen held by another within the grace.
    bool AnySeenHeld() const noexcept { return !FSeenHeld.empty(); }
    // Sightings older than the grace say nothing any more.
    void Forget(uint32_t tick);

private:
    void HoldUntil(uint32_t until);

    int32_t FOwnModemTimeoutMs = 0;
    int32_t FPeersModemTimeoutMs = 0;
    bool FHolding = false;
    uint32_t FHoldUntil = 0;
    std::map<std::pair<std::string, int32_t>, uint32_t> FSessions; // (host, pid) -> last seen
    std::map<int32_t, uint32_t> FSeenHeld;                         // id -> last seen held
};

} // namespace qvx
