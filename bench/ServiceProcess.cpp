#include "ServiceProcess.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace qvx {

namespace {

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

void TServiceProcess::Start(const std::string& exe, const std::string& dir,
                            const std::string& timeZone) {
    const int failed =
        FChild.Start({.Args = {exe, "--dir", dir},
                      .Environment = test::ChildEnvironment({"TZ=" + timeZone, "NOTIFY_SOCKET"}),
                      .OutFile = dir + "service.out",
                      .ErrFile = dir + "service.out"});
    if (failed != 0)
        throw std::runtime_error("cannot start " + exe + ": " + std::strerror(failed));
}

bool TServiceProcess::Running() {
    return FChild.Running();
}

void TServiceProcess::Stop(uint32_t stopWaitMs) noexcept {
    if (!FChild.Running())
        return;
    FChild.Signal(SIGTERM);
    if (!FChild.WaitExit(static_cast<int>(stopWaitMs))) {
        FChild.Signal(SIGKILL);
        FChild.WaitExit(-1);
    }
}

void TServiceProcess::Signal(int signal) const {
    if (!FChild.Signal(signal))
        throw std::runtime_error("the service is not running");
}

double TServiceProcess::CpuSeconds() const {
    const std::string stat = ReadWhole("/proc/" + std::to_string(Pid()) + "/stat");
    // The command name in brackets may hold blanks; the fields count from after it.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        throw std::runtime_error("unexpected /proc stat line");
    std::istringstream fields(stat.substr(close + 2));
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    std::string skipped;
    for (int field = 3; field < 14; ++field)
        fields >> skipped;
    unsigned long long userTicks = 0, systemTicks = 0;
    fields >> userTicks >> systemTicks;
    if (!fields)
        throw std::runtime_error("unexpected /proc stat line");
    return double(userTicks + systemTicks) / double(sysconf(_SC_CLK_TCK));
}

int64_t TServiceProcess::StatusKb(const std::string& field) const {
    std::istringstream lines(ReadWhole("/proc/" + std::to_string(Pid()) + "/status"));
    std::string line;
    while (std::getline(lines, line))
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stoll(line.substr(field.size() + 1));
    throw std::runtime_error("no " + field + " in /proc status");
}

std::vector<double> TServiceProcess::ThreadCpuSeconds() const {
    // Thread ids grow in the order of creation (until they wrap, which a short run never sees).
    std::map<long, double> byThread;
    const std::string tasks = "/proc/" + std::to_string(Pid()) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(tasks)) {
        std::istringstream schedstat(ReadWhole(entry.path().string() + "/schedstat"));
        unsigned long long runNs = 0;
        if (schedstat >> runNs)
            byThread[std::stol(entry.path().filename().string())] = double(runNs) / 1e9;
    }
    std::vector<double> seconds;
    for (const auto& [thread, cpu] : byThread)
        seconds.push_back(cpu);
    return seconds;
}

std::string NoonZone() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    int offset = ((12 - utc.tm_hour) % 24 + 24) % 24;
    if (offset > 12)
        offset -= 24;
    return "QVX" + std::string(offset > 0 ? "-" : "+") + std::to_string(std::abs(offset));
}

} // namespace qvx
