// How the service judges the database parameters it reads at start-up and the settings the
// connection needs. Pure functions, shared by the worker's start-up and the operator's check,
// so that both reach the same verdict.
#pragma once

#include "infra/Config.h"
#include "infra/Decimal.h"
#include "processing/Database.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
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

// Whether the server refused a statement (its SQLSTATE) because the server, the session or the
// schema cannot work now, which another try later mends for every row and request alike: a lost
// connection (08), a read-only or aborted transaction (25), authorization (28), a missing
// database or schema (3D, 3F), a deadlock or serialization conflict (40), a missing privilege,
// function, table or column (42), the server's resources (53, 54), a lock not granted in time or
// an object not ready (55), a cancel or shutdown (57), a system or configuration error (58, F0),
// an internal error (XX).
inline bool ServerNotReady(std::string_view sqlState) {
    static constexpr std::string_view Classes[] = {"08", "25", "28", "3D", "3F", "40", "42",
                                                   "53", "54", "55", "57", "58", "F0", "XX"};
    const std::string_view sqlClass = sqlState.substr(0, 2);
    return std::find(std::begin(Classes), std::end(Classes), sqlClass) != std::end(Classes);
}

// Whether a refused statement was refused for its own data (a function that raised for this
// request, a trigger or constraint on this row), so that its rows are worth trying one by one
// and a request that raised is not worth trying again.
inline bool RowLevelRefusal(std::string_view sqlState) {
    return sqlState.size() == 5 && !ServerNotReady(sqlState);
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
