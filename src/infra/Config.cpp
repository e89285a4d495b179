#include "infra/Config.h"

#include "infra/IniFile.h"

#include <algorithm>
#include <cctype>
#include <set>

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
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
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

TTerminalConfig ReadTerminal(const TIniFile& ini, int32_t number) {
    const std::string section =
        number == 1 ? std::string(TerminalSection) : TerminalSection + std::to_string(number);
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
    const std::string mode = ini.ReadString(section, "PrefixMode", "prefer");
    terminal.PrefixOnly = mode == "only";
    if (mode != "only" && mode != "prefer")
        terminal.Unreadable.push_back("PrefixMode=" + mode);
    return terminal;
}

bool NameAllowed(const std::string& name) {
    for (const char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
            return false;
    return !name.empty() && name.size() <= 32;
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
    std::set<std::string> names;
    std::set<std::string> devices;
    for (const TTerminalConfig& terminal : terminals) {
        const std::string where = "Терминал " + terminal.Name + ": ";
        for (const std::string& value : terminal.Unreadable)
            problems.push_back(where + "недопустимое значение " + value);
        if (!NameAllowed(terminal.Name))
            problems.push_back(where + "имя может содержать только латинские буквы, цифры, "
                                       "'-' и '_'");
        else if (!names.insert(terminal.Name).second)
            problems.push_back(where + "имя уже занято другим терминалом");
        if (!terminal.Device.empty() && !devices.insert(terminal.Device).second)
            problems.push_back(where + "порт " + terminal.Device +
                               " уже задан для другого терминала");
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
