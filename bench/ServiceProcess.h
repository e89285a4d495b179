// TServiceProcess: the real quorvexsms program started as a child for the benchmarks, with
// what the kernel reports about it: CPU time from /proc/PID/stat, resident memory from
// /proc/PID/status. Used by the benchmark's main thread only.
#pragma once

#include "support/ChildProcess.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qvx {

// A POSIX TZ value under which the local hour is now 12, inside the service's sending window.
std::string NoonZone();

class TServiceProcess {
public:
    TServiceProcess() = default;
    ~TServiceProcess() { Stop(); }
    TServiceProcess(const TServiceProcess&) = delete;
    TServiceProcess& operator=(const TServiceProcess&) = delete;

    // Runs `exe --dir dir` with TZ set to timeZone; its output goes to dir + "service.out".
    // Throws std::runtime_error when the program cannot be started.
    void Start(const std::string& exe, const std::string& dir, const std::string& timeZone);
    // SIGTERM, then SIGKILL when it has not ended within stopWaitMs; safe to call twice.
    void Stop(uint32_t stopWaitMs = 15000) noexcept;
    bool Running();
    void Signal(int signal) const;
    pid_t Pid() const { return FChild.Pid(); }

    // User plus system CPU time of all its threads so far, in seconds.
    double CpuSeconds() const;
    // A line of /proc/PID/status in kB (VmRSS: resident now, VmHWM: the peak, RssAnon: the
    // part that is the process's own rather than pages of shared libraries).
    int64_t StatusKb(const std::string& field) const;
    // CPU time of each thread in seconds, in the order the threads were created, from the
    // nanosecond counters of /proc/PID/task/TID/schedstat.
    std::vector<double> ThreadCpuSeconds() const;

private:
    test::TChildProcess FChild;
};

} // namespace qvx
