#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/DatabaseRules.h"
#include "processing/Error.h"
#include "processing/WorkThread.h"

#include <algorithm>

namespace qvx {

void TWorkThread::LoadDatabaseParams() {
    for (const TRequiredSetting& setting : RequiredDatabaseSettings)
        if ((FConfig.*setting.Field).empty())
            throw EServiceError(setting.Message);
    if (!IsSslMode(FConfig.SSLMode))
        throw EServiceError(SslModeMessage(FConfig.SSLMode));
    // The connection stays open: it is the claim session, which other hosts watch.
    // Its name tells the other hosts how long this one's terminals wait for an answer.
    TDbParams params = DbParamsOf(FConfig);
    int32_t longestWait = 0;
    for (const TTerminalConfig& terminal : FConfig.Terminals)
        if (!terminal.Device.empty())
            longestWait = std::max(longestWait, terminal.ModemTimeoutMs);
    params.ApplicationName = SessionName("quorvexsms", longestWait);
    FDatabase->SetParams(params);

    const auto version = FDatabase->ReadParam("DBVER");
    if (FDatabase->Unencrypted())
        WriteLog("Внимание: %s", UnencryptedMessage);
    if (!version)
        throw EServiceError(NoVersionMessage);
    WriteLog("Версия базы данных \"Кворвекс\": %s", version->c_str());
    if (MajorVersion(*version) < MinDatabaseMajor)
        throw EServiceError(FormatMessage(OldVersionFormat, MinDatabaseMajor));

    if (const auto hours = FDatabase->ReadParam("SMSOLDHOURS"))
        FConfig.SmsOldHours = SmsOldHoursOf(*hours);
    if (const auto transliterate = FDatabase->ReadParam("SMSTRANSLITERATE"))
        FConfig.SmsTransliterate = SmsTransliterateOf(*transliterate);
    FSendOldHours.store(FConfig.SmsOldHours);
    if (FConfig.SmsOldHours <= 0)
        WriteLog("Параметр SMSOLDHOURS=%d: срок жизни сообщений истек сразу, SMS не отправляются",
                 FConfig.SmsOldHours);
}

} // namespace qvx
