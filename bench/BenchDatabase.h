// TBenchDatabase: a throwaway database with the demo schema on the local PostgreSQL cluster
// of scripts/lib/pgcluster.sh (QVX_PG* variables), filled with subscribers and pending SMS
// deliveries for one benchmark run, and dropped again. Used by the benchmark's main thread.
#pragma once

#include <cstdint>
#include <libpq-fe.h>
#include <memory>
#include <string>

namespace qvx {

// Owners of the client library's handles: the benchmarks talk to the server directly.
struct TPgConnCloser {
    void operator()(PGconn* conn) const noexcept { PQfinish(conn); }
};
struct TPgResultCloser {
    void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using TPgConn = std::unique_ptr<PGconn, TPgConnCloser>;
using TPgResult = std::unique_ptr<PGresult, TPgResultCloser>;

struct TPgServer {
    std::string Host;
    std::string Port;
    std::string User;
    std::string Password;
    std::string AdminDatabase;
    // From the QVX_PG* variables; throws std::runtime_error when one is missing.
    static TPgServer FromEnvironment();
};

class TBenchDatabase {
public:
    // The subscriber every account request in the benchmarks comes from.
    static constexpr const char* KnownPhone = "+79161234567";

    // Creates the database and loads schemaFile; throws std::runtime_error on failure.
    TBenchDatabase(const TPgServer& server, std::string name, const std::string& schemaFile);
    ~TBenchDatabase(); // drops the database, also while a client is still connected
    TBenchDatabase(const TBenchDatabase&) = delete;
    TBenchDatabase& operator=(const TBenchDatabase&) = delete;

    const std::string& Name() const { return FName; }
    void Exec(const std::string& sql);
    // count pending SMS deliveries, alternately a Latin text of 160 characters and a Cyrillic
    // text of 70 (each fills one PDU), registered within the last few hours, oldest first.
    void AddMessages(int32_t count);
    // count pending SMS deliveries of one 7-bit PDU each whose texts differ ("Bench message
    // <n> ..."), registered within the last hour: each one can be told from the others.
    void AddNumberedMessages(int32_t count);
    int64_t PendingCount();
    // Waits up to waitSec for every pending row to be stamped; the rows still pending.
    int64_t WaitUntilStamped(int32_t waitSec);

private:
    TPgServer FServer;
    std::string FName;
    TPgConn FConn;
};

} // namespace qvx
