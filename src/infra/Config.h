// The configuration record: INI settings plus the two parameters that come from the database.
// Created by the service host, loaded and then written only by the worker thread.
#pragma once

#include "infra/TerminalSettings.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qvx {

constexpr int32_t DefaultPort = 5432;
constexpr int32_t DefaultSmsOldHours = 24;
// libpq's sslmode: TLS when the server offers it.
constexpr const char* DefaultSslMode = "prefer";
constexpr const char* IniName = "QuorvexSMS.ini";

// The most terminals one service drives: [GSMTerminal] and [GSMTerminal2] ... [GSMTerminal16].
constexpr int32_t TerminalsMax = 16;
// The longest terminal name: it becomes part of a log file's name and of log lines.
constexpr size_t TerminalNameMax = 32;

// One configured terminal. Terminal 1 is [GSMTerminal]; the others carry the same keys in
// their own sections. Number is the section's number (1 for [GSMTerminal]).
struct TTerminalConfig {
    int32_t Number = 1;
    std::string Name; // default: the section's number
    std::string Device;
    int32_t BaudRate = DefaultBaudRate;
    int32_t StopBits = DefaultStopBits;
    int32_t Parity = DefaultParity;
    bool RtsCts = false;
    int32_t ModemTimeoutMs = DefaultModemTimeoutMs;
    std::string PIN;
    bool Send = true;
    bool Receive = true;
    int32_t MaxPerMinute = 0;  // 0: no limit
    int32_t DailyLimit = 0;    // 0: no limit
    int32_t DailyResetMin = 0; // minutes after local midnight
    // International digits that route a message to this terminal: preferred, or only here.
    std::vector<std::string> Prefixes;
    bool PrefixOnly = false;
    // A key whose value could not be read, as "Key=value", for the check; empty when all read.
    std::vector<std::string> Unreadable;

    TTerminalSettings Settings() const;
};

struct TConfig {
    std::string Host;
    int32_t Port = DefaultPort;
    std::string DBName;
    std::string UserName;
    std::string Password;
    std::string SSLMode = DefaultSslMode;
    // The CA certificates that verify-ca and verify-full check the server against; empty: the
    // client's default (~/.postgresql/root.crt).
    std::string SSLRootCert;
    std::string Device;
    int32_t BaudRate = DefaultBaudRate; // index into BaudRates
    int32_t StopBits = DefaultStopBits; // index into StopBitsNames
    int32_t Parity = DefaultParity;     // index into Parities
    bool RtsCts = false;
    int32_t ModemTimeoutMs = DefaultModemTimeoutMs;
    std::string PIN;
    // Every terminal section that names a device, terminal 1 first even without one. The
    // fields above stay terminal 1's.
    std::vector<TTerminalConfig> Terminals;
    int32_t SmsOldHours = DefaultSmsOldHours;
    bool SmsTransliterate = false;
    std::string IniFileName;

    // IniFileName := dir + "QuorvexSMS.ini"; dir ends with '/'. Reads nothing.
    explicit TConfig(const std::string& dir);
    // Reads every key with its default; never fails. Resets the database parameters too.
    void Load();
    // What the terminal is set up with, for the service's terminal and the check's alike.
    TTerminalSettings TerminalSettings() const;
};

// What is wrong with the terminal sections, one line each (cp1251) naming the section:
// unreadable values, names that are not Latin letters, digits, '-' and '_' (at most
// TerminalNameMax of them) or are used twice, a device named twice (also by another name of
// the same file, such as COM1 and /dev/ttyS0). Empty when the terminals can run together.
std::vector<std::string> TerminalProblems(const std::vector<TTerminalConfig>& terminals);

} // namespace qvx
