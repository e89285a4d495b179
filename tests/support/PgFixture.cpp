#include "support/PgFixture.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <libpq-fe.h>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace qvx::test {

namespace {

struct TConnCloser {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct TResultCloser {
    void operator()(PGresult* result) const { PQclear(result); }
};
using TConn = std::unique_ptr<PGconn, TConnCloser>;
using TResult = std::unique_ptr<PGresult, TResultCloser>;

TConn Connect(const TPgServer& server, const std::string& database) {
    const std::string port = std::to_string(server.Port);
    const char* const keywords[] = {
        "host", "port", "dbname", "user", "password", "connect_timeout", "client_encoding",
        nullptr};
    const char* const values[] = {
        server.Host.c_str(),     port.c_str(), database.c_str(), server.User.c_str(),
        server.Password.c_str(), "10",         "UTF8",           nullptr};
    TConn conn(PQconnectdbParams(keywords, values, 0));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to test PostgreSQL at " + server.Host + ":" +
                                 port + " database " + database + ": " +
                                 (conn ? PQerrorMessage(conn.get()) : "out of memory"));
    // Test data is written with literals; keep notices of the schema load off stderr.
    const TResult ignored(PQexec(conn.get(), "SET client_min_messages = warning"));
    return conn;
}

TResult Run(PGconn* conn, const std::string& sql) {
    TResult result(PQexec(conn, sql.c_str()));
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error("SQL failed: " + std::string(PQerrorMessage(conn)) +
                                 "statement: " + sql.substr(0, 300));
    return result;
}

std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + name);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Unique among parallel test processes and among the databases of one process.
std::string UniqueName() {
    static std::atomic<int> counter{0};
    std::random_device random;
    std::ostringstream name;
    name << "qvx_test_" << getpid() << "_" << counter++ << "_" << std::hex << random();
    return name.str();
}

std::string QuoteIdent(const std::string& name) {
    return "\"" + name + "\"";
}

} // namespace

std::optional<TPgServer> TPgServer::FromEnvironment(std::string& missing) {
    missing.clear();
    auto read = [&missing](const char* name) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') {
            missing += missing.empty() ? name : std::string(", ") + name;
            return std::string();
        }
        return std::string(value);
    };
    TPgServer server;
    server.Host = read("QVX_PGHOST");
    const std::string port = read("QVX_PGPORT");
    server.User = read("QVX_PGUSER");
    server.Password = read("QVX_PGPASSWORD");
    server.AdminDatabase = read("QVX_PGDATABASE");
    if (!missing.empty())
        return std::nullopt;
    server.Port = std::atoi(port.c_str());
    return server;
}

TPgDatabase::TPgDatabase(TPgServer server) : FServer(std::move(server)), FName(UniqueName()) {
    {
        TConn admin = Connect(FServer, FServer.AdminDatabase);
        Run(admin.get(), "CREATE DATABASE " + QuoteIdent(FName) + " ENCODING 'UTF8'");
    }
    Exec(ReadFile(std::string(QVX_SOURCE_DIR) + "/db/schema.sql"));
}

TPgDatabase::~TPgDatabase() {
    try {
        TConn admin = Connect(FServer, FServer.AdminDatabase);
        // FORCE ends sessions a failed test may have left behind.
        Run(admin.get(), "DROP DATABASE IF EXISTS " + QuoteIdent(FName) + " WITH (FORCE)");
    } catch (const std::exception& error) {
        ADD_FAILURE() << "cannot drop test database " << FName << ": " << error.what();
    }
}

void TPgDatabase::Exec(const std::string& sql) const {
    TConn conn = Connect(FServer, FName);
    Run(conn.get(), sql);
}

std::vector<TPgRow> TPgDatabase::Query(const std::string& sql) const {
    TConn conn = Connect(FServer, FName);
    const TResult result = Run(conn.get(), sql);
    std::vector<TPgRow> rows;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
        TPgRow values;
        for (int column = 0; column < PQnfields(result.get()); ++column) {
            if (PQgetisnull(result.get(), row, column))
                values.emplace_back(std::nullopt);
            else
                values.emplace_back(PQgetvalue(result.get(), row, column));
        }
        rows.push_back(std::move(values));
    }
    return rows;
}

std::optional<std::string> TPgDatabase::Scalar(const std::string& sql) const {
    const auto rows = Query(sql);
    if (rows.empty() || rows.front().empty())
        return std::nullopt;
    return rows.front().front();
}

void TPgDatabase::TerminateSessions() const {
    TConn admin = Connect(FServer, FServer.AdminDatabase);
    Run(admin.get(), "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                         FName + "' AND pid <> pg_backend_pid()");
}

void TPgDatabase::ApplyTo(TConfig& config) const {
    config.Host = FServer.Host;
    config.Port = FServer.Port;
    config.DBName = FName;
    config.UserName = FServer.User;
    config.Password = FServer.Password;
}

std::string TPgDatabase::IniSection() const {
    return "[Database]\r\nHost=" + FServer.Host + "\r\nPort=" + std::to_string(FServer.Port) +
           "\r\nDBName=" + FName + "\r\nUserName=" + FServer.User +
           "\r\nPassword=" + FServer.Password + "\r\n";
}

struct TPgSession::TImpl {
    TConn Conn;
};

TPgSession::TPgSession(const TPgDatabase& database)
    : FImpl(std::make_unique<TImpl>(TImpl{Connect(database.Server(), database.Name())})) {}

TPgSession::~TPgSession() = default;

void TPgSession::Exec(const std::string& sql) const {
    Run(FImpl->Conn.get(), sql);
}

void TPgTest::SetUp() {
    std::string missing;
    const auto server = TPgServer::FromEnvironment(missing);
    if (!server)
        FAIL() << "this test needs the PostgreSQL cluster that scripts/test starts; missing "
                  "environment: "
               << missing
               << " (run scripts/test, or source scripts/lib/pgcluster.sh and call "
                  "pg_cluster_start DIR)";
    try {
        FDb = std::make_unique<TPgDatabase>(*server);
    } catch (const std::exception& error) {
        FAIL() << "cannot prepare a test database: " << error.what();
    }
}

} // namespace qvx::test
