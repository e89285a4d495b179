// TChildProcess: a program run as a child by the tests and the benchmarks, with its standard
// streams sent to files or pipes and the signal mask of the parent's thread cleared, so that it
// receives SIGTERM and SIGHUP like a program started from a shell. A child that still runs when
// its owner goes is killed and reaped. Used by the thread that owns it.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qvx::test {

struct TChildSetup {
    // Args[0] is the program: a path, or a name looked up on PATH.
    std::vector<std::string> Args{};
    // The child's whole environment (see ChildEnvironment); empty: this process's own.
    std::vector<std::string> Environment{};
    // Standard output and standard error into files, created and emptied unless Append; an
    // empty name leaves the stream as it is, and ErrFile equal to OutFile shares the file.
    std::string OutFile{};
    std::string ErrFile{};
    bool Append = false;
    // Standard input from a descriptor, and standard output and error into one (the child's
    // ends of pipes); -1 leaves them.
    int InFd = -1;
    int OutFd = -1;
};

class TChildProcess {
public:
    TChildProcess() = default;
    // Starts the child at once; Started() tells whether it runs.
    explicit TChildProcess(const TChildSetup& setup) { Start(setup); }
    virtual ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // 0, or the error number of a child that could not be started. Refused (EBUSY) while the
    // last child has not been reaped.
    int Start(const TChildSetup& setup);
    bool Started() const { return FPid > 0; }
    pid_t Pid() const { return FPid; }
    // False when there is no running child to receive it.
    bool Signal(int signal) const;
    // The exit code (128 + the signal for a child killed by one), or nullopt while the child
    // still runs after timeoutMs; a negative timeout waits for the end.
    std::optional<int> WaitExit(int timeoutMs);
    bool Running() { return Started() && !WaitExit(0); }
    // True once the child has been reaped after a signal ended it.
    bool Killed() const { return FKilled; }

private:
    pid_t FPid = -1;
    std::optional<int> FExit;
    bool FKilled = false;
};

// Runs a child to its end: its exit code, or -1 when it could not be started or was killed.
int RunToEnd(const TChildSetup& setup);

// This process's environment with changes applied in order: "NAME=value" sets a variable, a
// bare "NAME" removes it.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& changes);

} // namespace qvx::test
