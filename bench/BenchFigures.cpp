#include "BenchFigures.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace qvx {

double Seconds(TBenchClock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void Row(const std::string& figure, const std::string& value, const std::string& target, bool met) {
    std::printf("| %s | %s | %s | %s |\n", figure.c_str(), value.c_str(), target.c_str(),
                met ? "met" : "MISSED");
    std::fflush(stdout);
}

void InfoRow(const std::string& figure, const std::string& value) {
    std::printf("| %s | %s | - | - |\n", figure.c_str(), value.c_str());
    std::fflush(stdout);
}

void Progress(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text.c_str());
}

bool QuickRun() {
    const char* quick = std::getenv("QVX_BENCH_QUICK");
    return quick != nullptr && std::string(quick) == "1";
}

int BenchMain(int argc, char** argv, int (*run)(const std::vector<std::string>& args)) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        Progress(error.what());
        return 1;
    }
}

} // namespace qvx
