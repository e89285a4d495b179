// The claim session side of TDatabase: what several hosts on one database need of the
// worker's one connection. The session tells its host apart by name, checks that its
// statements reach one backend, listens on the service's channel, and reads who else holds
// claims.
#include "infra/Codepage.h"
#include "infra/Decimal.h"
#include "processing/Database.h"
#include "processing/Error.h"

#include <algorithm>
#include <libpq-fe.h>
#include <unistd.h>

namespace qvx {

namespace {

constexpr Oid TextOid = 25;
// The longest application name the server keeps (NAMEDATALEN - 1).
constexpr size_t SessionNameMax = 63;

// The server process that runs it; another session's locks in the lock class, each with the
// application name of its session; then the other sessions of the service, without an id.
// Advisory locks belong to one database, and so do the hosts that share the work.
const char* const SqlPeers =
    "SELECT 's' AS kind, '' AS name, NULL::int8 AS id, pg_backend_pid() AS pid\n"
    "UNION ALL\n"
    "SELECT 'l', coalesce(a.application_name, ''), l.objid::int8, l.pid\n"
    "FROM pg_locks l LEFT JOIN pg_stat_activity a ON a.pid = l.pid\n"
    "WHERE l.locktype = 'advisory' AND l.classid = $1::int8::oid AND l.objsubid = 2\n"
    "  AND l.granted AND l.pid <> pg_backend_pid()\n"
    "  AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database())\n"
    "UNION ALL\n"
    "SELECT 'h', application_name, NULL, pid FROM pg_stat_activity\n"
    "WHERE application_name LIKE 'quorvexsms@%' AND pid <> pg_backend_pid()\n"
    "  AND datname = current_database()";

// The payload of a host that stops cleanly, and how many such a turn takes note of.
constexpr const char* StoppingPayload = "stopping";
constexpr size_t StoppingMax = 64;

// The mark before the published answer wait in a session name.
constexpr char WaitMark = '#';

} // namespace

const char* const ServiceChannel = "quorvexsms";

std::string SessionName(const char* program, int32_t modemTimeoutMs) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        std::snprintf(host, sizeof host, "%s", "localhost");
    const std::string wait =
        modemTimeoutMs > 0 ? WaitMark + std::to_string(modemTimeoutMs) : std::string();
    // Only what reads the same in every client encoding and log.
    std::string name = std::string(program) + "@";
    for (const char* c = host; *c != '\0' && name.size() + wait.size() < SessionNameMax; ++c) {
        const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                           (*c >= '0' && *c <= '9') || *c == '-' || *c == '.' || *c == '_';
        name += plain ? *c : '_';
    }
    return name + wait;
}

TPeerSession ParseSessionName(const std::string& name) {
    TPeerSession session;
    const size_t mark = name.rfind(WaitMark);
    session.Host = name.substr(0, mark);
    if (mark != std::string::npos)
        session.ModemTimeoutMs =
            std::max(ParseInt32(std::string_view(name).substr(mark + 1)).value_or(0), 0);
    return session;
}

int32_t TDatabase::ServerVersion() const noexcept {
    return FConn ? PQserverVersion(FConn.get()) : 0;
}

void TDatabase::ApplySessionSettings(PGconn* conn, int32_t firstPid) {
    Run(conn, (std::string("LISTEN ") + ServiceChannel).c_str(), 0, nullptr, nullptr, false);
    const std::string idle = std::to_string(FIdleSessionMs);
    const Oid types[] = {TextOid};
    const char* const values[] = {idle.c_str()};
    const TPgResult result =
        FIdleSessionMs > 0
            ? Run(conn, "SELECT pg_backend_pid(), set_config('idle_session_timeout', $1, false)", 1,
                  types, values, true)
            : Run(conn, "SELECT pg_backend_pid()", 0, nullptr, nullptr, true);
    const int32_t pid = ParseInt32(PQgetvalue(result.get(), 0, 0)).value_or(0);
    if (pid != firstPid)
        throw EServiceError(
            "Два запроса к базе данных выполнены разными процессами сервера: между службой и "
            "базой данных работает пул соединений в режиме транзакций. Захват сообщений так "
            "невозможен; нужен режим сессий (pool_mode = session) или прямое подключение");
}

TPeerView TDatabase::Peers(int32_t lockClass, uint32_t waitMs) {
    struct TShortWait {
        std::optional<uint32_t>& Wait;
        ~TShortWait() { Wait.reset(); }
    } shortWait{FCallWaitMs};
    FCallWaitMs = waitMs;
    const TPgResult result = Exec(SqlPeers, std::to_string(lockClass), true, true);
    TPeerView view;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
        const char kind = PQgetvalue(result.get(), row, 0)[0];
        const std::string name = PQgetvalue(result.get(), row, 1);
        const int32_t pid = ParseInt32(PQgetvalue(result.get(), row, 3)).value_or(0);
        if (kind == 's') {
            view.BackendPid = pid;
            continue;
        }
        const bool isLock = kind == 'l';
        if (isLock) {
            // The key is kept as an oid: the int4 id's bits read unsigned.
            const auto key = ParseInt64(PQgetvalue(result.get(), row, 2)).value_or(0);
            view.HeldByOthers.push_back(static_cast<int32_t>(static_cast<uint32_t>(key)));
        }
        if (!name.starts_with("quorvexsms@"))
            continue;
        TPeerSession session = ParseSessionName(Utf8ToCp1251(name));
        view.Hosts[session.Host] += isLock ? 1 : 0;
        if (!isLock) {
            session.Pid = pid;
            view.Sessions.push_back(std::move(session));
        }
    }
    return view;
}

// The payload names the host that woke the others, or says that it stops.
void TDatabase::Notify(bool stopping) {
    const std::string sql = std::string("SELECT pg_notify('") + ServiceChannel + "', $1)";
    Exec(sql.c_str(), stopping ? StoppingPayload : SessionName(), false, true);
}

TDatabase::TNotifications TDatabase::TakeNotifications() noexcept {
    TNotifications taken;
    if (!FConn)
        return taken;
    PGconn* conn = FConn.get();
    // A session the server ended shows here first: its last words, then the closed socket.
    if (PQconsumeInput(conn) == 0 || PQstatus(conn) != CONNECTION_OK) {
        Close();
        return taken;
    }
    const int ownPid = PQbackendPID(conn);
    while (PGnotify* notify = PQnotifies(conn)) {
        if (notify->be_pid != ownPid) {
            ++taken.Count;
            if (std::string_view(notify->extra) == StoppingPayload &&
                taken.Stopping.size() < StoppingMax)
                taken.Stopping.push_back(notify->be_pid);
        }
        PQfreemem(notify);
    }
    return taken;
}

int32_t TDatabase::ZoneOffsetSec() {
    const TPgResult result =
        Run(Connection(), "SELECT EXTRACT(TIMEZONE FROM now())::int4", 0, nullptr, nullptr, true);
    return ParseInt32(PQgetvalue(result.get(), 0, 0)).value_or(0);
}

} // namespace qvx
