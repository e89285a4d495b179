#include "reliability/ReliabilityHarness.h"

#include "infra/Codepage.h"
#include "infra/LogFile.h"
#include "support/Text.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace qvx::test {

const char* const ReadyLine = "*** Служба готова к работе ***";
const char* const ErrorPrefix = "Ошибка: ";
const char* const ReinitLine = "Выполним инициализацию повторно";
const char* const UnstampedMark = "не отмечено в базе данных";

namespace {

constexpr const char* ServiceBinary = QVX_BINARY_DIR "/quorvexsms";

double ScaleFactor() {
    const char* value = std::getenv("QVX_RELIABILITY_SCALE");
    if (value == nullptr || *value == '\0')
        return 1.0;
    const double scale = std::atof(value);
    return scale > 0 ? scale : 1.0;
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const auto& line) { return line.rfind(prefix, 0) == 0; }));
}

std::string Tail(const std::vector<std::string>& lines, size_t count) {
    std::string text;
    const size_t from = lines.size() > count ? lines.size() - count : 0;
    for (size_t i = from; i < lines.size(); ++i)
        text += "\n  | " + Cp1251ToUtf8(lines[i]);
    return text;
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace

int32_t Scaled(int32_t full, int32_t minimum) {
    return std::max(minimum, static_cast<int32_t>(full * ScaleFactor() + 0.5));
}

uint32_t CaseSeed() {
    if (const char* value = std::getenv("QVX_RELIABILITY_SEED"); value != nullptr && *value)
        return static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    return std::random_device{}();
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void PrintFigures(const std::string& line) {
    std::cout << "[figures] " << line << std::endl;
}

// --- TServiceProcess ---

TServiceProcess::TServiceProcess(const TTempDir& dir, const std::string& zone,
                                 const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> changes = {"TZ=" + zone};
    changes.insert(changes.end(), extraEnvironment.begin(), extraEnvironment.end());
    Start({.Args = {ServiceBinary, "--dir", dir.Path()},
           .Environment = ChildEnvironment(changes),
           .OutFile = dir.File("service.out"),
           .ErrFile = dir.File("service.err"),
           .Append = true});
}

int64_t TServiceProcess::RssKiB() const {
    std::ifstream status("/proc/" + std::to_string(Pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atoll(line.c_str() + 6);
    return 0;
}

// --- TNotifySocket ---

TNotifySocket::TNotifySocket(std::string path) : FPath(std::move(path)) {
    FFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (FFd < 0 || FPath.size() >= sizeof address.sun_path)
        throw std::runtime_error("cannot make the notify socket " + FPath);
    FPath.copy(address.sun_path, sizeof address.sun_path - 1);
    if (bind(FFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind the notify socket " + FPath);
}

TNotifySocket::~TNotifySocket() {
    if (FFd >= 0)
        close(FFd);
    unlink(FPath.c_str());
}

std::vector<std::string> TNotifySocket::Environment(uint64_t watchdogUsec) const {
    std::vector<std::string> variables = {"NOTIFY_SOCKET=" + FPath};
    if (watchdogUsec != 0)
        variables.push_back("WATCHDOG_USEC=" + std::to_string(watchdogUsec));
    return variables;
}

std::optional<std::string> TNotifySocket::Next(int timeoutMs) {
    pollfd ready{FFd, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) != 1)
        return std::nullopt;
    char buffer[4096];
    const ssize_t got = recv(FFd, buffer, sizeof buffer, 0);
    if (got < 0)
        return std::nullopt;
    return std::string(buffer, static_cast<size_t>(got));
}

std::optional<std::string> TNotifySocket::NextStarting(const std::string& prefix, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        const auto report = Next(static_cast<int>(left.count()));
        if (report && report->rfind(prefix, 0) == 0)
            return report;
    }
}

// --- TDeliveryLedger ---

void TDeliveryLedger::Attach(TGsmSimulator& sim) {
    sim.SetSubmittedHandler([this](const TSubmittedSms& sms) { OnSubmitted(sms); });
}

void TDeliveryLedger::OnSubmitted(const TSubmittedSms& sms) {
    bool cut = false;
    {
        std::lock_guard lock(FLock);
        FEvents.push_back({false, sms.View.Text, sms.Serial});
        ++FCounts[sms.View.Text];
        if (FCutArmed) {
            FCutArmed = false;
            FCutRequested = true;
            cut = true;
        }
    }
    FChanged.notify_all();
    // The acknowledgement is queued but not yet written: hold the simulator's thread until the
    // unplug request is surely waiting, so that it is served first.
    if (cut)
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

void TDeliveryLedger::ArmCut() {
    std::lock_guard lock(FLock);
    FCutArmed = true;
    FCutRequested = false;
}

bool TDeliveryLedger::WaitCutRequest(int timeoutMs) {
    std::unique_lock lock(FLock);
    const bool requested = FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                             [this] { return FCutRequested; });
    FCutArmed = false;
    FCutRequested = false;
    return requested;
}

void TDeliveryLedger::NoteUnplug() {
    std::lock_guard lock(FLock);
    FEvents.push_back({true, {}, 0});
}

size_t TDeliveryLedger::Total() const {
    std::lock_guard lock(FLock);
    size_t total = 0;
    for (const auto& [text, count] : FCounts)
        total += static_cast<size_t>(count);
    return total;
}

size_t TDeliveryLedger::DistinctOf(const std::set<std::string>& texts) const {
    std::lock_guard lock(FLock);
    size_t distinct = 0;
    for (const std::string& text : texts)
        distinct += FCounts.count(text);
    return distinct;
}

std::map<std::string, int32_t> TDeliveryLedger::Counts() const {
    std::lock_guard lock(FLock);
    return FCounts;
}

std::vector<std::string>
TDeliveryLedger::RepeatsWithoutCut(const TGsmSimulator& sim,
                                   std::chrono::steady_clock::time_point noiseStart,
                                   std::chrono::steady_clock::time_point noiseEnd) const {
    std::set<uint64_t> acknowledged;
    for (const TSubmittedSms& sms : sim.Submitted()) {
        const bool inNoise = sms.ReceivedAt >= noiseStart && sms.ReceivedAt <= noiseEnd;
        if (sms.Acknowledged && !inNoise)
            acknowledged.insert(sms.Serial);
    }
    std::lock_guard lock(FLock);
    std::vector<std::string> wrong;
    std::map<std::string, size_t> last; // text -> event index of its latest submission
    for (size_t i = 0; i < FEvents.size(); ++i) {
        if (FEvents[i].Unplug)
            continue;
        const auto previous = last.find(FEvents[i].Text);
        if (previous != last.end()) {
            const size_t next = previous->second + 1;
            const bool cutOff = (next < FEvents.size() && FEvents[next].Unplug) ||
                                !acknowledged.count(FEvents[previous->second].Serial);
            if (!cutOff)
                wrong.push_back(FEvents[i].Text);
        }
        last[FEvents[i].Text] = i;
    }
    return wrong;
}

int32_t TDeliveryLedger::Repeats() const {
    std::lock_guard lock(FLock);
    int32_t repeats = 0;
    for (const auto& [text, count] : FCounts)
        repeats += count - 1;
    return repeats;
}

int32_t TDeliveryLedger::SubmissionsBeforeUnplug() const {
    std::lock_guard lock(FLock);
    int32_t count = 0;
    for (size_t i = 1; i < FEvents.size(); ++i)
        count += FEvents[i].Unplug && !FEvents[i - 1].Unplug;
    return count;
}

int32_t TDeliveryLedger::Unacknowledged(const TGsmSimulator& sim) {
    int32_t count = 0;
    for (const TSubmittedSms& sms : sim.Submitted())
        count += sms.Accepted && !sms.Acknowledged;
    return count;
}

// --- TPrivateCluster ---

TPrivateCluster::TPrivateCluster() {
    // The free port is chosen before the server binds it, so another cluster started at the
    // same moment may take it first: a second and third try get a fresh folder and port.
    for (int attempt = 0; attempt < 3; ++attempt) {
        char pattern[] = "/tmp/qvx-pg-rel-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("cannot make a folder for the private cluster");
        FDir = pattern;
        std::string port;
        if (RunScript("pg_cluster_start \"$2\" >&2 && echo \"$QVX_PGPORT\"", &port)) {
            FPort = std::atoi(port.c_str());
            FRunning = true;
            return;
        }
        RunScript("pg_cluster_stop \"$2\"");
        std::error_code ignored;
        std::filesystem::remove_all(FDir, ignored);
    }
    throw std::runtime_error("cannot start a private PostgreSQL cluster");
}

TPrivateCluster::~TPrivateCluster() {
    RunScript("pg_cluster_stop \"$2\"");
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
}

TPgServer TPrivateCluster::Server() const {
    // As pg_cluster_start makes it.
    TPgServer server;
    server.Host = "127.0.0.1";
    server.Port = FPort;
    server.User = "qvx";
    server.Password = "qvx-secret";
    server.AdminDatabase = "qvx";
    return server;
}

bool TPrivateCluster::Stop(bool immediate) {
    FRunning = false;
    return RunScript(std::string("pg_as_owner \"$(pg_bin)/pg_ctl\" -D \"$2/data\" -m ") +
                     (immediate ? "immediate" : "fast") + " -w -t 60 stop >/dev/null");
}

bool TPrivateCluster::Start() {
    if (FRunning)
        return true;
    FRunning = RunScript("pg_as_owner \"$(pg_bin)/pg_ctl\" -D \"$2/data\" -l \"$2/server.log\" -w "
                         "-t 60 -o \"-c listen_addresses=127.0.0.1 -p $3 -k $2 -c fsync=off\" "
                         "start >/dev/null");
    return FRunning;
}

// The script sees the source folder as $1, the cluster folder as $2 and its port as $3: the
// values travel as arguments, never inside the script text.
bool TPrivateCluster::RunScript(const std::string& script, std::string* output) const {
    const std::string full = "set -e; source \"$1/scripts/lib/pgcluster.sh\"; " + script;
    const std::string outFile = FDir + ".out";
    const std::string errFile = FDir + ".err";
    const int code =
        RunToEnd({.Args = {"bash", "-c", full, "bash", QVX_SOURCE_DIR, FDir, std::to_string(FPort)},
                  .OutFile = outFile,
                  .ErrFile = errFile});
    if (output != nullptr)
        *output = ReadWhole(outFile);
    if (code != 0)
        std::cerr << "private cluster script failed (" << code << "): " << script << "\n"
                  << ReadWhole(errFile) << std::endl;
    std::remove(outFile.c_str());
    std::remove(errFile.c_str());
    return code == 0;
}

// --- TReliabilityTest ---

void TReliabilityTest::SetUp() {
    ASSERT_EQ(access(ServiceBinary, X_OK), 0)
        << "the program " << ServiceBinary << " is missing: build the quorvexsms target";
    FZone = ZoneWithLocalHour(12);
    FLedger.Attach(FSim);
    FSim.SetLinkPath(FDir.File("modem"));
    ASSERT_TRUE(FSim.Start()) << "the GSM simulator did not start: " << FSim.LastError();
}

void TReliabilityTest::TearDown() {
    if (FCluster)
        FCluster->Start();
    FDb.reset();
    FCluster.reset();
    FSim.Stop();
    for (const auto& sim : FMoreSims)
        sim->Stop();
}

void TReliabilityTest::UseSharedServer() {
    std::string missing;
    const auto server = TPgServer::FromEnvironment(missing);
    ASSERT_TRUE(server) << "this test needs the PostgreSQL cluster that scripts/test starts; "
                           "missing environment: "
                        << missing;
    UseServer(*server);
}

void TReliabilityTest::UsePrivateServer() {
    try {
        FCluster = std::make_unique<TPrivateCluster>();
    } catch (const std::exception& error) {
        FAIL() << error.what();
    }
    UseServer(FCluster->Server());
}

void TReliabilityTest::UseServer(const TPgServer& server) {
    try {
        FDb = std::make_unique<TPgDatabase>(server);
    } catch (const std::exception& error) {
        FAIL() << "cannot prepare a test database: " << error.what();
    }
}

void TReliabilityTest::WriteIni(const std::string& terminalLines) {
    FDir.Write("QuorvexSMS.ini", FDb->IniSection() + "[GSMTerminal]\r\nDevice=" + FSim.LinkPath() +
                                     "\r\nModemTimeout=1000\r\n" + terminalLines);
}

TGsmSimulator& TReliabilityTest::AddSimulator(const TTempDir& dir, const std::string& name) {
    auto sim = std::make_unique<TGsmSimulator>();
    FLedger.Attach(*sim);
    sim->SetLinkPath(dir.File(name));
    // A SIM of its own: the service counts each SIM's day by its IMSI.
    sim->SetImsi("25099" + std::to_string(1000000000 + FMoreSims.size() + 1));
    EXPECT_TRUE(sim->Start()) << "the GSM simulator " << name << " did not start";
    FMoreSims.push_back(std::move(sim));
    return *FMoreSims.back();
}

std::string TReliabilityTest::TerminalSection(int32_t number, const TGsmSimulator& sim,
                                              const std::string& lines) {
    return "[GSMTerminal" + (number == 1 ? std::string() : std::to_string(number)) +
           "]\r\nDevice=" + sim.LinkPath() + "\r\nModemTimeout=1000\r\n" + lines;
}

std::unique_ptr<TServiceProcess>
TReliabilityTest::StartService(const std::vector<std::string>& extraEnvironment) {
    auto service = std::make_unique<TServiceProcess>(FDir, FZone, extraEnvironment);
    EXPECT_TRUE(service->Started()) << "cannot start " << ServiceBinary;
    return service;
}

std::unique_ptr<TServiceProcess> TReliabilityTest::StartReady() {
    const size_t readyBefore = CountPrefix(Log(), ReadyLine);
    const int32_t listingsBefore = FSim.CommandCount("at+cmgl");
    auto service = StartService();
    EXPECT_TRUE(WaitForLog(ReadyLine, readyBefore + 1)) << "no ready line" << Diagnostics();
    EXPECT_TRUE(WaitUntil([&] { return FSim.CommandCount("at+cmgl") > listingsBefore; }, 30000))
        << "the terminal never reached its working loop" << Diagnostics();
    return service;
}

double TReliabilityTest::StopService(TServiceProcess& service) {
    const auto start = std::chrono::steady_clock::now();
    service.Signal(SIGTERM);
    // A stop takes about a second; the rest is for a loaded machine and sanitizer builds.
    const std::optional<int> code = service.WaitExit(5000);
    const double seconds = SecondsSince(start);
    EXPECT_TRUE(code.has_value()) << "the program must end within 5 s of SIGTERM" << Diagnostics();
    if (code) {
        EXPECT_EQ(*code, 0) << "a stopped program must exit with 0" << Diagnostics();
    }
    return seconds;
}

TSeeded TReliabilityTest::SeedMessages(int32_t first, int32_t count, const std::string& tag,
                                       const std::string& prefix) {
    const std::string last = std::to_string(first + count - 1);
    const auto rows = FDb->Query(
        "WITH a AS (INSERT INTO abonents (cellphone, name) SELECT '+" + prefix +
        "' || lpad(g::text, 7, "
        "'0'), g::text FROM generate_series(" +
        std::to_string(first) + ", " + last +
        ") g RETURNING abonentid, name::int AS n), "
        "m AS (INSERT INTO msglog (abonentid, msgtext, regdt) SELECT abonentid, CASE WHEN n % 4 "
        "= 0 THEN '" +
        U8(u8"Сообщение ") + tag + "-' || n ELSE '" + tag +
        "-' || n || ' test message' END, LOCALTIMESTAMP - interval '30 minutes' + n * interval "
        "'1 millisecond' FROM a RETURNING msgid, msgtext), "
        "d AS (INSERT INTO msgdelivery (msgid, chanid) SELECT msgid, 0 FROM m) "
        "SELECT msgid, msgtext FROM m");
    TSeeded seeded;
    for (const TPgRow& row : rows)
        seeded[std::stoi(row.at(0).value())] = row.at(1).value();
    return seeded;
}

std::set<int32_t> TReliabilityTest::StampedIds() const {
    std::set<int32_t> ids;
    for (const TPgRow& row :
         FDb->Query("SELECT msgid FROM msgdelivery WHERE chanid = 0 AND sentdt IS NOT NULL"))
        ids.insert(std::stoi(row.at(0).value()));
    return ids;
}

int64_t TReliabilityTest::UnsentCount() const {
    return std::stoll(
        FDb->Scalar("SELECT count(*) FROM msgdelivery WHERE chanid = 0 AND sentdt IS NULL")
            .value_or("-1"));
}

std::vector<int32_t> TReliabilityTest::StampedUnacknowledged(const TSeeded& seeded) const {
    std::set<std::string> acknowledged;
    std::vector<const TGsmSimulator*> sims{&FSim};
    for (const auto& sim : FMoreSims)
        sims.push_back(sim.get());
    for (const TGsmSimulator* sim : sims)
        for (const TSubmittedSms& sms : sim->Submitted())
            if (sms.Acknowledged)
                acknowledged.insert(sms.View.Text);
    std::vector<int32_t> lost;
    for (const int32_t id : StampedIds())
        if (!seeded.count(id) || !acknowledged.count(seeded.at(id)))
            lost.push_back(id);
    return lost;
}

bool TReliabilityTest::WaitAllStamped(int timeoutMs) const {
    return WaitUntil([this] { return UnsentCount() == 0; }, timeoutMs, 20);
}

std::map<std::string, int32_t> AcknowledgedTexts(const std::vector<const TGsmSimulator*>& sims) {
    std::map<std::string, int32_t> counts;
    for (const TGsmSimulator* sim : sims)
        for (const TSubmittedSms& sms : sim->Submitted())
            counts[sms.View.Text] += sms.Accepted && sms.Acknowledged ? 1 : 0;
    return counts;
}

int32_t AcknowledgedCount(const TGsmSimulator& sim) {
    int32_t count = 0;
    for (const TSubmittedSms& sms : sim.Submitted())
        count += sms.Accepted && sms.Acknowledged;
    return count;
}

bool AllAcknowledged(const TSeeded& seeded, const std::vector<const TGsmSimulator*>& sims) {
    const auto counts = AcknowledgedTexts(sims);
    return std::all_of(seeded.begin(), seeded.end(), [&](const auto& row) {
        const auto found = counts.find(row.second);
        return found != counts.end() && found->second > 0;
    });
}

std::string NotOnce(const TSeeded& seeded, const std::map<std::string, int32_t>& counts) {
    std::ostringstream wrong;
    size_t shown = 0;
    for (const auto& [id, text] : seeded) {
        const auto found = counts.find(text);
        const int32_t times = found == counts.end() ? 0 : found->second;
        if (times != 1 && shown++ < 10)
            wrong << " \"" << text << "\" x" << times;
    }
    return wrong.str();
}

std::set<std::string> TReliabilityTest::TextsOf(const TSeeded& seeded) {
    std::set<std::string> texts;
    for (const auto& [id, text] : seeded)
        texts.insert(text);
    return texts;
}

std::vector<std::string> TReliabilityTest::Log() const {
    return qvx::LogMessages(FDir.Read("QuorvexSMS.log"));
}

std::vector<std::string> TReliabilityTest::TerminalLog() const {
    return qvx::LogMessages(FDir.Read("Siemens.log"));
}

size_t TReliabilityTest::LogCountPrefix(const std::string& prefix) const {
    return CountPrefix(Log(), prefix);
}

size_t TReliabilityTest::TerminalLogCountPrefix(const std::string& prefix) const {
    return CountPrefix(TerminalLog(), prefix);
}

size_t TReliabilityTest::LogCountContaining(const std::string& part) const {
    const auto lines = Log();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
        return line.find(part) != std::string::npos;
    }));
}

int64_t TReliabilityTest::ServiceSessions(bool waitingForALock) const {
    return std::stoll(FDb->Scalar(std::string("SELECT count(*) FROM pg_stat_activity WHERE "
                                              "datname = current_database() AND "
                                              "application_name LIKE 'quorvexsms@%'") +
                                  (waitingForALock ? " AND wait_event_type = 'Lock'" : ""))
                          .value_or("-1"));
}

bool TReliabilityTest::WaitForLog(const std::string& message, size_t count, int timeoutMs) const {
    return WaitUntil([&] { return LogCountPrefix(message) >= count; }, timeoutMs, 20);
}

std::string TReliabilityTest::Diagnostics() const {
    return "\nservice log:" + Tail(Log(), 25) + "\nterminal log:" + Tail(TerminalLog(), 25) +
           "\nstderr: " + FDir.Read("service.err");
}

} // namespace qvx::test
