// What quorvexsms does with its command line: runs the service in the foreground, sends a
// control code to a running one or shows its status, checks a directory's settings, or prints help
// or the version. Called by main() on its only thread, after every asynchronous signal has been
// blocked.
#pragma once

#include <cstdio>
#include <string>

namespace qvx {

// The process's exit code: 0 success, 1 the work or the check failed, 2 a wrong command line,
// 3 no service runs for the directory (--status).
int RunApplication(int argc, char** argv);

// Writes Windows-1251 text to a terminal stream as UTF-8.
void PrintText(std::FILE* stream, const std::string& text);

} // namespace qvx
