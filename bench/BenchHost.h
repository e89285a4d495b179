// TBenchHost: one quorvexsms program for the benchmarks, started in a fresh folder with its
// own simulated terminals (in-process TGsmSimulator, one pty each, in the sections
// [GSMTerminal], [GSMTerminal2] ...) against a database of the local cluster, under a time zone
// that keeps the sending window open. Used by the benchmark's main thread.
#pragma once

#include "BenchDatabase.h"
#include "ServiceProcess.h"
#include "gsmsim/GsmSimulator.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qvx {

// What every run of a benchmark shares: the server, the program and schema of this build.
struct TBenchEnv {
    TBenchEnv(); // from the QVX_PG* variables; throws std::runtime_error when one is missing

    TPgServer Server;
    std::string ServiceExe;
    std::string SchemaFile;
    std::string TimeZone; // the local hour is noon
    int32_t RunCount = 0;

    // A fresh database for the next run, named prefix_PID_RUN.
    std::unique_ptr<TBenchDatabase> NewDatabase(const std::string& prefix);
};

class TBenchHost {
public:
    // Starts one simulator per terminal, each answering every command answerDelayMs late, and
    // the program in a new folder /tmp/<folderPrefix>-XXXXXX, then waits until each terminal
    // has reached its working loop. Throws std::runtime_error when one does not.
    TBenchHost(const TBenchEnv& env, const std::string& database, int32_t terminals,
               uint32_t answerDelayMs, const std::string& folderPrefix);
    ~TBenchHost(); // stops the program, then the simulators, and removes the folder
    TBenchHost(const TBenchHost&) = delete;
    TBenchHost& operator=(const TBenchHost&) = delete;

    TServiceProcess& Service() { return FService; }
    const std::vector<std::unique_ptr<TGsmSimulator>>& Sims() const { return FSims; }
    // Submissions all its terminals have recorded so far.
    size_t Submitted() const;
    // Whether the program's status says it still lets a grace pass before it claims messages
    // (after its session was made while another host shares the database).
    bool InGrace() const;

private:
    void WriteIni(const TBenchEnv& env, const std::string& database) const;

    std::string FExe;
    std::string FDir;
    std::vector<std::unique_ptr<TGsmSimulator>> FSims;
    TServiceProcess FService;
};

} // namespace qvx
