#include "processing/OutgoingDelivery.h"

#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/WorkThread.h"
#include "terminal/Siemens.h"

namespace qvx {

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

bool HasDigit(std::string_view telephone) noexcept {
    for (const char c : telephone)
        if (c >= '0' && c <= '9')
            return true;
    return false;
}

void TWorkThread::SendPendingMessages() {
    if (!InSendingWindow(std::time(nullptr)))
        return;
    int32_t stamped = 0;
    // The whole result is fetched at once, so the query is already closed here.
    const std::vector<TPendingSMS> rows = FDatabase->GetSMS(FConfig.SmsOldHours);
    const auto rowCount = static_cast<int32_t>(rows.size());
    if (rowCount == 0)
        return;
    const int32_t state = FSiemens->GetState();
    if (state != static_cast<int32_t>(TTerminalState::Working)) {
        WriteLog("GSM терминал не готов к работе (State=%d)", state);
        return;
    }
    for (const TPendingSMS& row : rows) {
        if (!HasDigit(row.Telephone)) {
            WriteLog("Отсутствует номер телефона (ID=%d)", row.MsgId);
            continue;
        }
        if (row.Text.empty()) {
            WriteLog("Отсутствует текст сообщения (ID=%d)", row.MsgId);
            continue;
        }
        if (SendMessage(row.MsgId, row.Telephone, row.Text) && MarkSent(row.MsgId))
            ++stamped;
    }
    WriteLog("Сообщений всего/отправлено: %d/%d", rowCount, stamped);
}

bool TWorkThread::SendMessage(int32_t msgId, const std::string& phone, const std::string& text) {
    const TSMS sms{phone, text, true, FConfig.SmsTransliterate};
    const bool queued = FSiemens->QueueSMS(sms);
    if (queued)
        FHandedOver.push_back(msgId);
    WriteLog("Сообщение ID=%d: %s", msgId, queued ? "ОТПРАВЛЕНО" : "ОШИБКА ОТПРАВКИ");
    return queued;
}

bool TWorkThread::MarkSent(int32_t msgId) {
    return FDatabase->MarkSent(msgId) == 1;
}

} // namespace qvx
