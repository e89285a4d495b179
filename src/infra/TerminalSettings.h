// The settings of the GSM terminal and its serial line, each defined once: one table per line
// setting (its INI text, its words for the terminal log), one set of defaults, and the record
// the worker and the check build from TConfig and hand to the terminal, whose port takes the
// line part. Built on the worker's (or the check's) thread; the terminal thread reads its copy.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qvx {

struct TBaudRate {
    int32_t Baud;
    const char* Name;            // as written in the INI file and the terminal log
    int32_t TimeoutMultiplierMs; // per byte
};
constexpr std::array<TBaudRate, 12> BaudRates = {{{110, "110", 100},
                                                  {300, "300", 35},
                                                  {600, "600", 18},
                                                  {1200, "1200", 9},
                                                  {2400, "2400", 5},
                                                  {4800, "4800", 3},
                                                  {9600, "9600", 2},
                                                  {19200, "19200", 2},
                                                  {38400, "38400", 1},
                                                  {56000, "56000", 1},
                                                  {57600, "57600", 1},
                                                  {115200, "115200", 1}}};
// As written in the INI file and the terminal log.
constexpr std::array<const char*, 3> StopBitsNames = {"1", "1.5", "2"};
struct TParity {
    const char* Name;  // as written in the INI file
    const char* Title; // for the terminal log
};
constexpr std::array<TParity, 5> Parities = {{{"None", "нет"},
                                              {"Odd", "нечет"},
                                              {"Even", "чет"},
                                              {"Mark", "маркер (1)"},
                                              {"Space", "пробел (0)"}}};

constexpr int32_t DefaultBaudRate = 11; // 115200
constexpr int32_t DefaultStopBits = 0;  // 1
constexpr int32_t DefaultParity = 0;    // none
constexpr int32_t DefaultModemTimeoutMs = 3000;

// The serial line: indexes into the tables above. An index outside its table is refused when
// the port opens.
struct TLineSettings {
    int32_t BaudRate = DefaultBaudRate;
    int32_t StopBits = DefaultStopBits;
    int32_t Parity = DefaultParity;
    bool RtsCts = false;
};

struct TTerminalSettings {
    TLineSettings Line;
    int32_t ModemTimeoutMs = DefaultModemTimeoutMs;
    std::string Pin;
};

// The index of a value's INI text (exact bytes, case included), or fallback.
int32_t BaudRateIndex(const std::string& text, int32_t fallback) noexcept;
int32_t StopBitsIndex(const std::string& text, int32_t fallback) noexcept;
int32_t ParityIndex(const std::string& text, int32_t fallback) noexcept;
// The INI text of an index, or the number itself when it lies outside its table.
std::string BaudRateName(int32_t index);
std::string StopBitsName(int32_t index);
std::string ParityName(int32_t index);
// The words of the terminal log for a parity index, or the number outside the table.
std::string ParityTitle(int32_t index);

} // namespace qvx
