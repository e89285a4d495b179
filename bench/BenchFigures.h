// How the benchmarks that run the service report: one table row per figure on stdout
// ("| figure | value | target | verdict |"), progress on stderr under the program's name, and
// the shortened runs QVX_BENCH_QUICK=1 asks for. Used by the benchmark's main thread.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace qvx {

using TBenchClock = std::chrono::steady_clock;

double Seconds(TBenchClock::duration duration);
// One number put into a printf format, e.g. Format("%.2f messages/s", rate).
std::string Format(const char* format, double value);
void Row(const std::string& figure, const std::string& value, const std::string& target, bool met);
// A figure that explains another one and has no target of its own.
void InfoRow(const std::string& figure, const std::string& value);
void Progress(const std::string& text);
// QVX_BENCH_QUICK=1: every run shortened, for trying the benchmark out.
bool QuickRun();

// Runs the benchmark with the program's arguments; an exception ends it with its message on
// stderr and exit code 1.
int BenchMain(int argc, char** argv, int (*run)(const std::vector<std::string>& args));

} // namespace qvx
