// The configuration record: INI settings plus the two parameters that come from the database.
// Created by the service host, loaded and then written only by the worker thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qvx {

constexpr std::array<const char*, 12> BaudRateTexts = {"110",   "300",   "600",   "1200",
                                                       "2400",  "4800",  "9600",  "19200",
                                                       "38400", "56000", "57600", "115200"};
constexpr std::array<const char*, 3> StopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 5> ParityTexts = {"None", "Odd", "Even", "Mark", "Space"};

constexpr int32_t DefaultBaudRate = 11; // 115200
constexpr int32_t DefaultModemTimeoutMs = 3000;
constexpr int32_t DefaultPort = 5432;
constexpr int32_t DefaultSmsOldHours = 24;
constexpr const char* IniName = "QuorvexSMS.ini";

struct TConfig {
    std::string Host;
    int32_t Port = DefaultPort;
    std::string DBName;
    std::string UserName;
    std::string Password;
    std::string Device;
    int32_t BaudRate = DefaultBaudRate; // index into BaudRateTexts
    int32_t StopBits = 0;               // index into StopBitsTexts
    int32_t Parity = 0;                 // index into ParityTexts
    bool RtsCts = false;
    int32_t ModemTimeout = DefaultModemTimeoutMs;
    std::string PIN;
    int32_t SmsOldHours = DefaultSmsOldHours;
    bool SmsTransliterate = false;
    std::string IniFileName;

    // IniFileName := dir + "QuorvexSMS.ini"; dir ends with '/'. Reads nothing.
    explicit TConfig(const std::string& dir);
    // Reads every key with its default; never fails. Resets the database parameters too.
    void Load();
};

} // namespace qvx
