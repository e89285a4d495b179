#include "infra/Config.h"

#include "infra/IniFile.h"

namespace qvx {

namespace {

constexpr const char* DatabaseSection = "Database";
constexpr const char* TerminalSection = "GSMTerminal";

} // namespace

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
