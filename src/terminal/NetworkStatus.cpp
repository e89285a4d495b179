// Parsing of the +CREG and +CSQ answers and the words for a registration state.
#include "terminal/NetworkStatus.h"

#include "infra/Decimal.h"

#include <iterator>

namespace qvx {

namespace {

// Values of <stat> a terminal may report; newer standards add 6..10 (SMS only, emergency).
constexpr int32_t StatMax = 10;
constexpr int32_t RssiMax = 31;
constexpr size_t DigitsMax = 3;

void SkipBlanks(std::string_view& text) noexcept {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
}

// A decimal field of at most DigitsMax digits at the front of text, which is advanced past it.
std::optional<int32_t> TakeNumber(std::string_view& text) noexcept {
    SkipBlanks(text);
    size_t length = 0;
    const int32_t value = ReadDigits(text, length);
    if (length == 0 || length > DigitsMax)
        return std::nullopt;
    text.remove_prefix(length);
    SkipBlanks(text);
    return value;
}

struct TPair {
    int32_t First = 0;
    int32_t Second = 0;
};

// The numbers "<a>,<b>" right after the first occurrence of head that has two and that accept
// takes; more fields may follow them.
template <class TAccept>
std::optional<TPair> FirstPair(std::string_view answer, std::string_view head,
                               TAccept accept) noexcept {
    size_t pos = 0;
    while ((pos = answer.find(head, pos)) != std::string_view::npos) {
        pos += head.size();
        std::string_view rest = answer.substr(pos);
        const auto first = TakeNumber(rest);
        if (!first || rest.empty() || rest.front() != ',')
            continue;
        rest.remove_prefix(1);
        const auto second = TakeNumber(rest);
        if (!second)
            continue;
        const bool fieldEnds =
            rest.empty() || rest.front() == ',' || rest.front() == '\r' || rest.front() == '\n';
        if (fieldEnds && accept(*first, *second))
            return TPair{*first, *second};
    }
    return std::nullopt;
}

} // namespace

std::optional<int32_t> ParseRegistration(std::string_view answer) noexcept {
    // <n> is the terminal's reporting mode, which does not matter here.
    const auto pair =
        FirstPair(answer, "+CREG:", [](int32_t, int32_t stat) { return stat <= StatMax; });
    if (!pair)
        return std::nullopt;
    return pair->Second;
}

std::optional<int32_t> ParseSignal(std::string_view answer) noexcept {
    // <ber> is 0..7 or 99 (not known).
    const auto pair = FirstPair(answer, "+CSQ:", [](int32_t rssi, int32_t ber) {
        return (rssi <= RssiMax || rssi == RssiUnknown) && (ber <= 7 || ber == 99);
    });
    if (!pair)
        return std::nullopt;
    return pair->First;
}

std::optional<int32_t> RssiToDbm(int32_t rssi) noexcept {
    if (rssi < 0 || rssi > RssiMax)
        return std::nullopt;
    return -113 + 2 * rssi;
}

namespace {

// Each registration in words for the log and the status, and its JSON name.
struct TRegistrationWords {
    TRegistration Registration;
    const char* Text;
    const char* Name;
};

constexpr TRegistrationWords RegistrationWords[] = {
    {TRegistration::NotRegistered, "нет регистрации, поиск не ведётся", "not_registered"},
    {TRegistration::Home, "домашняя сеть", "home"},
    {TRegistration::Searching, "поиск сети", "searching"},
    {TRegistration::Denied, "в регистрации отказано", "denied"},
    {TRegistration::Roaming, "роуминг", "roaming"},
    {TRegistration::Unknown, "нет сведений", "none"},
    // Anything else, the terminal's own "not known" (4) included.
    {TRegistration::NotKnown, "неизвестно", "unknown"},
};

const TRegistrationWords& WordsOf(int32_t registration) noexcept {
    for (const TRegistrationWords& words : RegistrationWords)
        if (static_cast<int32_t>(words.Registration) == registration)
            return words;
    return RegistrationWords[std::size(RegistrationWords) - 1];
}

} // namespace

const char* RegistrationText(int32_t registration) noexcept {
    return WordsOf(registration).Text;
}

const char* RegistrationName(int32_t registration) noexcept {
    return WordsOf(registration).Name;
}

} // namespace qvx
