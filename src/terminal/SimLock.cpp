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

bool PinRefused(std::string_view answer) {
    return Contains(answer, "+CME ERROR: incorrect password") ||
           Contains(answer, "+CME ERROR: SIM PUK required") ||
           Contains(answer, "+CME ERROR: 16\r") || Contains(answer, "+CME ERROR: 12\r");
}

} // namespace qvx
