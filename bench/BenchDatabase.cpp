#include "BenchDatabase.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace qvx {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        throw std::runtime_error(std::string("missing environment variable ") + name +
                                 " (start a cluster with scripts/lib/pgcluster.sh)");
    return value;
}

TPgConn Connect(const TPgServer& server, const std::string& database) {
    const char* const keywords[] = {"host", "port", "dbname", "user", "password", "client_encoding",
                                    nullptr};
    const char* const values[] = {server.Host.c_str(),
                                  server.Port.c_str(),
                                  database.c_str(),
                                  server.User.c_str(),
                                  server.Password.c_str(),
                                  "UTF8",
                                  nullptr};
    TPgConn conn(PQconnectdbParams(keywords, values, 0));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to " + database + ": " +
                                 std::string(conn ? PQerrorMessage(conn.get()) : "no memory"));
    return conn;
}

TPgResult Run(PGconn* conn, const std::string& sql) {
    TPgResult result(PQexec(conn, sql.c_str()));
    const auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error("SQL failed: " + std::string(PQerrorMessage(conn)));
    return result;
}

// A query with text parameters.
TPgResult Run(PGconn* conn, const char* sql, const std::vector<std::string>& params) {
    std::vector<const char*> values;
    for (const std::string& param : params)
        values.push_back(param.c_str());
    TPgResult result(
        PQexecParams(conn, sql, int(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
    if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK)
        throw std::runtime_error("SQL failed: " + std::string(PQerrorMessage(conn)));
    return result;
}

int64_t Number(const TPgResult& result, const char* column) {
    const int field = PQfnumber(result.get(), column);
    if (PQntuples(result.get()) != 1 || field < 0)
        throw std::runtime_error(std::string("no ") + column + " in the answer");
    return std::stoll(PQgetvalue(result.get(), 0, field));
}

std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + name);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace

TPgServer TPgServer::FromEnvironment() {
    return {Env("QVX_PGHOST"), Env("QVX_PGPORT"), Env("QVX_PGUSER"), Env("QVX_PGPASSWORD"),
            Env("QVX_PGDATABASE")};
}

TBenchDatabase::TBenchDatabase(const TPgServer& server, std::string name,
                               const std::string& schemaFile)
    : FServer(server), FName(std::move(name)) {
    FAdmin = Connect(FServer, FServer.AdminDatabase);
    Run(FAdmin.get(), "CREATE DATABASE " + FName);
    FConn = Connect(FServer, FName);
    Exec(ReadFile(schemaFile));
    // A hundred subscribers, the known one first; the texts are built by the server, so that
    // this source holds no Cyrillic literal (it is compiled into Windows-1251).
    Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('" + std::string(KnownPhone) +
         "', 'Known', 1523.40); INSERT INTO abonents (cellphone, name) SELECT '+7903' || "
         "lpad(i::text, 7, '0'), 'Subscriber ' || i FROM generate_series(2, 100) i");
}

TBenchDatabase::~TBenchDatabase() {
    FConn.reset();
    try {
        Run(FAdmin.get(), "DROP DATABASE IF EXISTS " + FName + " WITH (FORCE)");
    } catch (...) {
        // A database left behind goes with the throwaway cluster.
    }
}

TPgResult TBenchDatabase::Query(const std::string& sql) {
    ++FTransactions;
    return Run(FConn.get(), sql);
}

void TBenchDatabase::Exec(const std::string& sql) {
    Query(sql);
}

void TBenchDatabase::AddMessages(int32_t count) {
    const std::string n = std::to_string(count);
    Exec("WITH texts AS (SELECT i, CASE WHEN i % 2 = 0 THEN rpad('Dear subscriber, payment ' || i "
         "|| ' has been received. ', 160, 'Thank you! ') ELSE (SELECT string_agg(chr(1040 + (i + "
         "k) % 64), '') FROM generate_series(1, 70) k) END AS msgtext FROM generate_series(1, " +
         n +
         ") i), logged AS (INSERT INTO msglog (abonentid, msgtext, regdt) SELECT 1 + i % 100, "
         "msgtext, LOCALTIMESTAMP - interval '1 second' * (" +
         n +
         " - i) - interval '1 minute' FROM texts RETURNING msgid) INSERT INTO msgdelivery "
         "(msgid, chanid) SELECT msgid, 0 FROM logged");
}

void TBenchDatabase::AddNumberedMessages(int32_t count) {
    const std::string n = std::to_string(count);
    Exec("WITH logged AS (INSERT INTO msglog (abonentid, msgtext, regdt) SELECT 1 + i % 100, "
         "'Bench message ' || i || ': your payment has been received, thank you.', "
         "LOCALTIMESTAMP - interval '1 hour' + interval '1 millisecond' * i FROM "
         "generate_series(1, " +
         n +
         ") i RETURNING msgid) INSERT INTO msgdelivery (msgid, chanid) SELECT msgid, 0 FROM "
         "logged");
}

int64_t TBenchDatabase::PendingCount() {
    return Number(
        Query("SELECT count(*) AS pending FROM msgdelivery WHERE chanid = 0 AND sentdt IS NULL"),
        "pending");
}

int64_t TBenchDatabase::WaitUntilStamped(int32_t waitSec) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSec);
    int64_t pending = PendingCount();
    while (pending > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pending = PendingCount();
    }
    return pending;
}

TDbActivity TBenchDatabase::OthersActivity() {
    // A session sends its counts to the server's shared statistics at most once a second, and
    // an idle one up to 10 s late (PostgreSQL 15 on); this forces this connection's out before
    // its answer comes back. A client that disconnects sends its own as it leaves.
    Query("SELECT pg_stat_force_next_flush()");
    // The reading is a transaction of its own, and the reading session drops its snapshot of
    // the counters at the end of each (pg_stat_clear_snapshot() is only needed inside one).
    const TPgResult counters =
        Run(FAdmin.get(),
            "SELECT xact_commit + xact_rollback AS transactions, sessions FROM pg_stat_database "
            "WHERE datname = $1",
            {FName});
    return {Number(counters, "transactions") - FTransactions, Number(counters, "sessions") - 1};
}

void TBenchDatabase::WaitAlone(int32_t waitSec) {
    const std::string self = std::to_string(PQbackendPID(FConn.get()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSec);
    // A leaving session sends its counts before it drops out of pg_stat_activity.
    while (Number(Run(FAdmin.get(),
                      "SELECT count(*) AS others FROM pg_stat_activity WHERE datname = $1 AND "
                      "backend_type = 'client backend' AND pid <> $2::int",
                      {FName, self}),
                  "others") > 0) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("clients of " + FName + " are still connected");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace qvx
