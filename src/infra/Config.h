// The configuration record: INI settings plus the two parameters that come from the database.
// Created by the service host, loaded and then written only by the worker thread.
#pragma once

#include "infra/TerminalSettings.h"

#include <cstdint>
#include <string>

namespace qvx {

constexpr int32_t DefaultPort = 5432;
constexpr int32_t DefaultSmsOldHours = 24;
// libpq's sslmode: TLS when the server offers it.
constexpr const char* DefaultSslMode = "prefer";
constexpr const char* IniName = "QuorvexSMS.ini";

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

} // namespace qvx
