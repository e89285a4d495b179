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

bool HasDigit(std::string_view telephone) noexcept {
    for (const char c : telephone)
        if (c >= '0' && c <= '9')
            return true;
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
