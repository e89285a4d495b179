// TClaimSession, the worker's database connection seen as this host's claim session: the
// advisory locks that claim messages live exactly as long as it does. It notices a session
// that was lost or made anew, speaks to the server every HeartbeatMs (so that the server's
// idle_session_timeout ends the session of a host that froze, not of one that idles), and
// reads who else holds claims. After a new session the host takes nothing for a grace period
// when other hosts share the database, and an id another session held lately waits as long:
// a host that lost its session may still be finishing a part of that message. Worker thread
// only, but for Alive(), which the terminal threads ask.
#pragma once

#include "processing/DatabaseRetry.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace qvx {

class TDatabase;

class TClaimSession {
public:
    static constexpr uint32_t HeartbeatMs = 10000;
    // A heartbeat the server does not answer this soon ends the session here: the server may
    // have ended it already, and another host may be about to take over its claims.
    static constexpr uint32_t HeartbeatWaitMs = 5000;
    // Added to the terminal's wait for a part's answer and ModemTimeout to make the grace.
    static constexpr uint32_t GraceMarginMs = 5000;
    // Another host not seen for this long no longer makes this one wait after a new session.
    static constexpr std::time_t HostForgetSec = 30 * 24 * 3600;

    TClaimSession(TDatabase& database, int32_t lockClass);

    // The longest ModemTimeout of the terminals; the grace follows it.
    void SetModemTimeoutMs(int32_t modemTimeoutMs);
    uint32_t GraceMs() const noexcept { return FGraceMs; }
    // The other hosts seen so far, by session name, with when last: kept in the state file,
    // so that a restart after a database restart waits too.
    void SetKnownHosts(std::map<std::string, std::time_t>* hosts) { FKnownHosts = hosts; }

    struct TTurn {
        bool Lost = false;    // the session that held the claims is gone
        bool Renewed = false; // a new session was made
        bool GraceStarted = false;
        int32_t Notified = 0;      // other hosts asked for a pass
        bool HostsChanged = false; // a host was seen for the first time
    };
    // Each turn of the worker's loop: notices a lost or new session, runs the heartbeat when
    // due (connecting when needed, with the back-off of a lost connection) and reads the
    // notifications. Never throws; the heartbeat's failure is in LastError().
    TTurn Watch(uint32_t tick, std::time_t now);
    // A failed heartbeat's error when it differs from the last one logged; empty otherwise.
    std::string TakeNewError();

    // The session a message claimed now is claimed on; 0 while there is none.
    uint64_t Live() const noexcept { return FLive.load(); }
    // The message claimed on this session may still go (any thread): the session is the live
    // one, and the server answered on it lately. A host that was frozen longer than that (its
    // server may have ended the session meanwhile) starts nothing before the worker has
    // asked the server again.
    bool Alive(uint64_t session) const noexcept;
    // How lately: a heartbeat's period and its wait.
    static constexpr uint32_t AnsweredWithinMs = HeartbeatMs + HeartbeatWaitMs;
    bool InGrace(uint32_t tick) const noexcept;
    uint32_t GraceLeftMs(uint32_t tick) const noexcept;
    // Not in the grace, and no other session held the id within the grace.
    bool MayClaim(int32_t id, uint32_t tick) const;
    // Ids another session was found holding now: a pass looks at them again in PollMs, so
    // that they leave from here should their host die.
    void SeenHeld(const std::vector<int32_t>& ids, uint32_t tick);
    static constexpr uint32_t PollMs = 30000;
    // True once when that pass is due.
    bool TakePoll(uint32_t tick);
    // The other hosts' sessions at the last heartbeat, with the claims each holds.
    const std::map<std::string, int32_t>& OtherHosts() const noexcept { return FOtherHosts; }
    // An id was claimed by another session within the grace (seen at a heartbeat or a claim).
    bool OthersHoldAny() const noexcept { return !FSeenHeld.empty(); }

private:
    void Heartbeat(uint32_t tick, std::time_t now, TTurn& turn);
    void StartGrace(uint32_t tick, TTurn& turn);
    void ForgetOldSightings(uint32_t tick);
    bool OthersKnown(std::time_t now) const;

    TDatabase& FDatabase;
    const int32_t FLockClass;
    uint32_t FGraceMs = 0;
    std::atomic<uint64_t> FLive{0};
    std::atomic<uint32_t> FAnsweredTick{0};
    uint64_t FKnown = 0; // the generation of the session seen last turn
    bool FInGrace = false;
    uint32_t FGraceUntil = 0;
    bool FHeartbeatDone = false;
    uint32_t FNextHeartbeat = 0;
    TDatabaseRetry FRetry;
    std::string FNewError;
    bool FPollDue = false;
    uint32_t FPollAtTick = 0;
    std::map<int32_t, uint32_t> FSeenHeld; // id -> tick it was last seen held by another
    std::map<std::string, int32_t> FOtherHosts;
    std::map<std::string, std::time_t>* FKnownHosts = nullptr;
};

} // namespace qvx
