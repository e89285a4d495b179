#include "service/Check.h"

#include "infra/Com.h"
#include "infra/IniFile.h"
#include "infra/LogFile.h"
#include "infra/UniqueFd.h"
#include "processing/ClaimSession.h"
#include "processing/Claims.h"
#include "processing/Database.h"
#include "processing/DatabaseRules.h"
#include "processing/PinAttempts.h"
#include "processing/StateFile.h"
#include "service/CheckHints.h"
#include "service/CommandLine.h"
#include "service/ControlChannel.h"
#include "service/Printable.h"
#include "terminal/AtSession.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qvx {

namespace {

constexpr const char* NoDeviceMessage = "Не задан порт GSM терминала (параметр 'Device')";
// Shorter waits make every submission fail: the prompt is awaited in whole seconds.
constexpr int32_t MinUsefulModemTimeoutMs = 1000;

// The terminal's log lines go to this name, which the check catches instead of a file.
constexpr const char* CheckTerminalLog = "quorvexsms-check:Siemens.log";

// The terminal logs the PIN it sends; the check shows those lines with the PIN hidden.
std::string WithoutPin(std::string line, const std::string& pin) {
    if (pin.empty())
        return line;
    for (size_t at = line.find(pin); at != std::string::npos; at = line.find(pin, at + 4))
        line.replace(at, pin.size(), "****");
    return line;
}

std::string SecretText(const std::string& value) {
    return value.empty() ? "(не задан)" : "(задан)";
}

std::string SectionOf(const TTerminalConfig& terminal) {
    return terminal.Number == 1 ? std::string("GSMTerminal")
                                : "GSMTerminal" + std::to_string(terminal.Number);
}

// Terminal 1 as the service sets it up: the loaded record always lists it first, and before
// a load every setting is its default.
TTerminalConfig TerminalOne(const TConfig& config) {
    if (!config.Terminals.empty())
        return config.Terminals.front();
    TTerminalConfig terminal;
    terminal.Name = "1";
    return terminal;
}

// The keys that share out the work between terminals, in the INI file's words.
std::string RoutingText(const TTerminalConfig& terminal) {
    std::string prefixes;
    for (const std::string& prefix : terminal.Prefixes)
        prefixes += (prefixes.empty() ? "" : ",") + prefix;
    return FormatMessage("Name = %s, Send = %d, Receive = %d, MaxPerMinute = %d, DailyLimit = "
                         "%d, DailyReset = %02d:%02d, Prefixes = %s, PrefixMode = %s",
                         terminal.Name.c_str(), terminal.Send ? 1 : 0, terminal.Receive ? 1 : 0,
                         terminal.MaxPerMinute, terminal.DailyLimit, terminal.DailyResetMin / 60,
                         terminal.DailyResetMin % 60, prefixes.empty() ? "(нет)" : prefixes.c_str(),
                         terminal.PrefixOnly ? "only" : "prefer");
}

constexpr const char* RoutingKeys[] = {"Name",       "Send",       "Receive",  "MaxPerMinute",
                                       "DailyLimit", "DailyReset", "Prefixes", "PrefixMode"};

} // namespace

bool ServiceRunsFor(const std::string& dir) {
    const std::string path = dir + InstanceLockName;
    TUniqueFd lock(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!lock)
        return false;
    // Taken for a moment only and released by closing: the service must never find its
    // directory locked by a check.
    if (flock(lock.Get(), LOCK_EX | LOCK_NB) == 0)
        return false;
    return errno == EWOULDBLOCK;
}

TServiceCheck::TServiceCheck(std::string dir, TCheckPrinter print)
    : FDir(std::move(dir)),
      FPrint([print = std::move(print)](const std::string& line) { print(Printable(line)); }),
      FConfig(FDir) {}

bool TServiceCheck::Run() {
    FPrint("Проверка: " + std::string(ApplicationTitle) + " " + ApplicationVersion + ", каталог " +
           FDir);
    CheckSettings();
    CheckDatabase();
    CheckTerminal();
    if (FFailures != 0) {
        FPrint(FormatMessage("Итог: проверка НЕ пройдена, ошибок: %d", FFailures));
        return false;
    }
    FPrint(FTerminalSkipped ? "Итог: проверка пройдена, кроме порта и терминала, которые "
                              "занимает запущенная служба"
                            : "Итог: проверка пройдена");
    return true;
}

// --- report lines ---

void TServiceCheck::Step(const std::string& title) {
    FPrint(title + FSuffix + "...");
}

void TServiceCheck::Passed(const std::string& detail) {
    FPrint((detail.empty() ? "  ОК" : "  ОК: " + detail) + FSuffix);
}

void TServiceCheck::Failed(const std::string& reason) {
    ++FFailures;
    FPrint("  ОШИБКА: " + reason + FSuffix);
}

void TServiceCheck::Warned(const std::string& text) {
    FPrint("  ВНИМАНИЕ: " + text + FSuffix);
}

void TServiceCheck::Skipped(const std::string& reason) {
    FPrint("  пропущено: " + reason + FSuffix);
}

void TServiceCheck::Detail(const std::string& text) {
    FPrint("  " + text);
}

// --- settings ---

void TServiceCheck::CheckSettings() {
    FConfig.Load();
    Step("Файл настроек " + FConfig.IniFileName);
    if (CheckIniFile()) {
        Passed();
        WarnIfOthersRead();
    } else {
        FPrint(HintLine(IniFileHint(FConfig.IniFileName)));
    }
    ShowSettings();
    CheckRequired();
    CheckTerminalSections();
}

bool TServiceCheck::CheckIniFile() {
    // The service reads a missing or unreadable file as empty; the check names the cause.
    const TUniqueFd file(open(FConfig.IniFileName.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
        const int error = errno;
        Failed(error == ENOENT ? "файл не найден, все параметры взяты по умолчанию"
                               : std::string("файл не читается (") + std::strerror(error) +
                                     "), все параметры взяты по умолчанию");
        return false;
    }
    return true;
}

// The file holds the database password: a file any local user can read gives it away.
void TServiceCheck::WarnIfOthersRead() {
    struct stat status {};
    if (stat(FConfig.IniFileName.c_str(), &status) == 0 && (status.st_mode & S_IROTH) != 0)
        Warned(FormatMessage("файл могут читать все пользователи (права %04o), а в нём пароль "
                             "базы данных; задайте права 0640 (chmod o-rwx)",
                             static_cast<unsigned>(status.st_mode & 07777)));
}

void TServiceCheck::ShowSettings() {
    const TIniFile ini(FConfig.IniFileName);
    const auto show = [this](const char* key, const std::string& value) {
        Detail(std::string("[Database] ") + key + " = " + (value.empty() ? "(пусто)" : value));
    };
    show("Host", FConfig.Host);
    Detail("[Database] Port = " + std::to_string(FConfig.Port));
    WarnIfNotInteger(ini, "Database", "Port", FConfig.Port);
    show("DBName", FConfig.DBName);
    show("UserName", FConfig.UserName);
    show("Password", SecretText(FConfig.Password));
    show("SSLMode", FConfig.SSLMode);
    show("SSLRootCert", FConfig.SSLRootCert);
    ShowLineSettings(ini, "GSMTerminal", TerminalOne(FConfig));
}

// A value the service cannot use is replaced without a word; the check says so.
void TServiceCheck::ShowLineSettings(const TIniFile& ini, const std::string& section,
                                     const TTerminalConfig& terminal) {
    const auto show = [&](const char* key, const std::string& value) {
        Detail("[" + section + "] " + key + " = " + (value.empty() ? "(пусто)" : value));
    };
    const auto choice = [&](const char* key, const std::string& value) {
        show(key, value);
        const std::string raw = ini.ReadString(section, key, "");
        if (!raw.empty() && raw != value)
            Warned(FormatMessage("%s: значение \"%s\" не распознано, служба возьмёт %s", key,
                                 raw.c_str(), value.c_str()));
    };
    const std::string path = COM::DevicePath(terminal.Device);
    show("Device",
         terminal.Device + (path.empty() || path == terminal.Device ? "" : " (" + path + ")"));
    choice("BaudRate", BaudRateName(terminal.BaudRate));
    choice("StopBits", StopBitsName(terminal.StopBits));
    if (terminal.StopBits == 1)
        Warned("StopBits: 1.5 стоповых бита порт с 8 битами данных не примет");
    choice("Parity", ParityName(terminal.Parity));
    choice("FlowControl", terminal.RtsCts ? "RTSCTS" : "None");
    show("ModemTimeout", std::to_string(terminal.ModemTimeoutMs));
    WarnIfNotInteger(ini, section, "ModemTimeout", terminal.ModemTimeoutMs);
    if (terminal.ModemTimeoutMs < MinUsefulModemTimeoutMs)
        Warned(FormatMessage("ModemTimeout: меньше %d мс - отправка SMS не сможет дождаться "
                             "приглашения терминала",
                             MinUsefulModemTimeoutMs));
    show("PIN", SecretText(terminal.PIN));
}

void TServiceCheck::WarnIfNotInteger(const TIniFile& ini, const std::string& section,
                                     const char* key, int32_t value) {
    // Two different defaults come back only when the text is not a number.
    const std::string raw = ini.ReadString(section, key, "");
    if (ini.ReadInteger(section, key, 0) != ini.ReadInteger(section, key, 1) && !raw.empty())
        Warned(FormatMessage("%s: значение \"%s\" не целое число, служба возьмёт %d", key,
                             raw.c_str(), value));
}

void TServiceCheck::CheckRequired() {
    Step("Обязательные параметры");
    const int32_t before = FFailures;
    // Every missing one is named, not just the first as at the service's start.
    for (const TRequiredSetting& setting : RequiredDatabaseSettings)
        if ((FConfig.*setting.Field).empty())
            Failed(setting.Message);
    if (!IsSslMode(FConfig.SSLMode))
        Failed(SslModeMessage(FConfig.SSLMode));
    if (FConfig.Device.empty())
        Failed(NoDeviceMessage);
    if (FFailures == before)
        Passed();
    else
        FPrint(HintLine(RequiredSettingsHint(FConfig.IniFileName)));
}

// --- further terminals ---

void TServiceCheck::CheckTerminalSections() {
    const std::vector<std::string> problems = TerminalProblems(FConfig.Terminals);
    const bool several = FConfig.Terminals.size() > 1;
    const TIniFile ini(FConfig.IniFileName);
    const bool routed =
        std::any_of(std::begin(RoutingKeys), std::end(RoutingKeys), [&](const char* key) {
            return !ini.ReadString("GSMTerminal", key, "").empty();
        });
    // One terminal without the keys of several reads as it always has.
    if (!several && !routed && problems.empty())
        return;
    Step(FormatMessage("GSM терминалы: %zu", FConfig.Terminals.size()));
    for (const TTerminalConfig& terminal : FConfig.Terminals) {
        if (terminal.Number != 1)
            ShowLineSettings(ini, SectionOf(terminal), terminal);
        Detail("[" + SectionOf(terminal) + "] " + RoutingText(terminal));
    }
    // The service starts like this and then quietly does half its job.
    const auto none = [this](bool TTerminalConfig::*on) {
        return std::none_of(FConfig.Terminals.begin(), FConfig.Terminals.end(),
                            [on](const TTerminalConfig& terminal) { return terminal.*on; });
    };
    if (none(&TTerminalConfig::Send))
        Warned("Send=0 у всех терминалов: служба не отправит ни одного сообщения");
    if (none(&TTerminalConfig::Receive))
        Warned("Receive=0 у всех терминалов: запросы абонентов не будут приняты");
    for (const std::string& problem : problems)
        Failed(problem);
    if (problems.empty())
        Passed();
    else
        FPrint(HintLine(TerminalSectionsHint(FConfig.IniFileName)));
}

// --- database ---

template <class TAction> bool TServiceCheck::DatabaseStep(TAction action) {
    try {
        action();
        return true;
    } catch (const std::exception& error) {
        Failed(error.what());
        FPrint(HintLine(DatabaseContentHint()));
    }
    return false;
}

void TServiceCheck::CheckDatabase() {
    Step("Подключение к базе данных");
    for (const TRequiredSetting& setting : RequiredDatabaseSettings)
        if ((FConfig.*setting.Field).empty()) {
            Skipped("не заданы параметры подключения");
            return;
        }
    if (!IsSslMode(FConfig.SSLMode)) {
        Skipped("неверный параметр SSLMode");
        return;
    }
    Detail(FormatMessage("база \"%s\" на %s:%d, пользователь %s", FConfig.DBName.c_str(),
                         FConfig.Host.c_str(), FConfig.Port, FConfig.UserName.c_str()));
    // The same connection and statements as the worker's; all of them only read.
    TDatabase database;
    TDbParams params = DbParamsOf(FConfig);
    // Not one of the service's sessions, which the running services count as hosts.
    params.ApplicationName = SessionName("quorvexsms-check");
    database.SetParams(params);
    std::optional<std::string> version;
    try {
        version = database.ReadParam("DBVER");
    } catch (const std::exception& error) {
        if (!database.Connected()) {
            Failed(error.what());
            FPrint(HintLine(ConnectionHint(FConfig.Host, FConfig.Port)));
            return;
        }
        Passed();
        Step("Версия базы данных (DBVER)");
        Failed(error.what());
        FPrint(HintLine(DatabaseContentHint()));
        return;
    }
    Passed();
    if (database.Unencrypted())
        Warned(UnencryptedMessage);
    JudgeVersion(version);

    int32_t hours = DefaultSmsOldHours;
    Step("Срок жизни сообщений (SMSOLDHOURS)");
    DatabaseStep([&] { hours = JudgeOldHours(database.ReadParam("SMSOLDHOURS")); });
    Step("Транслитерация (SMSTRANSLITERATE)");
    DatabaseStep([&] { JudgeTransliterate(database.ReadParam("SMSTRANSLITERATE")); });
    Step(FormatMessage("Неотправленные SMS за последние %d ч", hours));
    DatabaseStep([&] {
        const size_t count = database.GetSMS(hours).size();
        Passed(FormatMessage("ожидают отправки: %zu", count));
    });
    Step("Права пользователя (UPDATE msgdelivery, EXECUTE prepare_acc_info)");
    DatabaseStep([&] {
        std::string missing;
        for (const std::string& privilege : database.MissingPrivileges())
            missing += (missing.empty() ? "" : ", ") + privilege;
        if (missing.empty())
            Passed();
        else
            Failed("у пользователя " + FConfig.UserName + " нет прав: " + missing);
    });
    Step("Несколько служб на одной базе данных");
    DatabaseStep([&] { JudgeSharing(database); });
}

// What several hosts on the database rely on: a server that ends a frozen host's session,
// one time zone for all, and who else is there.
void TServiceCheck::JudgeSharing(TDatabase& database) {
    const TPeerView peers = database.Peers(TClaims::LockClass, TClaimSession::HeartbeatWaitMs);
    for (const auto& [name, claims] : peers.Hosts)
        Detail(FormatMessage("служба %s, захвачено сообщений: %d", name.c_str(), claims));
    bool warned = false;
    const int32_t version = database.ServerVersion();
    if (version > 0 && version < 140000) {
        Warned(FormatMessage("PostgreSQL %d старше 14: сервер не завершает сеанс зависшей "
                             "службы, и захваченные ею сообщения ждут, пока её не перезапустят",
                             version / 10000));
        warned = true;
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const int32_t dbOffset = database.ZoneOffsetSec();
    if (dbOffset != local.tm_gmtoff) {
        Warned(FormatMessage("часовой пояс базы данных (UTC%+.2g ч) не совпадает с часовым поясом "
                             "этого компьютера (UTC%+.2g ч): время отправки и срок жизни "
                             "сообщений каждая служба судит по своему",
                             dbOffset / 3600.0, local.tm_gmtoff / 3600.0));
        warned = true;
    }
    if (!warned)
        Passed(peers.Hosts.empty() ? "других служб нет" : "");
}

void TServiceCheck::JudgeVersion(const std::optional<std::string>& version) {
    Step("Версия базы данных (DBVER)");
    if (!version) {
        Failed(NoVersionMessage);
        FPrint(HintLine(DatabaseContentHint()));
        return;
    }
    Detail(FormatMessage("Версия базы данных \"Кворвекс\": %s", version->c_str()));
    if (MajorVersion(*version) < MinDatabaseMajor) {
        Failed(FormatMessage(OldVersionFormat, MinDatabaseMajor));
        FPrint(HintLine(DatabaseContentHint()));
    } else {
        Passed();
    }
}

int32_t TServiceCheck::JudgeOldHours(const std::optional<std::string>& value) {
    if (!value) {
        Passed(FormatMessage("строки нет, служба возьмёт %d ч", DefaultSmsOldHours));
        return DefaultSmsOldHours;
    }
    const int32_t hours = SmsOldHoursOf(*value);
    if (!ParseInt32(*value))
        Warned(FormatMessage("значение \"%s\" не целое число, служба возьмёт %d ч", value->c_str(),
                             hours));
    else if (hours <= 0)
        Warned(FormatMessage("%d ч: служба не отправит ни одного сообщения", hours));
    else
        Passed(FormatMessage("отправляются сообщения не старше %d ч", hours));
    return hours;
}

void TServiceCheck::JudgeTransliterate(const std::optional<std::string>& value) {
    if (!value) {
        Passed("строки нет, транслитерация выключена");
        return;
    }
    const bool on = SmsTransliterateOf(*value);
    const char* state = on ? "транслитерация включена" : "транслитерация выключена";
    if (!ParseInt64(*value))
        Warned(FormatMessage("значение \"%s\" не целое число: %s", value->c_str(), state));
    else
        Passed(FormatMessage("%s: %s", value->c_str(), state));
}

// --- port and terminal ---

namespace {

// A SIM that wants a code the service will not send needs a person: the check says which.
const char* PinWaitNote(TPinWait wait) {
    switch (wait) {
    case TPinWait::Refused:
        return ": SIM карта отвергла PIN код, служба не пошлёт его повторно; задайте верный PIN "
               "код (после трёх неверных SIM карта потребует PUK код)";
    case TPinWait::Puk:
        return ": SIM карта заблокирована и требует PUK код оператора; PIN код не посылается";
    case TPinWait::Exhausted:
        return ": на этой SIM карте уже две попытки PIN кода, служба не пошлёт его, чтобы SIM "
               "карта не заблокировалась; введите PIN код вручную";
    case TPinWait::Unrecorded:
        return ": попытку PIN кода не удалось записать в файл состояния, PIN код не посылается";
    default:
        return "";
    }
}

} // namespace

// The check's PIN is an attempt like the service's, by the same rule and in the same file: a
// PIN the SIM refused before, also to the service, is not sent, nor any once two attempts are
// counted on the SIM, nor one that cannot be recorded (a file that is not this program's is
// left for the service to move aside).
void TServiceCheck::KeepPinAttempts(TAtSessionOptions& options) {
    const TStateFile file(FDir);
    const std::optional<TServiceState> peeked = file.Peek();
    if (!peeked) {
        options.PinAttempt = [](const std::string&, const std::string&) {
            return TPinPermit{TPinWait::Unrecorded, 0, "файл состояния не читается"};
        };
        return;
    }
    auto state = std::make_shared<TServiceState>(*peeked);
    const auto save = [file, state] { return file.Save(*state, std::time(nullptr)); };
    options.PinAttempt = [state, save](const std::string& iccid, const std::string& pin) {
        return RecordPinAttempt(state->PinAttempts, iccid, pin, std::time(nullptr), save);
    };
    options.PinVerdict = [this, state, save](const std::string& iccid, const std::string& pin,
                                             bool accepted) {
        if (!ApplyPinVerdict(state->PinAttempts, iccid, pin, accepted))
            return;
        if (const std::string error = save(); !error.empty())
            Detail("не удалось сохранить файл состояния: " + error);
    };
}

void TServiceCheck::CheckTerminal() {
    std::vector<TTerminalConfig> terminals = FConfig.Terminals;
    if (terminals.empty())
        terminals.push_back(TerminalOne(FConfig));
    const bool anyDevice = std::any_of(terminals.begin(), terminals.end(),
                                       [](const TTerminalConfig& t) { return !t.Device.empty(); });
    if (anyDevice && ServiceRunsFor(FDir)) {
        // Opening the ports now would take them from the service or fail as busy.
        Step("Открытие порта GSM терминала");
        FTerminalSkipped = true;
        Skipped("служба для каталога " + FDir +
                " запущена и занимает порт; чтобы проверить порт и терминал, остановите её");
        return;
    }
    for (const TTerminalConfig& terminal : terminals) {
        FSuffix = terminals.size() > 1 ? " [" + terminal.Name + "]" : std::string();
        CheckOneTerminal(terminal);
    }
    FSuffix.clear();
}

void TServiceCheck::CheckOneTerminal(const TTerminalConfig& terminal) {
    Step("Открытие порта GSM терминала");
    if (terminal.Device.empty()) {
        Skipped("не задан порт");
        return;
    }
    TLogCapture log(CheckTerminalLog);
    const auto showLog = [&] {
        for (const std::string& message : log.Take())
            Detail("| " + WithoutPin(message, terminal.PIN));
    };
    // Set up as the worker sets up the service's terminal, with the exchange shown as well.
    TAtSessionOptions options;
    options.Device = terminal.Device;
    options.LogFileName = log.Name();
    options.Settings = terminal.Settings();
    options.LogExchange = true;
    options.QueryImsi = terminal.DailyLimit > 0;
    KeepPinAttempts(options);
    TAtSession session(std::move(options), nullptr);
    const std::string path = COM::DevicePath(terminal.Device);
    Detail("порт \"" + terminal.Device + "\", устройство " +
           (path.empty() ? std::string("(неверное имя порта)") : path));
    const std::optional<TPortFailure> failure = session.Open();
    showLog();
    if (failure) {
        Failed(
            FormatMessage("%s [%u]", failure->Text.c_str(), static_cast<unsigned>(failure->Code)));
        FPrint(HintLine(PortHint(failure->Code)));
        return;
    }
    Passed();
    Step("Инициализация GSM терминала");
    const auto code = static_cast<int32_t>(session.Initialise());
    showLog();
    session.Close();
    if (code == 0) {
        Passed();
        return;
    }
    Failed(FormatMessage("%s [код=%d]%s", ResultText(code).c_str(), code,
                         PinWaitNote(session.PinWait())));
    FPrint(HintLine(TerminalHint()));
}

} // namespace qvx
