#include "service/Application.h"

#include "infra/Codepage.h"
#include "service/Check.h"
#include "service/CommandLine.h"
#include "service/ControlChannel.h"
#include "service/FolderOwner.h"
#include "service/LogTail.h"
#include "service/Printable.h"
#include "service/QuorvexSMSSvc.h"
#include "service/ServiceHost.h"
#include "service/StatusReport.h"
#include "service/StatusWire.h"
#include "service/SystemdNotify.h"

#include <csignal>
#include <optional>
#include <pthread.h>

namespace qvx {

namespace {

std::string TitleLine() {
    return std::string(ApplicationTitle) + " " + ApplicationVersion + "\n";
}

int RunService(const std::string& dir) {
    TQuorvexSMSSvc service(dir);
    TSystemdNotify notify;
    TServiceHost host(service, dir, notify);
    const int exitCode = host.Run();
    if (exitCode != 0)
        PrintText(stderr, "quorvexsms: " + Printable(host.FLastError) + "\n");
    return exitCode;
}

int SendControl(const std::string& dir, int32_t code) {
    std::string error;
    if (SendControlCode(dir, code, error) == TControlResult::Handled)
        return 0;
    PrintText(stderr, "quorvexsms: " + Printable(error) + "\n");
    return 1;
}

// The service answers with its own state; the last error of each log is read here, from the
// end of the files, so that the service's answer stays small.
int ShowStatus(const std::string& dir, bool json) {
    std::string reply;
    std::string error;
    const TControlResult result = RequestStatus(dir, reply, error);
    std::optional<TWorkerStatus> status;
    if (result == TControlResult::Handled) {
        status = DecodeStatus(reply);
        if (!status)
            error = "служба прислала неразборчивый ответ";
    }
    if (!status) {
        PrintText(stderr, "quorvexsms: " + Printable(error) + "\n");
        return result == TControlResult::NotRunning ? ExitNotRunning : 1;
    }
    TLogErrors logs{
        LastErrorLineOf(dir + "QuorvexSMS.log"), LastErrorLineOf(dir + "Siemens.log"), {}};
    for (size_t i = 0; i < status->Terminals.size(); ++i) {
        const std::string log = TerminalLogName(*status, i);
        logs.Terminals.push_back(i == 0        ? logs.Terminal
                                 : log.empty() ? std::string()
                                               : LastErrorLineOf(dir + log));
    }
    if (json) {
        const std::string object = StatusJson(*status, logs);
        std::fwrite(object.data(), 1, object.size(), stdout);
        std::fflush(stdout);
        return 0;
    }
    std::string text;
    for (const std::string& line : StatusLines(*status, logs))
        text += Printable(line) + "\n";
    PrintText(stdout, text);
    return 0;
}

// The check prints as it goes and changes nothing, so an operator may break off a long wait
// for the database or the terminal with Ctrl-C: the stop signals get their default action.
int RunCheck(const std::string& dir) {
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM, SIGQUIT, SIGHUP})
        sigaddset(&stops, signal);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    TServiceCheck check(dir, [](const std::string& line) { PrintText(stdout, line + "\n"); });
    return check.Run() ? 0 : 1;
}

} // namespace

void PrintText(std::FILE* stream, const std::string& text) {
    const std::string utf8 = Cp1251ToUtf8(text);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

int RunApplication(int argc, char** argv) {
    const TCommandLine command = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    std::string dir = command.Dir;
    if (dir.empty() &&
        (command.Action == TCommandAction::Run || command.Action == TCommandAction::Control ||
         command.Action == TCommandAction::Status || command.Action == TCommandAction::Check)) {
        dir = DefaultDir(ExecutableDir(), InstalledDir);
        if (dir.empty()) {
            PrintText(stderr, "quorvexsms: каталог программы не определён, задайте --dir\n");
            return 1;
        }
    }
    // The service itself runs as the user its unit names; the commands an administrator runs
    // on its folder take on that user's rights first.
    const bool onFolder = command.Action == TCommandAction::Control ||
                          command.Action == TCommandAction::Status ||
                          command.Action == TCommandAction::Check;
    if (std::string error; onFolder && !BecomeFolderOwner(dir, error)) {
        PrintText(stderr, "quorvexsms: " + Printable(error) + "\n");
        return 1;
    }
    switch (command.Action) {
    case TCommandAction::Help:
        PrintText(stdout, TitleLine() + UsageText());
        return 0;
    case TCommandAction::Version:
        PrintText(stdout, TitleLine());
        return 0;
    case TCommandAction::Usage:
        PrintText(stderr, "quorvexsms: " + command.Error + "\n" + UsageText());
        return ExitUsage;
    case TCommandAction::Control:
        return SendControl(dir, command.ControlCode);
    case TCommandAction::Status:
        return ShowStatus(dir, command.Json);
    case TCommandAction::Check:
        return RunCheck(dir);
    case TCommandAction::Run:
        break;
    }
    return RunService(dir);
}

} // namespace qvx
