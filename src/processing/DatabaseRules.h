// How the service judges the database parameters it reads at start-up and the settings the
// connection needs. Pure functions, shared by the worker's start-up and the operator's check,
// so that both reach the same verdict.
#pragma once

#include "infra/Config.h"
#include "infra/Decimal.h"
#include "processing/Database.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qvx {

constexpr int32_t MinDatabaseMajor = 2;
constexpr const char* NoVersionMessage = "Отсутствует информация о версии базы данных";
// Formatted with MinDatabaseMajor.
constexpr const char* OldVersionFormat = "Версия базы данных должна быть не ниже %d.00";

// The major number of a version text "major.minor": the text before the first point, read
// as an integer; no point or no number gives 0.
inline int64_t MajorVersion(const std::string& version) {
    const size_t point = version.find('.');
    if (point == std::string::npos)
        return 0;
    return ParseInt64(std::string_view(version).substr(0, point)).value_or(0);
}

// The hours of an SMSOLDHOURS value; a value that is not an integer gives the default.
inline int32_t SmsOldHoursOf(const std::string& value) {
    return ParseInt32(value).value_or(DefaultSmsOldHours);
}

// An SMSTRANSLITERATE value switches transliteration on when it is a non-zero integer.
inline bool SmsTransliterateOf(const std::string& value) {
    return ParseInt64(value).value_or(0) != 0;
}

// The sslmode values libpq knows, compared exactly as libpq does.
constexpr std::array<const char*, 6> SslModes = {"disable", "allow",     "prefer",
                                                 "require", "verify-ca", "verify-full"};

inline bool IsSslMode(const std::string& value) {
    for (const char* mode : SslModes)
        if (value == mode)
            return true;
    return false;
}

// The error for an SSLMode value libpq would refuse, naming the value and the choices.
inline std::string SslModeMessage(const std::string& value) {
    std::string choices;
    for (const char* mode : SslModes)
        choices += (choices.empty() ? "" : ", ") + std::string(mode);
    return "Недопустимое значение параметра 'SSLMode': \"" + value + "\" (допустимы " + choices +
           ")";
}

// Said at the start and by the check when the connection crosses a network in plain text.
constexpr const char* UnencryptedMessage =
    "соединение с базой данных не зашифровано; чтобы требовать TLS и проверять сервер, задайте "
    "SSLMode=verify-full и SSLRootCert";

// Whether a statement the server refused (its SQLSTATE) was refused for its own data, so that
// its rows are worth trying one by one and a request that raised is not worth trying again:
// not a lost connection or a server that cannot work now (08, 53, 57, 58), not a deadlock or a
// serialization conflict (40), not a lock that was not granted in time (55P03), all of which
// another try later mends for every row and request alike.
inline bool RowLevelRefusal(std::string_view sqlState) {
    if (sqlState.size() != 5 || sqlState == "55P03")
        return false;
    const std::string_view sqlClass = sqlState.substr(0, 2);
    return sqlClass != "08" && sqlClass != "40" && sqlClass != "53" && sqlClass != "57" &&
           sqlClass != "58";
}

// The connection settings of a configuration.
inline TDbParams DbParamsOf(const TConfig& config) {
    TDbParams params;
    params.Host = config.Host;
    params.Port = config.Port;
    params.DBName = config.DBName;
    params.UserName = config.UserName;
    params.Password = config.Password;
    params.SSLMode = config.SSLMode;
    params.SSLRootCert = config.SSLRootCert;
    return params;
}

// A connection setting that must not be empty, and the error that names it.
struct TRequiredSetting {
    std::string TConfig::*Field;
    const char* Message;
};

// In the order they are checked; the worker reports the first one missing.
constexpr std::array<TRequiredSetting, 3> RequiredDatabaseSettings = {{
    {&TConfig::Host, "Не задан адрес сервера базы данных (параметр 'Host')"},
    {&TConfig::DBName, "Не задано имя базы данных (параметр 'DBName')"},
    {&TConfig::UserName, "Не задано имя пользователя базы данных (параметр 'UserName')"},
}};

} // namespace qvx
