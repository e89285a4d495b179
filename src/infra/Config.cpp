#include "infra/Config.h"

#include "infra/IniFile.h"

namespace qvx {

namespace {

constexpr const char* DatabaseSection = "Database";
constexpr const char* TerminalSection = "GSMTerminal";

// Index of the first entry equal to text (exact bytes, case included), or fallback.
template <size_t N>
int32_t IndexOf(const std::array<const char*, N>& texts, const std::string& text,
                int32_t fallback) {
    for (size_t i = 0; i < N; ++i)
        if (text == texts[i])
            return static_cast<int32_t>(i);
    return fallback;
}

} // namespace

TConfig::TConfig(const std::string& dir) : IniFileName(dir + IniName) {}

void TConfig::Load() {
    const TIniFile ini(IniFileName);

    Host = ini.ReadString(DatabaseSection, "Host", "");
    Port = ini.ReadInteger(DatabaseSection, "Port", DefaultPort);
    DBName = ini.ReadString(DatabaseSection, "DBName", "");
    UserName = ini.ReadString(DatabaseSection, "UserName", "");
    Password = ini.ReadString(DatabaseSection, "Password", "");
    Device = ini.ReadString(TerminalSection, "Device", "");

    BaudRate = IndexOf(BaudRateTexts, ini.ReadString(TerminalSection, "BaudRate", "115200"),
                       DefaultBaudRate);
    StopBits = IndexOf(StopBitsTexts, ini.ReadString(TerminalSection, "StopBits", "1"), 0);
    Parity = IndexOf(ParityTexts, ini.ReadString(TerminalSection, "Parity", "None"), 0);
    RtsCts = ini.ReadString(TerminalSection, "FlowControl", "None") == "RTSCTS";
    ModemTimeout = ini.ReadInteger(TerminalSection, "ModemTimeout", DefaultModemTimeoutMs);
    PIN = ini.ReadString(TerminalSection, "PIN", "");

    // The database parameters are loaded after every load and start from their defaults.
    SmsOldHours = DefaultSmsOldHours;
    SmsTransliterate = false;
}

} // namespace qvx
