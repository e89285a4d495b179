#include "terminal/Unsolicited.h"

#include "infra/Decimal.h"
#include "terminal/Pdu.h"

namespace qvx {

namespace {

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// Index just past the LF at or after from, or the end of the text.
size_t PastLineEnd(const std::string& text, size_t from) {
    const size_t lf = text.find('\n', from);
    return lf == std::string::npos ? text.size() : lf + 1;
}

} // namespace

bool StripLeadingCrLf(std::string& saved) {
    const size_t first = saved.find_first_not_of("\r\n");
    saved.erase(0, first == std::string::npos ? saved.size() : first);
    return !saved.empty();
}

void BoundSaved(std::string& saved, size_t maxBytes) {
    if (saved.size() > maxBytes)
        saved.erase(0, saved.size() - maxBytes);
}

TUnsolicitedEvent TUnsolicitedScanner::Next(std::string& saved, uint32_t nowTick) {
    for (size_t ring = saved.find("RING"); ring != std::string::npos; ring = saved.find("RING")) {
        const size_t clip = saved.find("+CLIP:");
        if (clip != std::string::npos) {
            FRingWaiting = false;
            return TakeCall(saved, clip);
        }
        if (!RetireWaitingRing(saved, ring, nowTick))
            return {};
    }
    FRingWaiting = false;
    const size_t cusd = saved.find("+CUSD:");
    if (cusd != std::string::npos)
        return TakeUssd(saved, cusd);
    saved.clear();
    return {};
}

bool TUnsolicitedScanner::RetireWaitingRing(std::string& saved, size_t ring, uint32_t nowTick) {
    if (FCallerLines && !FRingWaiting) {
        FRingWaiting = true;
        FRingSinceTick = nowTick;
        return false;
    }
    if (FCallerLines && uint32_t(nowTick - FRingSinceTick) < FRingWaitMs)
        return false;
    // Only the RING's own line goes: a USSD result in front of it is still delivered, and any
    // other text in front is cleared by the scan that follows.
    const size_t lineStart = saved.rfind('\n', ring);
    const size_t from = lineStart == std::string::npos ? 0 : lineStart + 1;
    saved.erase(from, PastLineEnd(saved, ring) - from);
    FRingWaiting = false;
    return true;
}

// "+CLIP: "<number>",<type>,...": the caller line of 3GPP TS 27.007.
TUnsolicitedEvent TUnsolicitedScanner::TakeCall(std::string& saved, size_t clip) {
    TUnsolicitedEvent event;
    event.Kind = TUnsolicitedKind::Call;
    size_t pos = clip + 6;
    const size_t size = saved.size();
    while (pos < size && (saved[pos] == '"' || saved[pos] == ' '))
        ++pos;
    const size_t number = pos;
    while (pos < size && (IsDigit(saved[pos]) || saved[pos] == '+'))
        ++pos;
    event.Telephone = saved.substr(number, pos - number);
    while (pos < size && (saved[pos] == '"' || saved[pos] == ' ' || saved[pos] == ','))
        ++pos;
    const size_t type = pos;
    while (pos < size && IsDigit(saved[pos]))
        ++pos;
    event.Type = saved.substr(type, pos - type);
    event.International = event.Type != "129";
    saved.erase(0, PastLineEnd(saved, pos));
    return event;
}

// "+CUSD: <m>[,"<string>"[,<dcs>]]": the USSD result of 3GPP TS 27.007.
TUnsolicitedEvent TUnsolicitedScanner::TakeUssd(std::string& saved, size_t cusd) {
    TUnsolicitedEvent event;
    event.Kind = TUnsolicitedKind::Ussd;
    size_t pos = cusd + 6;
    const size_t size = saved.size();
    while (pos < size && saved[pos] == ' ')
        ++pos;
    event.UssdStatus = ReadDigits(saved, pos);
    // A result without a string ends at its own line; the opening quote is not looked for in
    // the lines behind it, which may hold other results.
    const size_t lineEnd = PastLineEnd(saved, pos);
    const size_t open = saved.find('"', pos);
    size_t after = lineEnd;
    if (open != std::string::npos && open < lineEnd) {
        // The string itself may run over several lines (USSD menus do).
        const size_t close = saved.find('"', open + 1);
        const size_t end = close == std::string::npos ? size : close;
        event.UssdString = saved.substr(open + 1, end - open - 1);
        after = PastLineEnd(saved, end);
    }
    event.UssdText = event.UssdStatus == 2 ? UCS2HexToText(event.UssdString) : event.UssdString;
    saved.erase(0, after);
    return event;
}

} // namespace qvx
