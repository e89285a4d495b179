#include "processing/DeliveryRules.h"

#include "terminal/Pdu.h"

namespace qvx {

namespace {

constexpr int64_t SecondsPerHour = 3600;

} // namespace

bool IsSendingHour(int localHour) noexcept {
    return localHour >= FirstSendingHour && localHour < EndSendingHour;
}

bool InSendingWindow(std::time_t now) noexcept {
    // localtime_r alone keeps the zone it saw first; tzset makes a changed TZ count.
    tzset();
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr)
        return false;
    return IsSendingHour(local.tm_hour);
}

std::string SubscriberKey(std::string_view telephone) {
    constexpr size_t KeyDigits = 10;
    const std::string digits = DigitsOf(telephone);
    return digits.size() > KeyDigits ? digits.substr(digits.size() - KeyDigits) : digits;
}

bool HasLetter(std::string_view telephone) noexcept {
    for (const char c : telephone) {
        const auto byte = static_cast<unsigned char>(c | 0x20);
        // Ё (0xA8) and ё (0xB8) lie outside the А..я block.
        if ((byte >= 'a' && byte <= 'z') || static_cast<unsigned char>(c) >= 0xC0 || c == '\xA8' ||
            c == '\xB8')
            return true;
    }
    return false;
}

TDateTime RegisteredAt(TDateTime now, double ageSec) noexcept {
    return now - ageSec * OneSecond;
}

double AgeSec(const TSMS& sms, std::time_t now) {
    return (ToDateTime(now) - sms.RegDt) / OneSecond;
}

TSendVerdict VerdictAtHead(const TSMS& sms, std::time_t now, int32_t oldHours,
                           std::string& reason) {
    if (sms.RegDt != 0 && AgeSec(sms, now) >= static_cast<double>(oldHours * SecondsPerHour)) {
        reason = "истек срок жизни сообщения";
        return TSendVerdict::GiveUp;
    }
    if (!InSendingWindow(now)) {
        reason = "вне времени отправки, будет отправлено позже";
        return TSendVerdict::Return;
    }
    return TSendVerdict::Send;
}

} // namespace qvx
