#include "support/ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace qvx::test {

namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The spawn's file actions and attributes, released when it is done.
struct TSpawnPlan {
    posix_spawn_file_actions_t Files;
    posix_spawnattr_t Attr;

    explicit TSpawnPlan(const TChildSetup& setup) {
        posix_spawn_file_actions_init(&Files);
        posix_spawnattr_init(&Attr);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&Attr, &none);
        posix_spawnattr_setflags(&Attr, POSIX_SPAWN_SETSIGMASK);
        if (setup.InFd >= 0)
            posix_spawn_file_actions_adddup2(&Files, setup.InFd, 0);
        if (setup.OutFd >= 0) {
            posix_spawn_file_actions_adddup2(&Files, setup.OutFd, 1);
            posix_spawn_file_actions_adddup2(&Files, setup.OutFd, 2);
        }
        const int flags = O_WRONLY | O_CREAT | (setup.Append ? O_APPEND : O_TRUNC);
        if (!setup.OutFile.empty())
            posix_spawn_file_actions_addopen(&Files, 1, setup.OutFile.c_str(), flags, 0644);
        if (!setup.ErrFile.empty() && setup.ErrFile == setup.OutFile)
            posix_spawn_file_actions_adddup2(&Files, 1, 2);
        else if (!setup.ErrFile.empty())
            posix_spawn_file_actions_addopen(&Files, 2, setup.ErrFile.c_str(), flags, 0644);
    }
    ~TSpawnPlan() {
        posix_spawnattr_destroy(&Attr);
        posix_spawn_file_actions_destroy(&Files);
    }
    TSpawnPlan(const TSpawnPlan&) = delete;
    TSpawnPlan& operator=(const TSpawnPlan&) = delete;
};

} // namespace

TChildProcess::~TChildProcess() {
    if (FPid > 0 && !FExit) {
        kill(FPid, SIGKILL);
        WaitExit(-1);
    }
}

int TChildProcess::Start(const TChildSetup& setup) {
    if ((FPid > 0 && !FExit) || setup.Args.empty())
        return setup.Args.empty() ? EINVAL : EBUSY;
    std::vector<std::string> args = setup.Args;
    std::vector<std::string> env = setup.Environment;
    const std::vector<char*> argv = Pointers(args);
    const std::vector<char*> envp = Pointers(env);
    const TSpawnPlan plan(setup);
    FExit.reset();
    FKilled = false;
    const int failed = posix_spawnp(&FPid, argv[0], &plan.Files, &plan.Attr, argv.data(),
                                    env.empty() ? environ : envp.data());
    if (failed != 0)
        FPid = -1;
    return failed;
}

bool TChildProcess::Signal(int signal) const {
    return FPid > 0 && !FExit && kill(FPid, signal) == 0;
}

std::optional<int> TChildProcess::WaitExit(int timeoutMs) {
    using TClock = std::chrono::steady_clock;
    const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    while (FPid > 0 && !FExit) {
        int status = 0;
        const pid_t done = waitpid(FPid, &status, timeoutMs < 0 ? 0 : WNOHANG);
        if (done == FPid) {
            FKilled = WIFSIGNALED(status);
            FExit = FKilled ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        } else if (done < 0 && errno != EINTR)
            FExit = -1; // not our child any more: nothing left to wait for
        else if (done == 0 && TClock::now() >= deadline)
            break;
        else if (done == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return FExit;
}

int RunToEnd(const TChildSetup& setup) {
    TChildProcess child;
    if (child.Start(setup) != 0)
        return -1;
    const int code = child.WaitExit(-1).value_or(-1);
    return child.Killed() ? -1 : code;
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& changes) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
    for (const std::string& change : changes) {
        const std::string name = change.substr(0, change.find('='));
        std::erase_if(entries, [&](const std::string& entry) {
            return entry.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (change.find('=') != std::string::npos)
            entries.push_back(change);
    }
    return entries;
}

} // namespace qvx::test
