// The connection side of TDatabase: connecting without blocking, the session's limits, and
// running one statement while its socket, the deadline and the worker's interrupts are
// watched together.
#include "infra/BootClock.h"
#include "infra/Codepage.h"
#include "infra/Deadline.h"
#include "infra/Decimal.h"
#include "infra/LogFile.h"
#include "infra/Thread.h"
#include "processing/Database.h"
#include "processing/Error.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <future>
#include <libpq-fe.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <type_traits>

namespace qvx {

namespace {

// Type oid of text (pg_type), for the parameters of the session's settings.
constexpr Oid TextOid = 25;

} // namespace

void TDatabase::SetParams(const TDbParams& params) {
    if (FConn && params == FParams)
        return;
    Close();
    FParams = params;
}

void TDatabase::Close() noexcept {
    FLiveGeneration.store(0);
    FConn.reset();
}

namespace {

// The client's message on one line: its line breaks and indents become single blanks.
std::string OneLine(const char* text) {
    std::string line;
    bool blank = false;
    for (const char* c = text; c != nullptr && *c != '\0'; ++c) {
        if (*c == '\n' || *c == '\r' || *c == '\t' || *c == ' ') {
            blank = !line.empty();
            continue;
        }
        if (blank)
            line += ' ';
        blank = false;
        line += *c;
    }
    return line;
}

} // namespace

void TDatabase::SetInterrupt(int stopFd, int reloadFd) noexcept {
    FStopFd = stopFd;
    FReloadFd = reloadFd;
}

void TDatabase::Fail(const char* libpqMessage, const char* sqlState) {
    std::string message = OneLine(libpqMessage);
    message =
        message.empty() ? std::string("Ошибка обращения к базе данных") : Utf8ToCp1251(message);
    // A broken connection is dropped, so that the next statement connects anew.
    if (FConn && PQstatus(FConn.get()) != CONNECTION_OK)
        Close();
    if (!FConn)
        FReachability = 0;
    FLastErrorAt = std::time(nullptr);
    FLastError = message;
    FLastSqlState = sqlState;
    throw EDatabaseError(message);
}

void TDatabase::FailUnanswered(const std::string& message) {
    FReachability = 0;
    FLastErrorAt = std::time(nullptr);
    FLastError = message;
    FLastSqlState.clear();
    throw EDatabaseError(message);
}

namespace {

// Asks the server to cancel what the connection runs. PQcancel blocks until the server has
// taken the request, and on a server that cannot be reached that is minutes, so it runs on a
// thread of its own that is left behind when it takes longer than CancelWaitMs; what it uses
// is shared with it and freed by whoever finishes last.
void CancelStatement(PGconn* conn) noexcept {
    try {
        const std::shared_ptr<PGcancel> cancel(PQgetCancel(conn), PQfreeCancel);
        if (!cancel)
            return;
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> finished = done->get_future();
        std::thread([cancel, done] {
            char error[256];
            PQcancel(cancel.get(), error, sizeof error);
            try {
                done->set_value();
            } catch (...) {
            }
        }).detach();
        finished.wait_for(std::chrono::milliseconds(TDatabase::CancelWaitMs));
    } catch (...) {
        // Without a thread there is no cancellation; closing the connection still follows.
    }
}

} // namespace

uint32_t TDatabase::FullWaitMs() const noexcept {
    return static_cast<uint32_t>(FParams.Limits.StatementTimeoutMs) +
           static_cast<uint32_t>(FParams.Limits.ReplyGraceMs);
}

TDatabase::TCallWait TDatabase::StartWait(uint32_t timeoutMs) const noexcept {
    TCallWait wait;
    if (FFinalWaitMs)
        timeoutMs = std::min(timeoutMs, *FFinalWaitMs);
    if (FCallWaitMs)
        timeoutMs = std::min(timeoutMs, *FCallWaitMs);
    wait.Deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    return wait;
}

TDatabase::TWaitResult TDatabase::WaitSocket(int socket, short events, TCallWait& wait) {
    if (socket < 0)
        return TWaitResult::Failed;
    for (;;) {
        const TClock::time_point now = TClock::now();
        if (now >= wait.Deadline)
            return wait.Interrupted ? TWaitResult::Interrupted : TWaitResult::TimedOut;
        // An interrupt stays readable once it came, so it is watched only until then; the
        // last statements of a stopping worker have their final wait instead.
        const bool watchInterrupts = !wait.Interrupted && !FFinalWaitMs;
        pollfd fds[3] = {{socket, events, 0}, {FStopFd, POLLIN, 0}, {FReloadFd, POLLIN, 0}};
        const nfds_t count = watchInterrupts ? 3 : 1;
        const TClock::duration slice = std::min<TClock::duration>(
            wait.Deadline - now, std::chrono::milliseconds(ProgressSliceMs));
        const int ready = poll(fds, count, PollTimeoutMs(slice));
        if (FProgress)
            FProgress();
        if (ready < 0 && errno != EINTR)
            return TWaitResult::Failed;
        if (ready <= 0)
            continue;
        if (fds[0].revents != 0)
            return TWaitResult::Ready;
        if (watchInterrupts && ((fds[1].revents | fds[2].revents) & POLLIN) != 0) {
            wait.Interrupted = true;
            wait.Deadline = std::min(wait.Deadline,
                                     TClock::now() + std::chrono::milliseconds(InterruptGraceMs));
        }
    }
}

void TDatabase::Abandon(PGconn* conn, const TCallWait& wait) {
    CancelStatement(conn);
    Close();
    if (wait.Interrupted)
        throw EDatabaseError("Запрос к базе данных прерван");
    const int32_t limitMs = FParams.Limits.StatementTimeoutMs + FParams.Limits.ReplyGraceMs;
    FailUnanswered(FormatMessage("Сервер базы данных не ответил за %d с", (limitMs + 999) / 1000));
}

TPgConn TDatabase::StartConnection() {
    // The INI values are Windows-1251; libpq and the server expect UTF-8.
    const std::string host = Cp1251ToUtf8(FParams.Host);
    const std::string port = std::to_string(FParams.Port);
    const std::string dbName = Cp1251ToUtf8(FParams.DBName);
    const std::string user = Cp1251ToUtf8(FParams.UserName);
    const std::string password = Cp1251ToUtf8(FParams.Password);
    const std::string sslMode = FParams.SSLMode.empty() ? DefaultSslMode : FParams.SSLMode;
    // An empty value is no value to libpq: its own default file applies.
    const std::string rootCert = Cp1251ToUtf8(FParams.SSLRootCert);
    const std::string idle = std::to_string(KeepaliveIdleSec);
    const std::string interval = std::to_string(KeepaliveIntervalSec);
    const std::string probes = std::to_string(KeepaliveCount);
    const std::string userTimeout = std::to_string(TcpUserTimeoutMs);
    const std::string name =
        FParams.ApplicationName.empty() ? SessionName() : FParams.ApplicationName;
    // connect_timeout only governs a blocking connection; this one keeps its own deadline.
    const char* const keywords[] = {"host",
                                    "port",
                                    "dbname",
                                    "user",
                                    "password",
                                    "sslmode",
                                    "sslrootcert",
                                    "client_encoding",
                                    "keepalives",
                                    "keepalives_idle",
                                    "keepalives_interval",
                                    "keepalives_count",
                                    "tcp_user_timeout",
                                    "application_name",
                                    nullptr};
    const char* const values[] = {host.c_str(),        port.c_str(),     dbName.c_str(),
                                  user.c_str(),        password.c_str(), sslMode.c_str(),
                                  rootCert.c_str(),    "UTF8",           "1",
                                  idle.c_str(),        interval.c_str(), probes.c_str(),
                                  userTimeout.c_str(), name.c_str(),     nullptr};
    TPgConn conn(PQconnectStartParams(keywords, values, 0));
    if (!conn)
        throw EDatabaseError("Недостаточно памяти для подключения к базе данных");
    return conn;
}

PGconn* TDatabase::Connection() {
    if (FConn)
        return FConn.get();
    TPgConn conn = StartConnection();
    TCallWait wait = StartWait(ConnectTimeoutSec * 1000);
    // Before the first poll the socket is awaited as writable: the connect() in progress.
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    while (PQstatus(conn.get()) != CONNECTION_BAD && status != PGRES_POLLING_OK &&
           status != PGRES_POLLING_FAILED) {
        const short events = status == PGRES_POLLING_READING ? POLLIN : POLLOUT;
        const TWaitResult waited = WaitSocket(PQsocket(conn.get()), events, wait);
        if (waited == TWaitResult::Interrupted)
            throw EDatabaseError("Подключение к базе данных прервано");
        if (waited == TWaitResult::TimedOut)
            FailUnanswered(FormatMessage("Сервер базы данных не ответил на подключение за %d с",
                                         ConnectTimeoutSec));
        status = PQconnectPoll(conn.get());
    }
    if (PQstatus(conn.get()) != CONNECTION_OK || PQsetnonblocking(conn.get(), 1) != 0) {
        // The message names the server and the user, never the password.
        const std::string reason = PQerrorMessage(conn.get());
        conn.reset();
        Fail(reason.c_str());
    }
    // A connection whose limits could not be set is not kept.
    ApplyLimits(conn.get());
    FConn = std::move(conn);
    ++FGeneration;
    FLiveGeneration.store(FGeneration);
    FReachability = 1;
    FAnswered.Mark(BootMs(), WallMs());
    return FConn.get();
}

bool TDatabase::Unencrypted() const noexcept {
    if (!FConn)
        return false;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(PQsocket(FConn.get()), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    return address.ss_family != AF_UNIX && PQsslInUse(FConn.get()) == 0;
}

// The server's own limits for this session, set once per connection, and how it finds a
// client that vanished: its claims must not outlive the host by more than half a minute.
void TDatabase::ApplyLimits(PGconn* conn) {
    const std::string statement = std::to_string(FParams.Limits.StatementTimeoutMs);
    const std::string lock = std::to_string(FParams.Limits.LockTimeoutMs);
    const std::string idle = std::to_string(KeepaliveIdleSec);
    const std::string interval = std::to_string(KeepaliveIntervalSec);
    const std::string probes = std::to_string(KeepaliveCount);
    const std::string userTimeout = std::to_string(TcpUserTimeoutMs);
    const int version = PQserverVersion(conn);
    std::string sql = "SELECT pg_backend_pid() AS pid, set_config('statement_timeout', $1, "
                      "false), set_config('lock_timeout', $2, false), "
                      "set_config('tcp_keepalives_idle', $3, false), "
                      "set_config('tcp_keepalives_interval', $4, false), "
                      "set_config('tcp_keepalives_count', $5, false)";
    if (version >= 120000)
        sql += ", set_config('tcp_user_timeout', $6, false)";
    else
        sql += ", $6";
    if (version >= 140000)
        sql += ", (SELECT setting FROM pg_settings WHERE name = 'idle_session_timeout') AS idle";
    const Oid types[] = {TextOid, TextOid, TextOid, TextOid, TextOid, TextOid};
    const char* const values[] = {statement.c_str(), lock.c_str(),   idle.c_str(),
                                  interval.c_str(),  probes.c_str(), userTimeout.c_str()};
    const TPgResult result = Run(conn, sql.c_str(), 6, types, values, true);
    const int32_t pid = ParseInt32(PQgetvalue(result.get(), 0, 0)).value_or(0);
    FBackendPid = pid;
    FIdleSessionMs = 0;
    if (version >= 140000) {
        const int32_t set = ParseInt32(PQgetvalue(result.get(), 0, 7)).value_or(0);
        FIdleSessionMs = set > 0 && set < IdleSessionMs ? set : IdleSessionMs;
    }
    ApplySessionSettings(conn, pid);
}

void TDatabase::AwaitInput(PGconn* conn, TCallWait& wait) {
    // A statement that did not fit the socket buffer is still being sent: the socket is
    // watched for writing too, and reading goes on meanwhile so that neither side blocks.
    const int flushed = PQflush(conn);
    if (flushed < 0)
        Fail(PQerrorMessage(conn));
    const short events = flushed == 1 ? POLLIN | POLLOUT : POLLIN;
    const TWaitResult waited = WaitSocket(PQsocket(conn), events, wait);
    if (waited == TWaitResult::TimedOut && FCallWaitMs && !wait.Cancelled) {
        // A short wait ran out: the server is asked to cancel, and its answer to that shows
        // whether it is slow or gone.
        CancelStatement(conn);
        wait.Cancelled = true;
        wait.Deadline = TClock::now() + std::chrono::milliseconds(FullWaitMs());
        return;
    }
    if (waited == TWaitResult::Interrupted || waited == TWaitResult::TimedOut)
        Abandon(conn, wait);
    if (waited == TWaitResult::Failed || PQconsumeInput(conn) == 0)
        Fail(PQerrorMessage(conn));
}

TPgResult TDatabase::Run(PGconn* conn, const char* sql, int count, const unsigned int* types,
                         const char* const* values, bool returnsRows) {
    static_assert(std::is_same_v<Oid, unsigned int>, "parameter types are passed as oids");
    const ExecStatusType expected = returnsRows ? PGRES_TUPLES_OK : PGRES_COMMAND_OK;
    if (PQsendQueryParams(conn, sql, count, types, values, nullptr, nullptr, 0) == 0)
        Fail(PQerrorMessage(conn));
    TCallWait wait = StartWait(FullWaitMs());
    TPgResult result;
    for (;;) {
        while (PQisBusy(conn) != 0)
            AwaitInput(conn, wait);
        TPgResult next(PQgetResult(conn));
        if (!next)
            break;
        // One statement gives one result; should more come, the first failure counts.
        if (!result ||
            (PQresultStatus(result.get()) == expected && PQresultStatus(next.get()) != expected))
            result = std::move(next);
    }
    if (result) // a refusal is an answer too: the session lived
        FAnswered.Mark(BootMs(), WallMs());
    if (!result || PQresultStatus(result.get()) != expected) {
        const std::string reason =
            result ? PQresultErrorMessage(result.get()) : PQerrorMessage(conn);
        const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
        Fail(reason.empty() ? PQerrorMessage(conn) : reason.c_str(), state ? state : "");
    }
    return result;
}

} // namespace qvx
