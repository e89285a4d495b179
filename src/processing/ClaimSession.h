// TClaimSession, the worker's database connection seen as this host's claim session: the
// advisory locks that claim messages live exactly as long as it does. Its close is its end for
// the terminals at once; it speaks to the server every HeartbeatMs (so that the server's
// idle_session_timeout ends the session of a host that froze, not of one that idles), tells a
// slow server from a gone one, and reads who else holds claims. The grace after a new session,
// after another host's session vanished, and for ids another held is TClaimGrace's. Worker
// thread only, but for MayStart() and Shared(), which the terminal threads ask.
#pragma once

#include "processing/ClaimGrace.h"
#include "processing/DatabaseRetry.h"
#include "terminal/Siemens.h"

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
    static constexpr uint32_t HeartbeatMs = TClaimGrace::HeartbeatMs;
    // A heartbeat the server does not answer this soon is cancelled and holds new claims until
    // one is answered in time; the session itself ends only when its connection does.
    static constexpr uint32_t HeartbeatWaitMs = 5000;
    // Another host not seen for this long no longer makes this one wait after a new session.
    static constexpr std::time_t HostForgetSec = 30 * 24 * 3600;
    // How lately the server must have answered for a message claimed on the session to start:
    // a heartbeat's period and its wait.
    static constexpr uint32_t AnsweredWithinMs = HeartbeatMs + HeartbeatWaitMs;

    TClaimSession(TDatabase& database, int32_t lockClass);

    // The longest ModemTimeout of this host's terminals; the grace follows it.
    void SetModemTimeoutMs(int32_t modemTimeoutMs) { FGrace.SetOwnModemTimeoutMs(modemTimeoutMs); }
    uint32_t GraceMs() const noexcept { return FGrace.GraceMs(); }
    // The other hosts seen so far, by session name, with when last: kept in the state file,
    // so that a restart after a database restart waits too.
    void SetKnownHosts(std::map<std::string, std::time_t>* hosts) { FKnownHosts = hosts; }

    struct TTurn {
        bool Lost = false;    // the session that held the claims is gone
        bool Renewed = false; // a new session was made
        bool GraceStarted = false;
        int32_t Notified = 0;              // other hosts asked for a pass
        bool HostsChanged = false;         // a host was seen for the first time
        std::vector<std::string> Vanished; // hosts whose sessions ended since the last heartbeat
        bool SlowStarted = false;          // the heartbeat was not answered in time
        bool SlowEnded = false;            // it is again
        bool PoolerSeen = false;           // the heartbeat ran on another server process
    };
    // Each turn of the worker's loop, before anything is claimed: notices a lost or new
    // session, runs the heartbeat when due (at once after a suspend or a clock jump; connecting
    // when needed, with the back-off of a lost connection) and reads the notifications. Never
    // throws; the heartbeat's failure is in TakeNewError().
    TTurn Watch(uint32_t tick, std::time_t now);
    // A failed heartbeat's error when it differs from the last one logged; empty otherwise.
    std::string TakeNewError();

    // The session a message claimed now is claimed on; 0 while there is none.
    uint64_t Live() const noexcept;
    // Any thread: whether a terminal may start a message claimed on session now. Go while no
    // other host shares the database (nothing to guard against). Withdraw once that session is
    // closed. Wait while the server has not answered on it within AnsweredWithinMs on the boot
    // and wall clocks (the host may have been frozen past the server's idle limit), and while
    // it has not answered since the terminal's last acknowledged message (lastAckBootMs), so
    // that a host cut off from the database leaves one unstamped message per terminal.
    TClaimVerdict MayStart(uint64_t session, uint64_t lastAckBootMs) const noexcept;
    // Any thread: other hosts share the database, now or lately.
    bool Shared() const noexcept { return FShared.load(); }

    // Nothing may be claimed now: the grace, a heartbeat not answered in time, or a pooler.
    bool Holding(uint32_t tick) const noexcept;
    uint32_t GraceLeftMs(uint32_t tick) const noexcept { return FGrace.LeftMs(tick); }
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
    bool OthersHoldAny() const noexcept { return FGrace.AnySeenHeld(); }

private:
    bool HeartbeatDue(uint32_t tick) const;
    void Heartbeat(uint32_t tick, std::time_t now, TTurn& turn);
    void HeartbeatFailed(const char* error, uint32_t tick, TTurn& turn);
    void NoteHosts(std::time_t now, TTurn& turn);
    void TakeNotifications(TTurn& turn);
    bool OthersKnown(std::time_t now) const;

    TDatabase& FDatabase;
    const int32_t FLockClass;
    TClaimGrace FGrace;
    std::atomic<bool> FShared{false};
    uint64_t FKnown = 0; // the generation of the session seen last turn
    bool FHeartbeatDone = false;
    uint32_t FNextHeartbeat = 0;
    bool FSlow = false;   // the last heartbeat was not answered in time
    bool FPooled = false; // a heartbeat of this session ran on another server process
    TDatabaseRetry FRetry;
    std::string FNewError;
    bool FPollDue = false;
    uint32_t FPollAtTick = 0;
    std::map<std::string, int32_t> FOtherHosts;
    std::map<std::string, std::time_t>* FKnownHosts = nullptr;
};

} // namespace qvx
