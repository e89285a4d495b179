#include "infra/Config.h"

#include "infra/Com.h"
#include "infra/IniFile.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>

namespace qvx {

namespace {

constexpr const char* DatabaseSection = "Database";
constexpr const char* TerminalSection = "GSMTerminal";

// "1"/"0" (default when missing); anything else is unreadable and keeps the default.
bool ReadSwitch(const TIniFile& ini, const std::string& section, const char* key, bool fallback,
                TTerminalConfig& terminal) {
    const std::string text = ini.ReadString(section, key, "");
    if (text == "1" || text == "0")
        return text == "1";
    if (!text.empty())
        terminal.Unreadable.push_back(std::string(key) + "=" + text);
    return fallback;
}

int32_t ReadCount(const TIniFile& ini, const std::string& section, const char* key,
                  TTerminalConfig& terminal) {
    const int32_t value = ini.ReadInteger(section, key, -1);
    if (value >= 0)
        return value;
    const std::string text = ini.ReadString(section, key, "");
    if (!text.empty())
        terminal.Unreadable.push_back(std::string(key) + "=" + text);
    return 0;
}

// "HH:MM", 00:00 to 23:59; minutes after midnight, or -1.
int32_t ParseClock(const std::string& text) {
    if (text.size() != 5 || text[2] != ':')
        return -1;
    for (const size_t i : {0U, 1U, 3U, 4U})
        if (text[i] < '0' || text[i] > '9')
            return -1;
    const int32_t hours = (text[0] - '0') * 10 + (text[1] - '0');
    const int32_t minutes = (text[3] - '0') * 10 + (text[4] - '0');
    return hours < 24 && minutes < 60 ? hours * 60 + minutes : -1;
}

// Comma-separated digits, blanks and a leading '+' allowed around each.
bool ParsePrefixes(const std::string& text, std::vector<std::string>& prefixes) {
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        std::string item;
        for (size_t i = start; i < comma; ++i)
            if (text[i] != ' ' && text[i] != '\t')
                item += text[i];
        if (!item.empty() && item[0] == '+')
            item.erase(0, 1);
        if (item.empty() || item.find_first_not_of("0123456789") != std::string::npos)
            return false;
        prefixes.push_back(item);
        start = comma + 1;
    }
    return true;
}

std::string SectionOf(int32_t number) {
    return number == 1 ? std::string(TerminalSection) : TerminalSection + std::to_string(number);
}

TTerminalConfig ReadTerminal(const TIniFile& ini, int32_t number) {
    const std::string section = SectionOf(number);
    TTerminalConfig terminal;
    terminal.Number = number;
    terminal.Name = ini.ReadString(section, "Name", "");
    if (terminal.Name.empty())
        terminal.Name = std::to_string(number);
    terminal.Device = ini.ReadString(section, "Device", "");
    terminal.BaudRate = BaudRateIndex(ini.ReadString(section, "BaudRate", ""), DefaultBaudRate);
    terminal.StopBits = StopBitsIndex(ini.ReadString(section, "StopBits", ""), DefaultStopBits);
    terminal.Parity = ParityIndex(ini.ReadString(section, "Parity", ""), DefaultParity);
    terminal.RtsCts = ini.ReadString(section, "FlowControl", "None") == "RTSCTS";
    terminal.ModemTimeoutMs = ini.ReadInteger(section, "ModemTimeout", DefaultModemTimeoutMs);
    terminal.PIN = ini.ReadString(section, "PIN", "");
    terminal.Send = ReadSwitch(ini, section, "Send", true, terminal);
    terminal.Receive = ReadSwitch(ini, section, "Receive", true, terminal);
    terminal.MaxPerMinute = ReadCount(ini, section, "MaxPerMinute", terminal);
    terminal.DailyLimit = ReadCount(ini, section, "DailyLimit", terminal);
    const std::string reset = ini.ReadString(section, "DailyReset", "");
    terminal.DailyResetMin = reset.empty() ? 0 : ParseClock(reset);
    if (terminal.DailyResetMin < 0) {
        terminal.Unreadable.push_back("DailyReset=" + reset);
        terminal.DailyResetMin = 0;
    }
    const std::string prefixes = ini.ReadString(section, "Prefixes", "");
    if (!prefixes.empty() && !ParsePrefixes(prefixes, terminal.Prefixes)) {
        terminal.Unreadable.push_back("Prefixes=" + prefixes);
        terminal.Prefixes.clear();
    }
    // An empty value means the default, as for DailyReset.
    const std::string mode = ini.ReadString(section, "PrefixMode", "");
    terminal.PrefixOnly = mode == "only";
    if (!mode.empty() && mode != "only" && mode != "prefer")
        terminal.Unreadable.push_back("PrefixMode=" + mode);
    return terminal;
}

// ASCII only: the name becomes part of a log file's name, whatever the locale says a letter is.
bool NameCharsAllowed(const std::string& name) {
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
    });
}

// The file behind a port name, so that COM1 and /dev/ttyS0, or a link in /dev/serial/by-id and
// its target, count as one device; the plain path when it does not exist (yet).
std::string DeviceIdentity(const std::string& device) {
    const std::string path = COM::DevicePath(device);
    char resolved[PATH_MAX];
    if (!path.empty() && realpath(path.c_str(), resolved) != nullptr)
        return resolved;
    return path.empty() ? device : path;
}

// A value as the problem line shows it: a garbage value of 2000 bytes is no help to read.
std::string Shown(const std::string& value) {
    constexpr size_t ShownMax = 64;
    return value.size() <= ShownMax ? value : value.substr(0, ShownMax) + "...";
}

} // namespace

TTerminalSettings TTerminalConfig::Settings() const {
    TTerminalSettings settings;
    settings.Line = {BaudRate, StopBits, Parity, RtsCts};
    settings.ModemTimeoutMs = ModemTimeoutMs;
    settings.Pin = PIN;
    return settings;
}

std::vector<std::string> TerminalProblems(const std::vector<TTerminalConfig>& terminals) {
    std::vector<std::string> problems;
    // The section that took a name or a device first.
    std::map<std::string, std::string> names;
    std::map<std::string, std::string> devices;
    for (const TTerminalConfig& terminal : terminals) {
        // The section, not the name, says where: the name itself may be what is wrong.
        const std::string section = "[" + SectionOf(terminal.Number) + "]";
        const std::string where = "Терминал " + section + ": ";
        for (const std::string& value : terminal.Unreadable)
            problems.push_back(where + "недопустимое значение " + Shown(value));
        if (terminal.Name.size() > TerminalNameMax)
            problems.push_back(where + "имя длиннее " + std::to_string(TerminalNameMax) +
                               " символов");
        else if (terminal.Name.empty() || !NameCharsAllowed(terminal.Name))
            problems.push_back(where + "имя \"" + Shown(terminal.Name) +
                               "\" может содержать только латинские буквы, цифры, '-' и '_'");
        else if (const auto [at, added] = names.emplace(terminal.Name, section); !added)
            problems.push_back(where + "имя \"" + terminal.Name + "\" уже задано в " + at->second);
        if (terminal.Device.empty())
            continue;
        const auto [at, added] = devices.emplace(DeviceIdentity(terminal.Device), section);
        if (!added)
            problems.push_back(where + "порт " + Shown(terminal.Device) + " уже задан в " +
                               at->second);
    }
    return problems;
}

TConfig::TConfig(const std::string& dir) : IniFileName(dir + IniName) {}

void TConfig::Load() {
    const TIniFile ini(IniFileName);

    Host = ini.ReadString(DatabaseSection, "Host", "");
    Port = ini.ReadInteger(DatabaseSection, "Port", DefaultPort);
    DBName = ini.ReadString(DatabaseSection, "DBName", "");
    UserName = ini.ReadString(DatabaseSection, "UserName", "");
    Password = ini.ReadString(DatabaseSection, "Password", "");
    SSLMode = ini.ReadString(DatabaseSection, "SSLMode", DefaultSslMode);
    // An empty value means libpq's default, as a missing key does.
    if (SSLMode.empty())
        SSLMode = DefaultSslMode;
    SSLRootCert = ini.ReadString(DatabaseSection, "SSLRootCert", "");
    Device = ini.ReadString(TerminalSection, "Device", "");

    BaudRate = BaudRateIndex(ini.ReadString(TerminalSection, "BaudRate", ""), DefaultBaudRate);
    StopBits = StopBitsIndex(ini.ReadString(TerminalSection, "StopBits", ""), DefaultStopBits);
    Parity = ParityIndex(ini.ReadString(TerminalSection, "Parity", ""), DefaultParity);
    RtsCts = ini.ReadString(TerminalSection, "FlowControl", "None") == "RTSCTS";
    ModemTimeoutMs = ini.ReadInteger(TerminalSection, "ModemTimeout", DefaultModemTimeoutMs);
    PIN = ini.ReadString(TerminalSection, "PIN", "");
    Terminals.clear();
    for (int32_t number = 1; number <= TerminalsMax; ++number) {
        TTerminalConfig terminal = ReadTerminal(ini, number);
        // A further section without a device is off.
        if (number == 1 || !terminal.Device.empty())
            Terminals.push_back(std::move(terminal));
    }

    // The database parameters are loaded after every load and start from their defaults.
    SmsOldHours = DefaultSmsOldHours;
    SmsTransliterate = false;
}

TTerminalSettings TConfig::TerminalSettings() const {
    TTerminalSettings settings;
    settings.Line = {BaudRate, StopBits, Parity, RtsCts};
    settings.ModemTimeoutMs = ModemTimeoutMs;
    settings.Pin = PIN;
    return settings;
}

} // namespace qvx
