#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/WorkThread.h"
#include "terminal/Siemens.h"

namespace qvx {

namespace {

// The whole text of an account request: the digit one and nothing else.
constexpr const char* AccountRequest = "1";

constexpr int64_t AccInfoPrepared = 0;
constexpr int64_t AccInfoNoSubscriber = 1;

} // namespace

void TWorkThread::HandleReceived(bool& sendNow) {
    TSMS sms;
    while (FSiemens->ReceivedSMSCount() > 0) {
        if (!FSiemens->GetReceivedSMS(sms))
            continue;
        // WriteLog writes CR and LF as <cr>/<lf>, so a subscriber's text cannot forge lines.
        WriteLog("Принято SMS. Номер: '%s', текст: '%s'", sms.Telephone.c_str(), sms.Text.c_str());
        if (sms.Text != AccountRequest)
            continue;
        const auto result = FDatabase->PrepareAccInfo(sms.Telephone);
        if (!result)
            WriteLog("Ошибка: запрос подготовки состояния счета не вернул результата");
        else if (*result == AccInfoPrepared)
            sendNow = true;
        else if (*result == AccInfoNoSubscriber)
            WriteLog("В БД не найдено ни одного абонента с номером '%s'", sms.Telephone.c_str());
        else
            WriteLog("Запрос подготовки состояния счета вернул ошибку");
    }
}

} // namespace qvx
