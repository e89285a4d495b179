#include "terminal/SimLock.h"

namespace qvx {

namespace {

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// The code word of a "+CPIN: <code>" line, without blanks in front; empty without the line.
std::string_view CpinCode(std::string_view answer) {
    constexpr std::string_view Head = "+CPIN:";
    const size_t at = answer.find(Head);
    if (at == std::string_view::npos)
        return {};
    std::string_view code = answer.substr(at + Head.size());
    while (!code.empty() && code.front() == ' ')
        code.remove_prefix(1);
    return code.substr(0, code.find_first_of("\r\n"));
}

} // namespace

TSimLock SimLockOf(std::string_view answer) {
    // "SIM PUK2" locks only the functions behind PIN2, which this service does not use.
    if (CpinCode(answer) == "SIM PUK")
        return TSimLock::Puk;
    if (Contains(answer, "SIM PIN") || !Contains(answer, "READY"))
        return TSimLock::Pin;
    return TSimLock::Ready;
}

std::string IccidOf(std::string_view answer) {
    constexpr size_t DigitsMin = 18;
    constexpr size_t DigitsMax = 22;
    // The first run of digits long enough to be the number; a bare answer has no prefix.
    std::string run;
    for (size_t i = 0; i <= answer.size(); ++i) {
        const char c = i < answer.size() ? answer[i] : '\0';
        if (c >= '0' && c <= '9') {
            run += c;
            continue;
        }
        if ((c == 'F' || c == 'f') && !run.empty())
            run += 'F';
        if (run.size() >= DigitsMin && run.size() <= DigitsMax)
            return run;
        run.clear();
    }
    return {};
}

std::string ImsiOf(std::string_view answer) {
    constexpr size_t DigitsMin = 6;
    constexpr size_t DigitsMax = 15;
    constexpr std::string_view Head = "+CIMI:";
    while (!answer.empty()) {
        const size_t end = answer.find_first_of("\r\n");
        std::string_view line = answer.substr(0, end);
        answer.remove_prefix(end == std::string_view::npos ? answer.size() : end + 1);
        if (line.starts_with(Head))
            line.remove_prefix(Head.size());
        while (!line.empty() && (line.front() == ' ' || line.front() == '"'))
            line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '"'))
            line.remove_suffix(1);
        if (line.empty() || line.find_first_not_of("0123456789") != std::string_view::npos)
            continue;
        // The first number is the answer: one of the wrong length is no IMSI, and no later
        // line may stand in for it.
        if (line.size() < DigitsMin || line.size() > DigitsMax)
            return {};
        return std::string(line);
    }
    return {};
}

bool PinRefused(std::string_view answer) {
    return Contains(answer, "+CME ERROR: incorrect password") ||
           Contains(answer, "+CME ERROR: SIM PUK required") ||
           Contains(answer, "+CME ERROR: 16\r") || Contains(answer, "+CME ERROR: 12\r");
}

} // namespace qvx
