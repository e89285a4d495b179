// TServiceCheck, what "quorvexsms --dir DIR --check" does: reads the directory's INI file as
// the service does, connects to the database and judges what the service reads there, opens
// the port and initialises the terminal once, and reports every step in words. It changes
// nothing: it only reads from the database, writes no service log, and the terminal's lines are
// caught and shown (with the PIN hidden), never written to a file. While a service runs for
// the directory its port is left alone. Runs on the main thread of its own process (or of a
// test).
#pragma once

#include "infra/Config.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace qvx {

class TDatabase;
struct TAtSessionOptions;
class TIniFile;

// Receives one line of the report: Windows-1251, without a line end.
using TCheckPrinter = std::function<void(const std::string& line)>;

class TServiceCheck {
public:
    // dir: the directory of the INI file, with its trailing '/'.
    TServiceCheck(std::string dir, TCheckPrinter print);
    TServiceCheck(const TServiceCheck&) = delete;
    TServiceCheck& operator=(const TServiceCheck&) = delete;

    // Every step in order, then the verdict; true when no step failed. A failed step does not
    // stop the next ones, so the operator sees every fault at once.
    bool Run();

    // --- the steps, public so that tests can run one; each counts its failures ---
    // Loads the settings, shows them with a warning for every value the service would
    // silently replace, and checks the required ones.
    void CheckSettings();
    // Needs CheckSettings first.
    void CheckDatabase();
    // Needs CheckSettings first. Every configured terminal in turn; with several, each step
    // and result names its terminal (" [<Name>]") as the service log does.
    void CheckTerminal();
    void KeepPinAttempts(TAtSessionOptions& options);

    int32_t Failures() const noexcept { return FFailures; }
    // True when the port was left alone because a service runs for the directory.
    bool TerminalSkipped() const noexcept { return FTerminalSkipped; }

private:
    // Report lines: a step's title, then its result (or the terminal's lines, then the result).
    void Step(const std::string& title);
    void Passed(const std::string& detail = {});
    void Failed(const std::string& reason);
    void Warned(const std::string& text);
    void Skipped(const std::string& reason);
    void Detail(const std::string& text);

    bool CheckIniFile();
    void WarnIfOthersRead();
    void ShowSettings();
    // The line settings of one section, each with a warning when the service replaces it.
    void ShowLineSettings(const TIniFile& ini, const std::string& section,
                          const TTerminalConfig& terminal);
    // Warns when the key holds text that is no integer and the service takes value instead.
    void WarnIfNotInteger(const TIniFile& ini, const std::string& section, const char* key,
                          int32_t value);
    void CheckRequired();
    // With several terminals (or keys of several in [GSMTerminal]): what each further section
    // sets, with the warnings of ShowLineSettings, the keys that share out the work, and the
    // problems that keep the service from starting its terminals.
    void CheckTerminalSections();
    void CheckOneTerminal(const TTerminalConfig& terminal);
    // Runs one database step; a client error fails the step with the client's own message.
    template <class TAction> bool DatabaseStep(TAction action);
    void JudgeVersion(const std::optional<std::string>& version);
    int32_t JudgeOldHours(const std::optional<std::string>& value);
    void JudgeTransliterate(const std::optional<std::string>& value);
    void JudgeSharing(TDatabase& database);

    std::string FDir;
    TCheckPrinter FPrint;
    TConfig FConfig;
    // Ends the steps and results of one terminal's check: empty with one terminal.
    std::string FSuffix;
    int32_t FFailures = 0;
    bool FTerminalSkipped = false;
};

// True while a service holds the instance lock of dir. The lock is only tried, never kept,
// and no lock file is created.
bool ServiceRunsFor(const std::string& dir);

} // namespace qvx
