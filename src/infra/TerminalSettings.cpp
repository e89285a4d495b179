#include "infra/TerminalSettings.h"

namespace qvx {

namespace {

template <class TTable, class TText>
int32_t IndexOf(const TTable& table, TText textOf, const std::string& text,
                int32_t fallback) noexcept {
    for (size_t i = 0; i < table.size(); ++i)
        if (text == textOf(table[i]))
            return static_cast<int32_t>(i);
    return fallback;
}

template <class TTable, class TText>
std::string NameAt(const TTable& table, TText textOf, int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= table.size())
        return std::to_string(index);
    return textOf(table[static_cast<size_t>(index)]);
}

const char* BaudName(const TBaudRate& rate) {
    return rate.Name;
}
const char* Itself(const char* name) {
    return name;
}
const char* ParityIniName(const TParity& parity) {
    return parity.Name;
}
const char* ParityLogTitle(const TParity& parity) {
    return parity.Title;
}

} // namespace

int32_t BaudRateIndex(const std::string& text, int32_t fallback) noexcept {
    return IndexOf(BaudRates, BaudName, text, fallback);
}

int32_t StopBitsIndex(const std::string& text, int32_t fallback) noexcept {
    return IndexOf(StopBitsNames, Itself, text, fallback);
}

int32_t ParityIndex(const std::string& text, int32_t fallback) noexcept {
    return IndexOf(Parities, ParityIniName, text, fallback);
}

std::string BaudRateName(int32_t index) {
    return NameAt(BaudRates, BaudName, index);
}

std::string StopBitsName(int32_t index) {
    return NameAt(StopBitsNames, Itself, index);
}

std::string ParityName(int32_t index) {
    return NameAt(Parities, ParityIniName, index);
}

std::string ParityTitle(int32_t index) {
    return NameAt(Parities, ParityLogTitle, index);
}

} // namespace qvx
