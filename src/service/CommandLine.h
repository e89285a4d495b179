// The command line of quorvexsms: run the service for a directory, send it a control code,
// ask it for its status, check the directory's settings, or print help or the version. Pure
// parsing, so that it can be tested without a process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvx {

constexpr const char* ApplicationTitle = "Служба \"Кворвекс SMS\"";
constexpr const char* ApplicationVersion = "1.0.0";

// User-defined control codes a service accepts.
constexpr int32_t ControlCodeFirst = 128;
constexpr int32_t ControlCodeLast = 255;

// Exit codes besides 0 (success) and 1 (the work failed).
constexpr int ExitUsage = 2;
constexpr int ExitNotRunning = 3; // --status: no service runs for the directory

enum class TCommandAction { Run, Control, Status, Check, Help, Version, Usage };

struct TCommandLine {
    TCommandAction Action = TCommandAction::Run;
    // Directory of the INI file and the logs, absolute, with its trailing '/'; empty when the
    // command line names none (DefaultDir applies).
    std::string Dir;
    int32_t ControlCode = 0;
    // --status as one JSON object.
    bool Json = false;
    // Why the command line was rejected (Action Usage), Windows-1251.
    std::string Error;
};

// Arguments without the program name.
TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The usage text, Windows-1251, ending in a line feed.
std::string UsageText();

// dir made absolute and given its trailing '/'.
std::string NormalizeDir(const std::string& dir);

// Directory of the running executable (from /proc/self/exe) with its trailing '/'; empty when
// it cannot be read.
std::string ExecutableDir();

// The directory the installed program uses when no --dir is given, set by the package build;
// empty in a build from source.
extern const char* const InstalledDir;

// The directory of a command line without --dir: exeDir when it holds QuorvexSMS.ini or when
// installedDir is empty (a build tree keeps its own folder), otherwise installedDir with its
// trailing '/'.
std::string DefaultDir(const std::string& exeDir, const std::string& installedDir);

} // namespace qvx
