// The sending pass with 10,000 pending rows, measured against the bare SQL of the same work
// (the query through libpq) in the same run, the statements that stamp the acknowledgements
// of a drain, and the memory a first pass over 1,000 and over 100,000 rows takes. Needs the
// PostgreSQL cluster of scripts/test (QVX_PG* variables); the terminal is the simulator. Prints the
// figures and the pass's ratio.
#include "gsmsim/GsmSimulator.h"
#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/WorkThread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <libpq-fe.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qvx {
namespace {

constexpr int RowCount = 10000;
constexpr int DrainCount = 500; // messages acknowledged for the stamping figure
constexpr int Rounds = 2;       // each figure is the median of 2 * Rounds runs
// The backlogs whose first passes are compared for memory.
constexpr int SmallBacklog = 1000;
constexpr int LargeBacklog = 100000;

using TClock = std::chrono::steady_clock;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        throw std::runtime_error(std::string("missing environment variable ") + name +
                                 " (start the cluster with scripts/lib/pgcluster.sh)");
    return value;
}

struct TServer {
    std::string Host = Env("QVX_PGHOST");
    std::string Port = Env("QVX_PGPORT");
    std::string User = Env("QVX_PGUSER");
    std::string Password = Env("QVX_PGPASSWORD");
    std::string AdminDatabase = Env("QVX_PGDATABASE");
};

TPgConn Connect(const TServer& server, const std::string& database) {
    const char* const keywords[] = {"host", "port", "dbname", "user", "password", nullptr};
    const char* const values[] = {server.Host.c_str(), server.Port.c_str(),     database.c_str(),
                                  server.User.c_str(), server.Password.c_str(), nullptr};
    TPgConn conn(PQconnectdbParams(keywords, values, 0));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect: " +
                                 std::string(conn ? PQerrorMessage(conn.get()) : "no memory"));
    return conn;
}

void Run(PGconn* conn, const std::string& sql) {
    const TPgResult result(PQexec(conn, sql.c_str()));
    const auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error("SQL failed: " + std::string(PQerrorMessage(conn)));
}

std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

double Ms(TClock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// Every delivery unsent again, without the dead rows of the previous run.
void Reset(PGconn* conn) {
    Run(conn, "UPDATE msgdelivery SET sentdt = NULL");
    Run(conn, "VACUUM msgdelivery");
}

// The statement the pass runs, without the service around it. The pass stamps nothing: rows
// are stamped as the terminal acknowledges their messages.
double BareSql(PGconn* conn) {
    const auto start = TClock::now();
    const Oid int4 = 23;
    const std::string ttl = "24";
    const char* ttlValue[] = {ttl.c_str()};
    const TPgResult rows(PQexecParams(conn, SqlGetSMS, 1, &int4, ttlValue, nullptr, nullptr, 0));
    if (PQresultStatus(rows.get()) != PGRES_TUPLES_OK || PQntuples(rows.get()) != RowCount)
        throw std::runtime_error("query failed");
    return Ms(TClock::now() - start);
}

// Two more turns of the worker's loop: every request posted before has been handled. (Its
// heartbeat would not do: a reload beats many times while it talks to the database.)
void WaitTurns(TWorkThread& worker) {
    const uint32_t turns = worker.Turns();
    while (worker.Turns() - turns < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The pass summaries the service log holds so far.
size_t SummaryCount() {
    size_t count = 0;
    for (const std::string& message : LogMessages(ReadFile(LogFileName())))
        count += message.rfind("Сообщений всего/отправлено: ", 0) == 0 ? 1 : 0;
    return count;
}

// One processing cycle with a sending pass, from the request until the pass has written its
// summary. A reload first empties the
// terminal's queue, so that the pass hands every row over again.
double Pass(TWorkThread& worker) {
    worker.PostCommand(CommandReload);
    WaitTurns(worker);
    while (worker.StartResult() != 1 || worker.Counters().TerminalState.load() != 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const size_t summaries = SummaryCount();
    const auto start = TClock::now();
    worker.RequestSendNow();
    worker.PostCommand(CommandProcess);
    // Reading the log takes time of its own: it is looked at only every 10 ms.
    while (SummaryCount() == summaries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Ms(TClock::now() - start);
}

// DrainCount messages go out through an instant terminal; a statement-level trigger counts
// the UPDATE statements that stamp them.
std::pair<int64_t, int64_t> Drain(PGconn* db, TGsmSimulator& sim, TWorkThread& worker) {
    Run(db, "DELETE FROM msgdelivery WHERE msgid > " + std::to_string(DrainCount));
    Run(db, "UPDATE msgdelivery SET sentdt = NULL");
    Run(db, "CREATE TABLE stamp_statements (n bigint); INSERT INTO stamp_statements VALUES (0); "
            "CREATE FUNCTION count_stamp() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN UPDATE "
            "stamp_statements SET n = n + 1; RETURN NULL; END $$; CREATE TRIGGER count_stamp "
            "AFTER UPDATE ON msgdelivery FOR EACH STATEMENT EXECUTE FUNCTION count_stamp()");
    sim.ClearSubmitted();
    sim.SetSubmitReply(TSubmitReply::Ok);
    const int64_t before = worker.Counters().Acknowledged.load();
    // A pass the worker runs by itself after the reload (the last round left rows unread) may
    // hand the rows over before this one, which then finds none and writes no summary: the
    // drain waits for the stamps, not for a summary.
    worker.PostCommand(CommandReload);
    WaitTurns(worker);
    while (worker.StartResult() != 1 || worker.Counters().TerminalState.load() != 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    worker.RequestSendNow();
    worker.PostCommand(CommandProcess);
    const auto start = TClock::now();
    for (;;) {
        const TPgResult left(PQexec(db, "SELECT count(*) FROM msgdelivery WHERE sentdt IS NULL"));
        if (PQresultStatus(left.get()) == PGRES_TUPLES_OK &&
            std::atoi(PQgetvalue(left.get(), 0, 0)) == 0)
            break;
        if (TClock::now() - start > std::chrono::seconds(120))
            throw std::runtime_error("the drain did not end");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const TPgResult count(PQexec(db, "SELECT n FROM stamp_statements"));
    return {worker.Counters().Acknowledged.load() - before,
            std::atoll(PQgetvalue(count.get(), 0, 0))};
}

// A POSIX TZ value under which the local hour is now 12, so the pass runs at any time of day.
std::string NoonZone() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    int offset = ((12 - utc.tm_hour) % 24 + 24) % 24;
    if (offset > 12)
        offset -= 24;
    return "QVX" + std::string(offset > 0 ? "-" : "+") + std::to_string(std::abs(offset));
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A fresh database of the service's schema with rows pending deliveries, one per subscriber.
void CreateDatabase(const TServer& server, const std::string& name, int rows) {
    Run(Connect(server, server.AdminDatabase).get(), "CREATE DATABASE " + name);
    const TPgConn db = Connect(server, name);
    Run(db.get(), ReadFile(std::string(QVX_SOURCE_DIR) + "/db/schema.sql"));
    Run(db.get(), "INSERT INTO abonents (cellphone, name) SELECT '+7916' || lpad(i::text, 7, "
                  "'0'), 'A' FROM generate_series(1, " +
                      std::to_string(rows) +
                      ") i; INSERT INTO msglog (abonentid, msgtext, regdt) SELECT abonentid, "
                      "'Message ' || abonentid, LOCALTIMESTAMP - interval '1 second' * "
                      "abonentid / 10 FROM abonents; INSERT INTO msgdelivery (msgid, chanid) "
                      "SELECT msgid, 0 FROM msglog");
}

// Every submission waits for an acknowledgement that never comes, so nothing is stamped and
// every round finds all rows pending.
void StartSimulator(TGsmSimulator& sim, const std::string& dir) {
    sim.SetSubmitReply(TSubmitReply::NoFinalAnswer);
    sim.SetLinkPath(dir + "modem");
    if (!sim.Start())
        throw std::runtime_error("simulator: " + sim.LastError());
}

// The worker on the database name, started with its terminal working.
void StartWorker(TWorkThread& worker, const TServer& server, const std::string& dir,
                 const std::string& name) {
    SetExeDir(dir);
    SetLogFileName(dir + "QuorvexSMS.log");
    std::ofstream(dir + "QuorvexSMS.ini")
        << "[Database]\nHost=" << server.Host << "\nPort=" << server.Port << "\nDBName=" << name
        << "\nUserName=" << server.User << "\nPassword=" << server.Password
        << "\n[GSMTerminal]\nDevice=" << dir << "modem\n";
    worker.Start();
    while (worker.StartResult() == -1 ||
           (worker.StartResult() == 1 && worker.Counters().TerminalState.load() != 3))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (worker.StartResult() != 1)
        throw std::runtime_error("the worker did not start; see " + dir + "QuorvexSMS.log");
}

// A field of /proc/self/status in KiB.
int64_t StatusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::atoll(line.c_str() + field.size() + 1);
    return -1;
}

// How far the process's resident memory rises above its level before a first pass over rows
// pending deliveries: the peak is reset (clear_refs 5) just before the pass.
int64_t PassPeakKiB(const TServer& server, int rows) {
    const std::string name = "qvx_bench_mem_" + std::to_string(getpid());
    CreateDatabase(server, name, rows);
    char dirPattern[] = "/tmp/qvx-bench-XXXXXX";
    const std::string dir = std::string(mkdtemp(dirPattern)) + "/";
    int64_t peak = 0;
    {
        TGsmSimulator sim;
        StartSimulator(sim, dir);
        TConfig config(dir);
        TWorkThread worker(config);
        StartWorker(worker, server, dir, name);
        const int64_t before = StatusKiB("VmRSS");
        std::ofstream("/proc/self/clear_refs") << "5";
        Pass(worker);
        peak = StatusKiB("VmHWM") - before;
        worker.Terminate();
        worker.WaitFor();
    }
    Run(Connect(server, server.AdminDatabase).get(), "DROP DATABASE " + name + " WITH (FORCE)");
    std::filesystem::remove_all(dir);
    return peak;
}

int RunBench() {
    setenv("TZ", NoonZone().c_str(), 1);
    tzset();
    const TServer server;
    const int64_t smallPeak = PassPeakKiB(server, SmallBacklog);
    const int64_t largePeak = PassPeakKiB(server, LargeBacklog);
    const std::string name = "qvx_bench_" + std::to_string(getpid());
    CreateDatabase(server, name, RowCount);
    char dirPattern[] = "/tmp/qvx-bench-XXXXXX";
    const std::string dir = std::string(mkdtemp(dirPattern)) + "/";
    double passMs = 0, bareMs = 0;
    int64_t acknowledged = 0, statements = 0;
    {
        const TPgConn db = Connect(server, name);
        TGsmSimulator sim;
        StartSimulator(sim, dir);
        TConfig config(dir);
        TWorkThread worker(config);
        StartWorker(worker, server, dir, name);

        std::vector<double> passes, bares;
        // The two alternate in which goes first, so that neither always meets a table just
        // bloated by the other.
        for (int round = 0; round < 2 * Rounds; ++round) {
            Reset(db.get());
            if (round % 2 == 0)
                bares.push_back(BareSql(db.get()));
            else
                passes.push_back(Pass(worker));
            Reset(db.get());
            if (round % 2 == 0)
                passes.push_back(Pass(worker));
            else
                bares.push_back(BareSql(db.get()));
        }
        passMs = Median(passes);
        bareMs = Median(bares);
        // Printed at once: the drain below needs more of the server (PL/pgSQL).
        std::printf("sending pass, %d rows:           %8.1f ms (median of %d)\n", RowCount, passMs,
                    2 * Rounds);
        std::printf("bare SQL (the query):             %8.1f ms (median of %d)\n", bareMs,
                    2 * Rounds);
        std::printf("ratio pass / bare SQL:             %8.2f (target at most 1.5)\n",
                    passMs / bareMs);
        std::fflush(stdout);
        std::tie(acknowledged, statements) = Drain(db.get(), sim, worker);
        worker.Terminate();
        worker.WaitFor();
        Run(Connect(server, server.AdminDatabase).get(), "DROP DATABASE " + name + " WITH (FORCE)");
    }
    std::filesystem::remove_all(dir);
    std::printf("stamping: %lld acknowledgements in %lld statements\n",
                static_cast<long long>(acknowledged), static_cast<long long>(statements));
    std::printf("memory of a first pass, %d rows:   %8lld KiB above the idle worker\n",
                SmallBacklog, static_cast<long long>(smallPeak));
    std::printf("memory of a first pass, %d rows: %8lld KiB (target: within a few MB)\n",
                LargeBacklog, static_cast<long long>(largePeak));
    return 0;
}

} // namespace
} // namespace qvx

int main() {
    try {
        return qvx::RunBench();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "delivery_bench: %s\n", error.what());
        return 1;
    }
}
