// TDatabase, the worker thread's access to the accounting database: one libpq connection,
// opened on demand by the first statement that needs it and closed explicitly by the worker,
// and the four statements the service runs. Texts cross this edge converted between the
// connection's UTF-8 and the service's Windows-1251. Used by the worker thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The client library's handles (PGconn, PGresult), named by their tags so that only the
// implementation includes <libpq-fe.h>.
struct pg_conn;
struct pg_result;

namespace qvx {

struct TPgConnCloser {
    void operator()(pg_conn* conn) const noexcept;
};
struct TPgResultCloser {
    void operator()(pg_result* result) const noexcept;
};
using TPgConn = std::unique_ptr<pg_conn, TPgConnCloser>;
using TPgResult = std::unique_ptr<pg_result, TPgResultCloser>;

// Where and as whom to connect; texts are Windows-1251 as read from the INI file.
struct TDbParams {
    std::string Host;
    int32_t Port = 5432;
    std::string DBName;
    std::string UserName;
    std::string Password;
};

// One unsent SMS delivery as the sending pass sees it; a null text or number reads as empty.
// The age is measured by the database's clock, the one that registered the message.
struct TPendingSMS {
    int32_t MsgId = 0;
    std::string Text;
    std::string Telephone;
    double AgeSec = 0;
};

// Statement texts, as sent to the server; $1 is the one bound parameter of each.
extern const char* const SqlParams;
extern const char* const SqlPrepAccInfo;
extern const char* const SqlGetSMS;
extern const char* const SqlMarkSent;

class TDatabase {
public:
    static constexpr int32_t ConnectTimeoutSec = 15;

    TDatabase() = default;
    TDatabase(const TDatabase&) = delete;
    TDatabase& operator=(const TDatabase&) = delete;

    // Takes effect at the next connection; an open connection is closed first.
    void SetParams(const TDbParams& params);
    bool Connected() const noexcept { return FConn != nullptr; }
    // Closes the connection (and with it every statement); the next statement reconnects.
    void Close() noexcept;

    // Every statement below connects when needed and throws EServiceError with the database
    // client's message on any failure.

    // The val of one appconfig row; nullopt when there is no row, "" for a null value.
    std::optional<std::string> ReadParam(const std::string& propId);
    // prepare_acc_info(cellphone): nullopt when no row came back. A null or non-integer
    // result reads as AccInfoUnreadable, which is neither "prepared" nor "no subscriber".
    static constexpr int64_t AccInfoUnreadable = -1;
    std::optional<int64_t> PrepareAccInfo(const std::string& cellphone);
    // Unsent SMS deliveries registered within the last messTtlHours, oldest first.
    std::vector<TPendingSMS> GetSMS(int32_t messTtlHours);
    // Stamps the unsent SMS deliveries of the messages in one statement; rows changed.
    int64_t MarkSent(const std::vector<int32_t>& msgIds);

private:
    pg_conn* Connection();
    // Runs a statement with one text or int4 parameter; throws unless it succeeded with rows
    // (returnsRows) or as a command without them.
    TPgResult Exec(const char* sql, const std::string& value, bool isInteger, bool returnsRows);
    [[noreturn]] void Fail(const char* libpqMessage);

    TDbParams FParams;
    TPgConn FConn;
};

} // namespace qvx
