// Fault injection around the real quorvexsms program: the program runs in a temporary folder
// with its INI file and logs, its terminal is the GSM simulator behind a link, and its database
// a fresh one on a PostgreSQL cluster. The ledger counts what the simulator received per text,
// so that a lost or repeated message shows. Figures go to stdout with the prefix "[figures]".
#pragma once

#include "gsmsim/GsmSimulator.h"
#include "support/ChildProcess.h"
#include "support/PgFixture.h"
#include "support/TempDir.h"
#include "support/Waiting.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qvx::test {

// Counts are multiplied by QVX_RELIABILITY_SCALE (default 1; scripts/test lowers it for the
// sanitizer builds); never below minimum.
int32_t Scaled(int32_t full, int32_t minimum);
// The grace a host waits after a new session when another shares the database: the wait for a
// part's answer, ModemTimeout (1000 in these tests), the stamp's retry and a heartbeat.
constexpr int HostsGraceMs = 30000 + 1000 + 5000 + 10000;
// The sanitizer builds run scaled down; cases that wait out the program's own fixed timeouts
// (the hosts' grace, the wait for an answer, the wait for a late one) run in the plain one only.
inline bool ScaledDown() {
    return Scaled(100, 1) < 100;
}
// The seed of a case: QVX_RELIABILITY_SEED when set, else a fresh one; printed by the caller.
uint32_t CaseSeed();
double SecondsSince(std::chrono::steady_clock::time_point start);
// One line of figures on stdout, flushed at once.
void PrintFigures(const std::string& line);

// One run of quorvexsms --dir DIR, with TZ set so that the daytime window is open and the
// variables of extraEnvironment ("NAME=value") added. Killed if the test ends while it still
// runs.
class TServiceProcess : public TChildProcess {
public:
    TServiceProcess(const TTempDir& dir, const std::string& zone,
                    const std::vector<std::string>& extraEnvironment = {});
    // Resident set size in KiB from /proc; 0 when unknown.
    int64_t RssKiB() const;
};

// The service manager's end of the notify socket: its path goes to the program as NOTIFY_SOCKET,
// and the test reads what the program reports (READY=1, STATUS=..., WATCHDOG=1, ...).
class TNotifySocket {
public:
    explicit TNotifySocket(std::string path); // throws std::runtime_error
    ~TNotifySocket();
    TNotifySocket(const TNotifySocket&) = delete;
    TNotifySocket& operator=(const TNotifySocket&) = delete;

    // NOTIFY_SOCKET=path and, unless 0, WATCHDOG_USEC for the program (WATCHDOG_PID is left
    // out: any sender is then accepted).
    std::vector<std::string> Environment(uint64_t watchdogUsec) const;
    // The next report within timeoutMs, or nullopt.
    std::optional<std::string> Next(int timeoutMs);
    // The next report that starts with prefix; the others are skipped.
    std::optional<std::string> NextStarting(const std::string& prefix, int timeoutMs);

private:
    std::string FPath;
    int FFd = -1;
};

// What the simulator received, per text, in order of arrival, with the unplugs in between.
class TDeliveryLedger {
public:
    void Attach(TGsmSimulator& sim);
    // The next submission asks the test to pull the cable before its acknowledgement goes
    // out: the handler holds the simulator's thread a moment so that the unplug comes first.
    void ArmCut();
    bool WaitCutRequest(int timeoutMs);
    void NoteUnplug();

    size_t Total() const;
    size_t DistinctOf(const std::set<std::string>& texts) const;
    std::map<std::string, int32_t> Counts() const;
    // Texts sent again although the previous copy was acknowledged on the line and was not
    // the last submission before an unplug (which may cut off an acknowledgement that was
    // written but not yet read). sim gives the final acknowledgement marks. A copy the
    // simulator received between noiseStart and noiseEnd counts as cut off too: a terminal
    // that floods the line can bury its acknowledgement deeper than any answer is read.
    std::vector<std::string>
    RepeatsWithoutCut(const TGsmSimulator& sim,
                      std::chrono::steady_clock::time_point noiseStart = {},
                      std::chrono::steady_clock::time_point noiseEnd = {}) const;
    int32_t Repeats() const;
    int32_t SubmissionsBeforeUnplug() const;
    // Submissions the simulator took whose acknowledgement never went out whole.
    static int32_t Unacknowledged(const TGsmSimulator& sim);

private:
    struct TEvent {
        bool Unplug = false;
        std::string Text;
        uint64_t Serial = 0;
    };
    void OnSubmitted(const TSubmittedSms& sms);

    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<TEvent> FEvents;
    std::map<std::string, int32_t> FCounts;
    bool FCutArmed = false;
    bool FCutRequested = false;
};

// Messages registered for delivery: text (UTF-8) by msgid.
using TSeeded = std::map<int32_t, std::string>;

// What several simulated terminals acknowledged (+CMGS and OK gone out whole): how often each
// text, how many in all on one, whether every seeded text at least once, and the seeded texts
// not acknowledged exactly once ("text xN", the first ten).
std::map<std::string, int32_t> AcknowledgedTexts(const std::vector<const TGsmSimulator*>& sims);
int32_t AcknowledgedCount(const TGsmSimulator& sim);
bool AllAcknowledged(const TSeeded& seeded, const std::vector<const TGsmSimulator*>& sims);
std::string NotOnce(const TSeeded& seeded, const std::map<std::string, int32_t>& counts);

// A PostgreSQL cluster of the test's own, which it may stop and start: made with the
// functions of scripts/lib/pgcluster.sh.
class TPrivateCluster {
public:
    TPrivateCluster(); // throws std::runtime_error when the cluster cannot be made
    ~TPrivateCluster();
    TPrivateCluster(const TPrivateCluster&) = delete;
    TPrivateCluster& operator=(const TPrivateCluster&) = delete;

    TPgServer Server() const;
    // immediate: as a crash (no checkpoint, recovery at the next start).
    bool Stop(bool immediate);
    bool Start(); // true at once when it runs

private:
    bool RunScript(const std::string& script, std::string* output = nullptr) const;

    std::string FDir;
    int32_t FPort = 0;
    bool FRunning = false;
};

class TReliabilityTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A fresh database on the shared cluster, or on a cluster of the test's own (FCluster) that
    // it may stop and start; TearDown starts it again to drop the database, then removes it.
    void UseSharedServer();
    void UsePrivateServer();
    void UseServer(const TPgServer& server);
    // [GSMTerminal] with FSim's link, ModemTimeout 1000 and terminalLines (which may add the
    // sections of further terminals).
    void WriteIni(const std::string& terminalLines = "");
    // A further simulated terminal behind the link dir/name, started, counted by the ledger
    // and stopped with the test.
    TGsmSimulator& AddSimulator(const TTempDir& dir, const std::string& name);
    // "[GSMTerminal<number>]" (number 1: "[GSMTerminal]") with sim's link, ModemTimeout 1000
    // and lines.
    static std::string TerminalSection(int32_t number, const TGsmSimulator& sim,
                                       const std::string& lines = "");
    std::unique_ptr<TServiceProcess>
    StartService(const std::vector<std::string>& extraEnvironment = {});
    // Starts the program and waits for its ready line and the first listing of its terminal.
    std::unique_ptr<TServiceProcess> StartReady();
    // Sends SIGTERM; expects the end within 5 s with exit code 0; returns the seconds taken.
    double StopService(TServiceProcess& service);

    // count messages numbered from first, to "+" prefix and seven digits; every fourth is
    // Russian (UCS2 on the air).
    TSeeded SeedMessages(int32_t first, int32_t count, const std::string& tag,
                         const std::string& prefix = "7916");
    // Messages whose delivery row says sent.
    std::set<int32_t> StampedIds() const;
    int64_t UnsentCount() const;
    // Lost messages: stamped as sent, but no simulator acknowledged them.
    std::vector<int32_t> StampedUnacknowledged(const TSeeded& seeded) const;
    // Rows are stamped a moment after their acknowledgement: waits until none is unsent.
    bool WaitAllStamped(int timeoutMs = 10000) const;
    static std::set<std::string> TextsOf(const TSeeded& seeded);

    // Service log messages without their stamps (cp1251); the terminal log likewise.
    std::vector<std::string> Log() const;
    std::vector<std::string> TerminalLog() const;
    size_t LogCountPrefix(const std::string& prefix) const;
    size_t TerminalLogCountPrefix(const std::string& prefix) const;
    size_t LogCountContaining(const std::string& part) const;
    // Sessions of the program on its database, all or those waiting for a lock.
    int64_t ServiceSessions(bool waitingForALock = false) const;
    bool WaitForLog(const std::string& message, size_t count = 1, int timeoutMs = 30000) const;
    // The last lines of both logs and the program's stderr, for failure messages.
    std::string Diagnostics() const;

    TTempDir FDir;
    std::unique_ptr<TPrivateCluster> FCluster;
    std::unique_ptr<TPgDatabase> FDb;
    TGsmSimulator FSim;
    TDeliveryLedger FLedger;
    std::string FZone;
    // Declared after the ledger, whose handler they call: they stop first.
    std::vector<std::unique_ptr<TGsmSimulator>> FMoreSims;
};

// Texts of the service log, as the program writes them (cp1251 literals).
extern const char* const ReadyLine;
extern const char* const ErrorPrefix;
extern const char* const ReinitLine;
extern const char* const UnstampedMark; // in the line of an acknowledged id a stop left unstamped

} // namespace qvx::test
