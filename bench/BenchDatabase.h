// TBenchDatabase: a throwaway database with the demo schema on the local PostgreSQL cluster
// of scripts/lib/pgcluster.sh (QVX_PG* variables), filled with subscribers and pending SMS
// deliveries for one benchmark run, and dropped again; and what the server counted for the
// other clients of that database. Used by the benchmark's main thread.
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

// The server's counters (pg_stat_database) for the work of one database's clients.
struct TDbActivity {
    int64_t Transactions = 0; // committed and rolled back
    int64_t Sessions = 0;     // connections made
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

    // What the server has counted for this database less this object's own statements. Only
    // the difference between two readings means anything, and only when every other client
    // that worked in between has reported: it has disconnected (see WaitAlone) or it was not
    // there yet.
    TDbActivity OthersActivity();
    // Waits until no other client is connected to this database; throws after waitSec.
    void WaitAlone(int32_t waitSec);

private:
    // Every statement on the database's own connection, counted: each is one transaction.
    TPgResult Query(const std::string& sql);

    TPgServer FServer;
    std::string FName;
    TPgConn FConn;
    TPgConn FAdmin; // the counters are read from the cluster's own database, outside this one
    int64_t FTransactions = 0;
};

} // namespace qvx
