#include "ServiceProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

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

// The parent's environment with TZ replaced.
std::vector<std::string> ChildEnvironment(const std::string& timeZone) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "TZ=", 3) != 0 && std::strncmp(*entry, "NOTIFY_SOCKET=", 14) != 0)
            entries.emplace_back(*entry);
    entries.push_back("TZ=" + timeZone);
    return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

void TServiceProcess::Start(const std::string& exe, const std::string& dir,
                            const std::string& timeZone) {
    std::vector<std::string> args = {exe, "--dir", dir};
    std::vector<std::string> env = ChildEnvironment(timeZone);
    std::vector<char*> argv = Pointers(args);
    std::vector<char*> envp = Pointers(env);
    const std::string output = dir + "service.out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int failed = posix_spawn(&FPid, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        FPid = -1;
        throw std::runtime_error("cannot start " + exe + ": " + std::strerror(failed));
    }
}

bool TServiceProcess::Running() {
    if (FPid <= 0)
        return false;
    int status = 0;
    if (waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = -1;
        return false;
    }
    return true;
}

void TServiceProcess::Stop(uint32_t stopWaitMs) noexcept {
    if (FPid <= 0)
        return;
    kill(FPid, SIGTERM);
    int status = 0;
    for (uint32_t waitedMs = 0; waitedMs < stopWaitMs; waitedMs += 10) {
        if (waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(FPid, SIGKILL);
    waitpid(FPid, &status, 0);
    FPid = -1;
}

void TServiceProcess::Signal(int signal) const {
    if (FPid <= 0 || kill(FPid, signal) != 0)
        throw std::runtime_error("the service is not running");
}

double TServiceProcess::CpuSeconds() const {
    const std::string stat = ReadWhole("/proc/" + std::to_string(FPid) + "/stat");
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
    std::istringstream lines(ReadWhole("/proc/" + std::to_string(FPid) + "/status"));
    std::string line;
    while (std::getline(lines, line))
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stoll(line.substr(field.size() + 1));
    throw std::runtime_error("no " + field + " in /proc status");
}

std::vector<double> TServiceProcess::ThreadCpuSeconds() const {
    // Thread ids grow in the order of creation (until they wrap, which a short run never sees).
    std::map<long, double> byThread;
    const std::string tasks = "/proc/" + std::to_string(FPid) + "/task";
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

} // namespace qvx
