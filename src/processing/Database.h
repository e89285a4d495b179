// TDatabase, the worker thread's access to the accounting database: one libpq connection,
// opened on demand by the first statement that needs it and closed explicitly by the worker,
// and the four statements the service runs (the unsent rows through a cursor). Texts cross this
// edge converted between the connection's UTF-8 and the service's Windows-1251. Every call is
// bounded: the connection and each statement wait on the socket with a deadline, and the worker's
// stop or reload breaks a wait off and cancels the statement on the server. Used by the worker
// thread only.
#pragma once

#include "infra/Config.h"
#include "infra/Deadline.h"
#include "processing/AnswerStamp.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The client library's handles (PGconn, PGresult), named by their tags so that only the
// implementation includes <libpq-fe.h>.
struct pg_conn;
struct pg_result;

namespace qvx {

struct TPgConnCloser {
    void operator()(pg_conn* conn) const noexcept;
};
struct TPgResultCloser {
    void operator()(pg_result* result) const noexcept;
};
using TPgConn = std::unique_ptr<pg_conn, TPgConnCloser>;
using TPgResult = std::unique_ptr<pg_result, TPgResultCloser>;

// How long the server may take. The defaults lie far beyond any sound statement of the
// service (a pass of 100,000 rows reads in about a second), so that they only end a wait for
// a lock held by someone else, a runaway statement or a server that went silent.
struct TDbLimits {
    // The server's statement_timeout and lock_timeout for the service's session.
    int32_t StatementTimeoutMs = 300000;
    int32_t LockTimeoutMs = 60000;
    // A server that does not even report its statement timeout this much later is given up.
    int32_t ReplyGraceMs = 30000;

    bool operator==(const TDbLimits&) const = default;
};

// Where and as whom to connect; texts are Windows-1251 as read from the INI file.
struct TDbParams {
    std::string Host;
    int32_t Port = 5432;
    std::string DBName;
    std::string UserName;
    std::string Password;
    std::string SSLMode = DefaultSslMode; // a libpq sslmode value
    std::string SSLRootCert;              // a libpq sslrootcert value; empty: its default
    TDbLimits Limits;
    std::string ApplicationName; // empty: SessionName()

    bool operator==(const TDbParams&) const = default;
};

// One unsent SMS delivery as the sending pass sees it; a null text or number reads as empty.
// The age is measured by the database's clock, the one that registered the message.
struct TPendingSMS {
    int32_t MsgId = 0;
    std::string Text;
    std::string Telephone;
    double AgeSec = 0;
};

// Where a paged read of the unsent deliveries stands.
struct TPendingCursor {
    bool Open = false; // the server holds the rows of this read
    bool End = false;  // the last page has been read
};

// Another session of the service as the server lists it.
struct TPeerSession {
    std::string Host;           // its session name without the published answer wait
    int32_t Pid = 0;            // its server process: a session made anew has another
    int32_t ModemTimeoutMs = 0; // published by the host; 0 when it publishes none
    bool operator==(const TPeerSession&) const = default;
};

// What the claim session sees of the other sessions: the ids they hold advisory locks on in the
// service's lock class, the other sessions of the service, and by host name the number of those
// locks each holds. BackendPid is the server process that answered: another one than at the
// connection's start means a pooler hands the statements around.
struct TPeerView {
    std::vector<int32_t> HeldByOthers;
    std::map<std::string, int32_t> Hosts;
    std::vector<TPeerSession> Sessions;
    int32_t BackendPid = 0;
};

// The application name of this host's sessions: "<program>@<host name>", so that the server's
// views tell the hosts apart; the service's own are "quorvexsms@...". A positive modemTimeoutMs
// is published after a '#', so that the other hosts size their wait for this one's terminals.
std::string SessionName(const char* program = "quorvexsms", int32_t modemTimeoutMs = 0);
// A session name split into its host part and the answer wait it publishes (0: none).
TPeerSession ParseSessionName(const std::string& name);
// The channel the hosts of one database wake each other on.
extern const char* const ServiceChannel;

// Statement texts, as sent to the server; $1 is the first bound parameter of each.
extern const char* const SqlParams;
extern const char* const SqlPrepAccInfo;
extern const char* const SqlGetSMS;
extern const char* const SqlMarkSent;
extern const char* const SqlPrivileges;
extern const char* const SqlTryLocks;
extern const char* const SqlUnsent;
extern const char* const SqlUnlocks;

class TDatabase {
public:
    static constexpr int32_t ConnectTimeoutSec = 15;
    // TCP keepalives find a peer that vanished from an idle connection within about 25 s;
    // the user timeout does the same for data the peer never acknowledges.
    static constexpr int32_t KeepaliveIdleSec = 10;
    static constexpr int32_t KeepaliveIntervalSec = 5;
    static constexpr int32_t KeepaliveCount = 3;
    static constexpr int32_t TcpUserTimeoutMs = 30000;
    // A session that sends nothing this long is ended by the server (PostgreSQL 14 and later),
    // so that the claims of a host that froze are freed; a shorter limit the server already
    // sets for the session is kept. The worker speaks every HeartbeatMs or more often.
    static constexpr int32_t IdleSessionMs = 60000;
    // After a stop or reload a running statement may still finish for this long before it is
    // cancelled, so that a stamp an instant from its end is not thrown away.
    static constexpr uint32_t InterruptGraceMs = 200;
    // How long a cancellation request may take; a server that cannot even be reached is left
    // to find the closed connection by itself.
    static constexpr uint32_t CancelWaitMs = 300;
    // The longest stretch a wait goes without calling the progress callback.
    static constexpr uint32_t ProgressSliceMs = 250;

    TDatabase() = default;
    TDatabase(const TDatabase&) = delete;
    TDatabase& operator=(const TDatabase&) = delete;

    // Takes effect at the next connection; an open connection is closed first.
    void SetParams(const TDbParams& params);
    bool Connected() const noexcept { return FConn != nullptr; }
    // Counts the connections made: a session's advisory locks live only as long as the
    // connection that took them, so a holder compares the number it locked on with this one.
    uint64_t Generation() const noexcept { return FGeneration; }
    // Any thread: the Generation() of the open connection, 0 from the moment it is closed, so
    // that what was claimed on it stops at once wherever it is asked.
    uint64_t LiveGeneration() const noexcept { return FLiveGeneration.load(); }
    // Any thread: when the server last answered on the open connection (a refusal is an answer
    // too): the session lived then.
    const TAnswerStamp& Answered() const noexcept { return FAnswered; }
    // The server process of the open connection, as it said at the start; 0 without one.
    int32_t BackendPid() const noexcept { return FConn ? FBackendPid : 0; }
    // Closes the connection (and with it every statement); the next statement reconnects.
    void Close() noexcept;
    // How the last connection went, as a TDatabaseState: -1 not tried yet, 0 it failed or
    // broke, 1 it succeeded. A statement the server refuses leaves it as it was.
    int32_t Reachability() const noexcept { return FReachability; }
    // The message of the last failure (cp1251) and its wall-clock seconds; empty and 0 if none.
    const std::string& LastError() const noexcept { return FLastError; }
    int64_t LastErrorAt() const noexcept { return FLastErrorAt; }
    // The SQLSTATE of the last statement the server refused; empty when the last failure had
    // none (no answer, a broken connection).
    const std::string& LastSqlState() const noexcept { return FLastSqlState; }
    // The server's version as libpq gives it (150004 for 15.4); 0 without a connection.
    int32_t ServerVersion() const noexcept;
    // The idle_session_timeout of the open session in ms; 0 when it has none.
    int32_t IdleSessionTimeoutMs() const noexcept { return FIdleSessionMs; }
    // True while the open connection runs over TCP without TLS, readable and changeable by
    // anyone on the way; false without a connection and for a local (Unix socket) one.
    bool Unencrypted() const noexcept;

    // Descriptors that, once readable, break off the call that waits for the server: the
    // worker's stop and reload events. -1 for none.
    void SetInterrupt(int stopFd, int reloadFd) noexcept;
    // Called from inside every wait at least each ProgressSliceMs: the worker's heartbeat.
    void SetProgress(std::function<void()> progress) { FProgress = std::move(progress); }
    // From now on every call waits at most this long and no interrupt breaks it off any more:
    // the last statements of a stopping worker, which a silent server must not hold up and a
    // live one should finish. nullopt lifts the limit.
    void SetFinalWaitMs(std::optional<uint32_t> waitMs) noexcept { FFinalWaitMs = waitMs; }

    // Every statement below connects when needed and throws EDatabaseError with the database
    // client's message on any failure, also when the server did not answer in time or a stop
    // or reload broke the wait off.

    // The val of one appconfig row; nullopt when there is no row, "" for a null value.
    std::optional<std::string> ReadParam(const std::string& propId);
    // prepare_acc_info(cellphone): nullopt when no row came back. A null or non-integer
    // result reads as AccInfoUnreadable, which is neither "prepared" nor "no subscriber".
    static constexpr int64_t AccInfoUnreadable = -1;
    std::optional<int64_t> PrepareAccInfo(const std::string& cellphone);
    // Rows a page of unsent deliveries holds at most, so that the sending pass needs the same
    // memory whatever the backlog.
    static constexpr int32_t PendingPageRows = 500;
    // The next page of the unsent SMS deliveries registered within the last messTtlHours,
    // oldest first (ties by id), as one read at the first page saw them; moves the cursor on.
    // Texts are cut one character beyond the longest sendable text, and a number over 256
    // characters reads as empty.
    std::vector<TPendingSMS> GetSMSPage(int32_t messTtlHours, TPendingCursor& cursor);
    // Every page at once, for a count.
    std::vector<TPendingSMS> GetSMS(int32_t messTtlHours);
    // Stamps the unsent SMS deliveries of the messages in one statement; rows changed.
    int64_t MarkSent(const std::vector<int32_t>& msgIds);
    // What the connected user may not do of what the service needs besides reading: the
    // privileges ("UPDATE msgdelivery", "EXECUTE prepare_acc_info") it lacks.
    std::vector<std::string> MissingPrivileges();

    // Session-level advisory locks (lockClass, id), each taken at most once per call: a lock
    // taken twice stacks and would need two unlocks. TryLocks returns the ids it locked, in
    // the order given; an id another session holds is left out. Unlock returns how many it
    // freed. Should TryLocks fail, some of its locks may be held: only closing frees them.
    std::vector<int32_t> TryLocks(int32_t lockClass, const std::vector<int32_t>& ids);
    int64_t Unlock(int32_t lockClass, const std::vector<int32_t>& ids);
    // The ids whose SMS delivery is still unsent, in the order given.
    std::vector<int32_t> Unsent(const std::vector<int32_t>& ids);

    // The other sessions' locks of lockClass and the other hosts' sessions, in one statement.
    // A server that has not answered within waitMs is asked to cancel it and the connection is
    // kept: a slow server is no lost session. The cancelled statement throws EDatabaseError
    // with the connection still open; a broken one throws with it closed.
    TPeerView Peers(int32_t lockClass, uint32_t waitMs);
    // Wakes the other hosts listening on ServiceChannel; stopping says that this session ends
    // cleanly, its claims all released, so that they need not wait for it.
    void Notify(bool stopping = false);
    // What other sessions sent on ServiceChannel since the last call: how many wake-ups, and
    // the server processes of the sessions that said they stop. Reads what has arrived without
    // waiting. A connection found broken is closed.
    struct TNotifications {
        int32_t Count = 0;
        std::vector<int32_t> Stopping;
    };
    TNotifications TakeNotifications() noexcept;
    // The server's UTC offset in seconds for the session's time zone, at its current time.
    int32_t ZoneOffsetSec();

private:
    // The state of one call's waits: its deadline and whether an interrupt arrived.
    struct TCallWait {
        TClock::time_point Deadline;
        bool Interrupted = false;
        bool Cancelled = false; // a short wait ran out and the statement was cancelled
    };
    enum class TWaitResult { Ready, Interrupted, TimedOut, Failed };

    pg_conn* Connection();
    TPgConn StartConnection();
    void ApplyLimits(pg_conn* conn);
    // The claim session's settings: how the server finds a lost client, LISTEN, and the check
    // that both statements ran on one backend (a pooler in transaction mode would lose every
    // session-level lock).
    void ApplySessionSettings(pg_conn* conn, int32_t firstPid);
    // Runs a statement with one text or int4 parameter; throws unless it succeeded with rows
    // (returnsRows) or as a command without them.
    TPgResult Exec(const char* sql, const std::string& value, bool isInteger, bool returnsRows);
    // Runs a statement over a list of ids ($1, an int4 array) and one lock class ($2).
    TPgResult ExecIds(const char* sql, const std::vector<int32_t>& ids, int32_t lockClass);
    // Sends a statement without blocking and collects its one result within the limits.
    // types are the parameters' type oids.
    TPgResult Run(pg_conn* conn, const char* sql, int count, const unsigned int* types,
                  const char* const* values, bool returnsRows);
    void AwaitInput(pg_conn* conn, TCallWait& wait);
    TCallWait StartWait(uint32_t timeoutMs) const noexcept;
    // The longest a statement may take: the server's limit and the grace after it.
    uint32_t FullWaitMs() const noexcept;
    TWaitResult WaitSocket(int socket, short events, TCallWait& wait);
    // Cancels the running statement on the server, closes the connection and throws.
    [[noreturn]] void Abandon(pg_conn* conn, const TCallWait& wait);
    // sqlState: the server's code for a refused statement, "" for any other failure.
    [[noreturn]] void Fail(const char* libpqMessage, const char* sqlState = "");
    // A server that did not answer in time: the connection is gone, the database unreachable.
    [[noreturn]] void FailUnanswered(const std::string& message);

    TDbParams FParams;
    TPgConn FConn;
    int FStopFd = -1;
    int FReloadFd = -1;
    std::function<void()> FProgress;
    std::optional<uint32_t> FFinalWaitMs;
    // The wait of the statement being run, when shorter than the usual; past it the statement
    // is cancelled and its answer awaited within the usual limits.
    std::optional<uint32_t> FCallWaitMs;
    int32_t FIdleSessionMs = 0;
    int32_t FReachability = -1;
    std::string FLastError;
    std::string FLastSqlState;
    int64_t FLastErrorAt = 0;
    uint64_t FGeneration = 0;
    std::atomic<uint64_t> FLiveGeneration{0};
    TAnswerStamp FAnswered;
    int32_t FBackendPid = 0;
};

} // namespace qvx
