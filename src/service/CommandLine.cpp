#include "service/CommandLine.h"

#include "infra/Codepage.h"
#include "infra/Config.h"
#include "infra/Decimal.h"

#include <filesystem>
#include <limits.h>
#include <optional>
#include <string_view>
#include <unistd.h>

#ifndef QVX_DEFAULT_DIR
#define QVX_DEFAULT_DIR ""
#endif

namespace qvx {

const char* const InstalledDir = QVX_DEFAULT_DIR;

namespace {

TCommandLine Rejected(std::string error) {
    TCommandLine result;
    result.Action = TCommandAction::Usage;
    result.Error = std::move(error);
    return result;
}

// Decimal digits only: signs, blanks and hexadecimal are not codes. Nine digits cannot
// overflow, and anything longer is out of range anyway.
std::optional<int32_t> ParseCode(std::string_view text) {
    if (text.size() > 9)
        return std::nullopt;
    return ParseDigits(text);
}

// "--name value" or "--name=value"; false when the option is not this one.
bool TakeValue(const std::vector<std::string>& args, size_t& i, std::string_view name,
               std::optional<std::string>& value) {
    const std::string& arg = args[i];
    if (arg == name) {
        if (i + 1 < args.size())
            value = args[++i];
        else
            value = std::nullopt;
        return true;
    }
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
        arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
        return true;
    }
    return false;
}

} // namespace

std::string NormalizeDir(const std::string& dir) {
    std::string result = dir;
    try {
        result = std::filesystem::absolute(dir).lexically_normal().string();
    } catch (const std::exception&) {
        // Without a current directory a relative name stays as given; opening files in it
        // reports the problem later.
    }
    if (result.empty() || result.back() != '/')
        result += '/';
    return result;
}

std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    const std::string_view exe(path, static_cast<size_t>(length));
    const size_t slash = exe.rfind('/');
    if (slash == std::string_view::npos)
        return {};
    return std::string(exe.substr(0, slash + 1));
}

std::string DefaultDir(const std::string& exeDir, const std::string& installedDir) {
    if (installedDir.empty())
        return exeDir;
    // A program copied next to its INI file, or run from a build tree, keeps its own folder.
    if (!exeDir.empty() && access((exeDir + IniName).c_str(), F_OK) == 0)
        return exeDir;
    return NormalizeDir(installedDir);
}

namespace {

// The action the options ask for, or the reason they contradict each other.
TCommandLine Combine(TCommandLine result, bool control, bool check, bool status) {
    if (control + check + status > 1)
        return Rejected("--check, --control и --status нельзя задать вместе");
    if (result.Json && !status)
        return Rejected("--json задаётся только вместе с --status");
    if (control)
        result.Action = TCommandAction::Control;
    if (check)
        result.Action = TCommandAction::Check;
    if (status)
        result.Action = TCommandAction::Status;
    return result;
}

} // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    TCommandLine result;
    bool control = false;
    bool check = false;
    bool status = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::optional<std::string> value;
        if (arg == "--help" || arg == "-h") {
            result.Action = TCommandAction::Help;
            return result;
        }
        if (arg == "--version" || arg == "-V") {
            result.Action = TCommandAction::Version;
            return result;
        }
        if (TakeValue(args, i, "--dir", value)) {
            if (!value || value->empty())
                return Rejected("после --dir нужно имя каталога");
            if (!result.Dir.empty())
                return Rejected("каталог задан дважды");
            result.Dir = NormalizeDir(*value);
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--status") {
            status = true;
        } else if (arg == "--json") {
            result.Json = true;
        } else if (TakeValue(args, i, "--control", value)) {
            if (!value)
                return Rejected("после --control нужен код управления");
            if (control)
                return Rejected("код управления задан дважды");
            const std::optional<int32_t> code = ParseCode(*value);
            if (!code || *code < ControlCodeFirst || *code > ControlCodeLast)
                return Rejected("код управления должен быть числом от 128 до 255, а не \"" +
                                Utf8ToCp1251(*value) + "\"");
            control = true;
            result.ControlCode = *code;
        } else {
            return Rejected("неизвестный параметр \"" + Utf8ToCp1251(arg) + "\"");
        }
    }
    return Combine(std::move(result), control, check, status);
}

std::string UsageText() {
    return "Использование:\n"
           "  quorvexsms [--dir КАТАЛОГ]              запустить службу; она работает до "
           "остановки\n"
           "  quorvexsms [--dir КАТАЛОГ] --control N  передать службе, запущенной для "
           "КАТАЛОГА,\n"
           "                                          код управления N (128..255):\n"
           "                                          128 - обработать SMS сейчас,\n"
           "                                          129 - перечитать настройки\n"
           "  quorvexsms [--dir КАТАЛОГ] --status [--json]\n"
           "                                          состояние службы, запущенной для КАТАЛОГА:\n"
           "                                          терминал, сеть, очередь, счётчики, база\n"
           "                                          данных, последние ошибки; --json - одним\n"
           "                                          объектом JSON; код выхода 3 - служба не\n"
           "                                          запущена\n"
           "  quorvexsms [--dir КАТАЛОГ] --check      проверить настройки, базу данных, порт\n"
           "                                          и GSM терминал; ничего не меняет\n"
           "  quorvexsms --help | --version\n"
           "КАТАЛОГ - каталог файла QuorvexSMS.ini и журналов (по умолчанию - каталог "
           "программы" +
           (*InstalledDir == '\0'
                ? std::string()
                : std::string(", а если в нём нет QuorvexSMS.ini - ") + InstalledDir) +
           ").\n"
           "Сигналы: SIGTERM и SIGINT - остановка, SIGHUP - код 129, SIGUSR1 - код 128.\n";
}

} // namespace qvx
