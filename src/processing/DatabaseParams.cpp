#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/Error.h"
#include "processing/WorkThread.h"

namespace qvx {

namespace {

constexpr int32_t MinDatabaseMajor = 2;

// The major number of a version text "major.minor": the text before the first point, read
// as an integer; no point or no number gives 0.
int64_t MajorVersion(const std::string& version) {
    const size_t point = version.find('.');
    if (point == std::string::npos)
        return 0;
    return ParseInt64(std::string_view(version).substr(0, point)).value_or(0);
}

void RequireSetting(const std::string& value, const char* message) {
    if (value.empty())
        throw EServiceError(message);
}

} // namespace

void TWorkThread::LoadDatabaseParams() {
    RequireSetting(FConfig.Host, "Не задан адрес сервера базы данных (параметр 'Host')");
    RequireSetting(FConfig.DBName, "Не задано имя базы данных (параметр 'DBName')");
    RequireSetting(FConfig.UserName,
                   "Не задано имя пользователя базы данных (параметр 'UserName')");
    FDatabase->SetParams(
        {FConfig.Host, FConfig.Port, FConfig.DBName, FConfig.UserName, FConfig.Password});
    struct TCloseAtEnd {
        TDatabase& Database;
        ~TCloseAtEnd() { Database.Close(); }
    } closeAtEnd{*FDatabase};

    const auto version = FDatabase->ReadParam("DBVER");
    if (!version)
        throw EServiceError("Отсутствует информация о версии базы данных");
    WriteLog("Версия базы данных \"Кворвекс\": %s", version->c_str());
    if (MajorVersion(*version) < MinDatabaseMajor)
        throw EServiceError(
            FormatMessage("Версия базы данных должна быть не ниже %d.00", MinDatabaseMajor));

    if (const auto hours = FDatabase->ReadParam("SMSOLDHOURS"))
        FConfig.SmsOldHours = ParseInt32(*hours).value_or(DefaultSmsOldHours);
    if (const auto transliterate = FDatabase->ReadParam("SMSTRANSLITERATE"))
        FConfig.SmsTransliterate = ParseInt64(*transliterate).value_or(0) != 0;
}

} // namespace qvx
