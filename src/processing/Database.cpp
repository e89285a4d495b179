#include "processing/Database.h"

#include "infra/Codepage.h"
#include "infra/Decimal.h"
#include "infra/LogFile.h"
#include "processing/Error.h"

#include <charconv>
#include <ctime>
#include <libpq-fe.h>
#include <set>

namespace qvx {

void TPgConnCloser::operator()(PGconn* conn) const noexcept {
    PQfinish(conn);
}

void TPgResultCloser::operator()(PGresult* result) const noexcept {
    PQclear(result);
}

const char* const SqlParams = "SELECT val\n"
                              "FROM appconfig\n"
                              "WHERE propid = $1";

const char* const SqlPrepAccInfo = "SELECT prepare_acc_info($1)";

// The text is cut one character beyond the longest that can be sent, so that a longer one
// still reads as too long; a number too long to be one reads as null, never cut into another.
const char* const SqlGetSMS =
    "SELECT m.msgid, left(m.msgtext, 39016) AS msgtext,\n"
    "  CASE WHEN char_length(a.cellphone) <= 256 THEN a.cellphone END AS cellphone,\n"
    "  EXTRACT(EPOCH FROM LOCALTIMESTAMP - m.regdt) AS agesec\n"
    "FROM msglog m\n"
    "JOIN msgdelivery md ON m.msgid = md.msgid\n"
    "JOIN abonents a ON m.abonentid = a.abonentid\n"
    "WHERE md.chanid = 0 AND md.sentdt IS NULL AND\n"
    "  m.regdt > (LOCALTIMESTAMP - $1 * interval '1 hour')\n"
    "ORDER BY m.regdt, m.msgid";

// The rows of one read are kept by the server and fetched a page at a time: one statement
// and one snapshot, as a single read would have, without the client holding them all. WITH
// HOLD lets the stamps of the pass run between two pages. A cursor left open by a pass that
// was broken off is closed before the next one is declared.
const std::string SqlClosePending = "CLOSE ALL";
const std::string SqlOpenPending =
    std::string("DECLARE qvx_pending NO SCROLL CURSOR WITH HOLD FOR ") + SqlGetSMS;
const std::string SqlFetchPending =
    "FETCH FORWARD " + std::to_string(TDatabase::PendingPageRows) + " FROM qvx_pending";

// $1 is an int4 array in its text form, such as {17,18}.
const char* const SqlMarkSent = "UPDATE msgdelivery\n"
                                "SET sentdt = LOCALTIMESTAMP\n"
                                "WHERE msgid = ANY($1::int4[]) AND chanid = 0 AND sentdt IS NULL";

const char* const SqlPrivileges =
    "SELECT has_table_privilege($1::text, 'UPDATE') AS may_update,\n"
    "       has_function_privilege('prepare_acc_info(text)', 'EXECUTE') AS may_execute";

// A message is claimed by locking it first, and then reading its row in a later statement: a
// lock call inside WHERE or LIMIT may run for rows the statement then leaves out, and such a
// lock would stay taken unseen. Each id of the array is locked once. $1 is an int4 array in
// its text form, $2 the lock class.
const char* const SqlTryLocks =
    "SELECT id, pg_try_advisory_lock($2, id) AS locked FROM unnest($1::int4[]) AS id";
// Unsent as the sending pass reads it and the stamp changes it.
const char* const SqlUnsent = "SELECT msgid FROM msgdelivery\n"
                              "WHERE msgid = ANY($1::int4[]) AND chanid = 0 AND sentdt IS NULL";
const char* const SqlUnlocks =
    "SELECT pg_advisory_unlock($2, id) AS unlocked FROM unnest($1::int4[]) AS id";

namespace {

// Type oids of the bound parameters (pg_type): the server then never has to guess.
constexpr Oid TextOid = 25;
constexpr Oid Int4Oid = 23;

// A database text as the service keeps it; a null value reads as empty.
std::string ValueAt(const PGresult* result, int row, int column) {
    if (column < 0 || PQgetisnull(result, row, column))
        return {};
    return Utf8ToCp1251(std::string_view(PQgetvalue(result, row, column),
                                         static_cast<size_t>(PQgetlength(result, row, column))));
}

// A number of seconds as the server writes it ("1800.25"); 0 for a null or anything else.
double SecondsAt(const PGresult* result, int row, int column) {
    const char* text = PQgetvalue(result, row, column);
    double seconds = 0;
    std::from_chars(text, text + PQgetlength(result, row, column), seconds);
    return seconds;
}

// ids as an int4 array in its text form, such as {17,18}.
std::string IdArray(const std::vector<int32_t>& ids) {
    std::string list = "{";
    for (const int32_t id : ids) {
        if (list.size() > 1)
            list += ',';
        list += std::to_string(id);
    }
    return list + "}";
}

bool TrueAt(const PGresult* result, int row, int column) {
    return !PQgetisnull(result, row, column) && PQgetvalue(result, row, column)[0] == 't';
}

int ColumnOf(const PGresult* result, const char* name) {
    const int column = PQfnumber(result, name);
    if (column < 0)
        throw EServiceError(std::string("В результате запроса нет столбца ") + name);
    return column;
}

} // namespace

TPgResult TDatabase::Exec(const char* sql, const std::string& value, bool isInteger,
                          bool returnsRows) {
    PGconn* conn = Connection();
    const std::string bound = isInteger ? value : Cp1251ToUtf8(value);
    const Oid type = isInteger ? Int4Oid : TextOid;
    const char* const values[] = {bound.c_str()};
    return Run(conn, sql, 1, &type, values, returnsRows);
}

std::optional<std::string> TDatabase::ReadParam(const std::string& propId) {
    const TPgResult result = Exec(SqlParams, propId, false, true);
    if (PQntuples(result.get()) == 0)
        return std::nullopt;
    return ValueAt(result.get(), 0, ColumnOf(result.get(), "val"));
}

std::optional<int64_t> TDatabase::PrepareAccInfo(const std::string& cellphone) {
    const TPgResult result = Exec(SqlPrepAccInfo, cellphone, false, true);
    if (PQntuples(result.get()) == 0 || PQnfields(result.get()) == 0)
        return std::nullopt;
    if (PQgetisnull(result.get(), 0, 0))
        return AccInfoUnreadable;
    return ParseInt64(PQgetvalue(result.get(), 0, 0)).value_or(AccInfoUnreadable);
}

std::vector<TPendingSMS> TDatabase::GetSMSPage(int32_t messTtlHours, TPendingCursor& cursor) {
    if (cursor.End)
        return {};
    if (!cursor.Open) {
        Run(Connection(), SqlClosePending.c_str(), 0, nullptr, nullptr, false);
        Exec(SqlOpenPending.c_str(), std::to_string(messTtlHours), true, false);
        cursor.Open = true;
    }
    const TPgResult result = Run(Connection(), SqlFetchPending.c_str(), 0, nullptr, nullptr, true);
    const PGresult* rows = result.get();
    const int idColumn = ColumnOf(rows, "msgid");
    const int textColumn = ColumnOf(rows, "msgtext");
    const int phoneColumn = ColumnOf(rows, "cellphone");
    const int ageColumn = ColumnOf(rows, "agesec");
    const int count = PQntuples(rows);
    std::vector<TPendingSMS> pending;
    pending.reserve(static_cast<size_t>(count));
    for (int row = 0; row < count; ++row) {
        // A row the service cannot name (an id outside int32, a null) is passed over alone:
        // the rest of the pass goes on.
        const auto id = ParseInt32(PQgetvalue(rows, row, idColumn));
        if (!id) {
            WriteLog("Недопустимый идентификатор сообщения в базе данных: '%s', строка пропущена",
                     PQgetvalue(rows, row, idColumn));
            continue;
        }
        pending.push_back({*id, ValueAt(rows, row, textColumn), ValueAt(rows, row, phoneColumn),
                           SecondsAt(rows, row, ageColumn)});
    }
    if (count < PendingPageRows) {
        Run(Connection(), SqlClosePending.c_str(), 0, nullptr, nullptr, false);
        cursor.End = true;
    }
    return pending;
}

std::vector<TPendingSMS> TDatabase::GetSMS(int32_t messTtlHours) {
    std::vector<TPendingSMS> pending;
    for (TPendingCursor cursor; !cursor.End;) {
        std::vector<TPendingSMS> page = GetSMSPage(messTtlHours, cursor);
        pending.insert(pending.end(), std::make_move_iterator(page.begin()),
                       std::make_move_iterator(page.end()));
    }
    return pending;
}

std::vector<std::string> TDatabase::MissingPrivileges() {
    const TPgResult result = Exec(SqlPrivileges, "msgdelivery", false, true);
    std::vector<std::string> missing;
    if (PQntuples(result.get()) != 1)
        throw EDatabaseError("Нет ответа на запрос прав пользователя");
    if (ValueAt(result.get(), 0, ColumnOf(result.get(), "may_update")) != "t")
        missing.push_back("UPDATE msgdelivery");
    if (ValueAt(result.get(), 0, ColumnOf(result.get(), "may_execute")) != "t")
        missing.push_back("EXECUTE prepare_acc_info");
    return missing;
}

int64_t TDatabase::MarkSent(const std::vector<int32_t>& msgIds) {
    const TPgResult result = Exec(SqlMarkSent, IdArray(msgIds), false, false);
    return ParseInt64(PQcmdTuples(result.get())).value_or(0);
}

TPgResult TDatabase::ExecIds(const char* sql, const std::vector<int32_t>& ids, int32_t lockClass) {
    PGconn* conn = Connection();
    const std::string list = IdArray(ids);
    const std::string lockClassText = std::to_string(lockClass);
    const Oid types[] = {TextOid, Int4Oid};
    const char* const values[] = {list.c_str(), lockClassText.c_str()};
    return Run(conn, sql, 2, types, values, true);
}

std::vector<int32_t> TDatabase::TryLocks(int32_t lockClass, const std::vector<int32_t>& ids) {
    const TPgResult result = ExecIds(SqlTryLocks, ids, lockClass);
    const PGresult* rows = result.get();
    const int idColumn = ColumnOf(rows, "id");
    const int lockedColumn = ColumnOf(rows, "locked");
    std::vector<int32_t> locked;
    for (int row = 0; row < PQntuples(rows); ++row) {
        const std::optional<int32_t> id = ParseInt32(PQgetvalue(rows, row, idColumn));
        if (id && TrueAt(rows, row, lockedColumn))
            locked.push_back(*id);
    }
    return locked;
}

int64_t TDatabase::Unlock(int32_t lockClass, const std::vector<int32_t>& ids) {
    const TPgResult result = ExecIds(SqlUnlocks, ids, lockClass);
    const int column = ColumnOf(result.get(), "unlocked");
    int64_t unlocked = 0;
    for (int row = 0; row < PQntuples(result.get()); ++row)
        unlocked += TrueAt(result.get(), row, column) ? 1 : 0;
    return unlocked;
}

std::vector<int32_t> TDatabase::Unsent(const std::vector<int32_t>& ids) {
    const TPgResult result = Exec(SqlUnsent, IdArray(ids), false, true);
    const int column = ColumnOf(result.get(), "msgid");
    std::set<int32_t> unsent;
    for (int row = 0; row < PQntuples(result.get()); ++row)
        if (const std::optional<int32_t> id = ParseInt32(PQgetvalue(result.get(), row, column)))
            unsent.insert(*id);
    std::vector<int32_t> kept;
    for (const int32_t id : ids)
        if (unsent.count(id) != 0)
            kept.push_back(id);
    return kept;
}

} // namespace qvx
