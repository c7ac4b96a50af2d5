#include "plant/PlantOdbc.h"

#include "base/StringOperations.h"

#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <set>

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "ODBC's wide characters are UTF-16 units");

namespace {

// Every record the handle holds after a failed call: the first one's SQLSTATE, all their texts.
OdbcError diagnose(SQLSMALLINT type, SQLHANDLE handle) {
    OdbcError error;
    for (SQLSMALLINT i = 1; i <= 8; ++i) {
        SQLCHAR state[6] = {0};
        SQLCHAR text[1024] = {0};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        const SQLRETURN r = SQLGetDiagRec(type, handle, i, state, &native, text, sizeof text, &length);
        if (!SQL_SUCCEEDED(r)) break;
        if (error.state.empty()) error.state = reinterpret_cast<char *>(state);
        error.states += reinterpret_cast<char *>(state);
        // One line of text: a driver's line ends and tabs become single spaces.
        std::string line;
        for (const char *c = reinterpret_cast<char *>(text); *c != '\0'; ++c)
            if ((unsigned char)*c >= ' ') line += *c;
            else if (!line.empty() && line.back() != ' ') line += ' ';
        while (!line.empty() && line.back() == ' ') line.pop_back();
        if (!line.empty()) error.message += (error.message.empty() ? "" : "; ") + line;
    }
    if (!error.any()) error.message = "the driver gave no reason";
    return error;
}

// A statement handle, freed on every way out.
struct Statement {
    SQLHSTMT handle = SQL_NULL_HSTMT;
    ~Statement() {
        if (handle != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, handle);
    }
};

bool allocate(SQLHDBC dbc, int timeout, Statement &statement, OdbcError &error) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &statement.handle))) {
        statement.handle = SQL_NULL_HSTMT;
        error = diagnose(SQL_HANDLE_DBC, dbc);
        return false;
    }
    SQLSetStmtAttr(statement.handle, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout)),
                   0);
    return true;
}

// The parameters' buffers: they must stay where they are until the statement has run.
struct Bound {
    std::u16string text;
    SQLBIGINT number = 0;
    SQLLEN indicator = 0;
};

bool bind(SQLHSTMT statement, const std::vector<OdbcValue> &params, std::vector<Bound> &bound, OdbcError &error) {
    bound.assign(params.size(), Bound());
    for (size_t i = 0; i < params.size(); ++i) {
        const OdbcValue &p = params[i];
        Bound &b = bound[i];
        SQLRETURN r;
        if (p.kind == OdbcValue::TEXT) {
            const size_t width = std::max<size_t>(p.width, 1);
            if (p.text) b.text = odbcUtf16(*p.text, width);
            b.indicator = p.text ? static_cast<SQLLEN>(b.text.size() * sizeof(char16_t)) : SQL_NULL_DATA;
            b.text.push_back(u'\0');
            r = SQLBindParameter(statement, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR,
                                 SQL_WVARCHAR, width, 0, b.text.data(),
                                 static_cast<SQLLEN>(b.text.size() * sizeof(char16_t)), &b.indicator);
        } else {
            b.number = p.number.value_or(0);
            b.indicator = p.number ? 0 : SQL_NULL_DATA;
            r = SQLBindParameter(statement, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_SBIGINT,
                                 SQL_BIGINT, 0, 0, &b.number, 0, &b.indicator);
        }
        if (!SQL_SUCCEEDED(r)) {
            error = diagnose(SQL_HANDLE_STMT, statement);
            return false;
        }
    }
    return true;
}

SQLCHAR *sqlText(const std::string &text) {
    return reinterpret_cast<SQLCHAR *>(const_cast<char *>(text.c_str()));
}

} // namespace

std::u16string odbcUtf16(const std::string &text, size_t max) {
    std::u16string out;
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        char32_t c = 0xFFFD;
        size_t len = 1;
        const unsigned char b = s[i];
        const auto cont = [&](size_t k) { return i + k < n && (s[i + k] & 0xC0) == 0x80; };
        if (b < 0x80) c = b;
        else if ((b & 0xE0) == 0xC0 && b >= 0xC2 && cont(1)) {
            c = ((b & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
            len = 2;
        } else if ((b & 0xF0) == 0xE0 && cont(1) && cont(2)) {
            c = ((b & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
            len = 3;
            if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        } else if ((b & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
            c = ((b & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
            len = 4;
            if (c < 0x10000 || c > 0x10FFFF) c = 0xFFFD;
        }
        i += len;
        if (c >= 0x10000) {
            if (out.size() + 2 > max) break;
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            if (out.size() + 1 > max) break;
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

std::string odbcUtf8(const std::u16string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        if (c < 0x80) out += (char)c;
        else if (c < 0x800) out += {(char)(0xC0 | (c >> 6)), (char)(0x80 | (c & 0x3F))};
        else if (c < 0x10000)
            out += {(char)(0xE0 | (c >> 12)), (char)(0x80 | ((c >> 6) & 0x3F)), (char)(0x80 | (c & 0x3F))};
        else
            out += {(char)(0xF0 | (c >> 18)), (char)(0x80 | ((c >> 12) & 0x3F)), (char)(0x80 | ((c >> 6) & 0x3F)),
                    (char)(0x80 | (c & 0x3F))};
    }
    return out;
}

bool odbcSetupProblem(const OdbcError &error) {
    // IM...: the driver manager's own (no such data source or driver, a driver it cannot load,
    // a connection string it cannot read); 01S00: an attribute the string cannot have.
    for (size_t i = 0; i + 5 <= error.states.size(); i += 5)
        if (error.states.compare(i, 2, "IM") == 0 || error.states.compare(i, 5, "01S00") == 0) return true;
    // unixODBC tells a driver it cannot load as 01000 alone ("[unixODBC][Driver Manager]Can't
    // open lib"): whatever the driver manager itself refuses, it refuses before any server.
    return error.message.find("Driver Manager]") != std::string::npos;
}

bool odbcRefusedAsDuplicate(const OdbcError &error) { return error.state.rfind("23", 0) == 0; }

bool odbcRefusedForData(const OdbcError &error) { return error.state.rfind("22", 0) == 0; }

bool odbcNoSuchTable(const OdbcError &error) { return error.state == "42S02" || error.state == "42P01"; }

// Marks a call into the driver as under way for the thread that watches it (a call within a
// call, as connect's disconnect, keeps the outer one's start).
struct OdbcConnection::Call {
    std::atomic<long long> *since;
    long long outer = 0;
    explicit Call(std::atomic<long long> *s) : since(s) {
        if (since == nullptr) return;
        const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch()).count();
        outer = since->load();
        if (outer == 0) since->store(now == 0 ? 1 : now);
    }
    ~Call() {
        if (since != nullptr) since->store(outer);
    }
};

OdbcConnection::OdbcConnection() = default;

OdbcConnection::~OdbcConnection() { disconnect(); }

bool OdbcConnection::connect(const std::string &connection, int loginSeconds, OdbcError &error) {
    const Call call(since_);
    disconnect();
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
        error = {"IM004", "the ODBC driver manager could not start", "IM004"};
        return false;
    }
    env_ = env;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        error = diagnose(SQL_HANDLE_ENV, env);
        disconnect();
        return false;
    }
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginSeconds)), 0);
    SQLSetConnectAttr(dbc, SQL_ATTR_CONNECTION_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(queryTimeout_)), 0);
    SQLCHAR out[1024];
    SQLSMALLINT outLength = 0;
    const SQLRETURN r = SQLDriverConnect(dbc, nullptr, sqlText(connection), SQL_NTS, out, sizeof out, &outLength,
                                         SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(r)) {
        error = diagnose(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        disconnect();
        return false;
    }
    dbc_ = dbc;
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF),
                                         SQL_IS_UINTEGER))) {
        error = diagnose(SQL_HANDLE_DBC, dbc);
        disconnect();
        return false;
    }
    return true;
}

void OdbcConnection::disconnect() {
    const Call call(since_);
    for (void *&prepared : prepared_) {
        if (prepared != nullptr) SQLFreeHandle(SQL_HANDLE_STMT, prepared);
        prepared = nullptr;
    }
    if (dbc_ != nullptr) {
        SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
        SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }
    dbc_ = nullptr;
    if (env_ != nullptr) SQLFreeHandle(SQL_HANDLE_ENV, env_);
    env_ = nullptr;
}

bool OdbcConnection::execute(const std::string &sql, const std::vector<OdbcValue> &params, OdbcError &error) {
    const Call call(since_);
    Statement statement;
    std::vector<Bound> bound;
    if (!allocate(dbc_, queryTimeout_, statement, error) || !bind(statement.handle, params, bound, error)) return false;
    const SQLRETURN r = SQLExecDirect(statement.handle, sqlText(sql), SQL_NTS);
    if (SQL_SUCCEEDED(r) || r == SQL_NO_DATA) return true;
    error = diagnose(SQL_HANDLE_STMT, statement.handle);
    return false;
}

bool OdbcConnection::queryNumber(const std::string &sql, const std::vector<OdbcValue> &params,
                                 std::optional<int64_t> &value, OdbcError &error) {
    std::vector<int64_t> values;
    value.reset();
    if (!queryNumbers(sql, params, values, error)) return false;
    if (!values.empty()) value = values.front();
    return true;
}

// Column `column` of the row fetched as a number; nullopt when NULL.
static SQLRETURN numberColumn(SQLHSTMT statement, SQLUSMALLINT column, std::optional<int64_t> &value) {
    SQLBIGINT number = 0;
    SQLLEN indicator = 0;
    const SQLRETURN r = SQLGetData(statement, column, SQL_C_SBIGINT, &number, 0, &indicator);
    value.reset();
    if (SQL_SUCCEEDED(r) && indicator != SQL_NULL_DATA) value = number;
    return r;
}

bool OdbcConnection::queryEachRow(const std::string &sql, const std::vector<OdbcValue> &params,
                                  const std::function<SQLRETURN(void *statement)> &take, OdbcError &error) {
    const Call call(since_);
    Statement statement;
    std::vector<Bound> bound;
    if (!allocate(dbc_, queryTimeout_, statement, error) || !bind(statement.handle, params, bound, error)) return false;
    SQLRETURN r = SQLExecDirect(statement.handle, sqlText(sql), SQL_NTS);
    while (SQL_SUCCEEDED(r) && SQL_SUCCEEDED(r = SQLFetch(statement.handle))) r = take(statement.handle);
    if (r == SQL_NO_DATA) return true;
    error = diagnose(SQL_HANDLE_STMT, statement.handle);
    return false;
}

bool OdbcConnection::queryNumbers(const std::string &sql, const std::vector<OdbcValue> &params,
                                  std::vector<int64_t> &values, OdbcError &error) {
    values.clear();
    return queryEachRow(sql, params, [&](void *statement) {
        std::optional<int64_t> number;
        const SQLRETURN r = numberColumn(statement, 1, number);
        if (number) values.push_back(*number);
        return r;
    }, error);
}

// Column `column` of the row fetched as UTF-16 text, in pieces: each call gives what the last one
// had no room for (01004, truncated). nullopt when NULL.
static SQLRETURN textColumn(SQLHSTMT statement, SQLUSMALLINT column, std::optional<std::u16string> &value) {
    std::u16string text;
    SQLRETURN r = SQL_SUCCESS;
    for (;;) {
        char16_t piece[4097];
        SQLLEN indicator = 0;
        r = SQLGetData(statement, column, SQL_C_WCHAR, piece, sizeof piece, &indicator);
        if (r == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(r)) return r;
        if (indicator == SQL_NULL_DATA) {
            value.reset();
            return SQL_SUCCESS;
        }
        const size_t room = std::size(piece) - 1;
        const size_t units = indicator == SQL_NO_TOTAL || (size_t)indicator / sizeof(char16_t) > room
                                 ? room : (size_t)indicator / sizeof(char16_t);
        text.append(piece, units);
        if (r == SQL_SUCCESS) break;
    }
    value = std::move(text);
    return SQL_SUCCESS;
}

bool OdbcConnection::queryText(const std::string &sql, const std::vector<OdbcValue> &params,
                               std::optional<std::u16string> &value, OdbcError &error) {
    const Call call(since_);
    Statement statement;
    std::vector<Bound> bound;
    value.reset();
    if (!allocate(dbc_, queryTimeout_, statement, error) || !bind(statement.handle, params, bound, error)) return false;
    SQLRETURN r = SQLExecDirect(statement.handle, sqlText(sql), SQL_NTS);
    if (SQL_SUCCEEDED(r)) r = SQLFetch(statement.handle);
    if (r == SQL_NO_DATA) return true;
    if (SQL_SUCCEEDED(r)) r = textColumn(statement.handle, 1, value);
    if (SQL_SUCCEEDED(r)) return true;
    error = diagnose(SQL_HANDLE_STMT, statement.handle);
    return false;
}

bool OdbcConnection::queryNumberedTexts(const std::string &sql, const std::vector<OdbcValue> &params,
                                        std::vector<std::pair<int64_t, std::optional<std::u16string>>> &rows,
                                        OdbcError &error) {
    rows.clear();
    return queryEachRow(sql, params, [&](void *statement) {
        std::optional<int64_t> number;
        std::optional<std::u16string> text;
        SQLRETURN r = numberColumn(statement, 1, number);
        if (SQL_SUCCEEDED(r)) r = textColumn(statement, 2, text);
        if (SQL_SUCCEEDED(r) && number) rows.emplace_back(*number, std::move(text));
        return r;
    }, error);
}

bool OdbcConnection::describe(const std::string &sql, std::vector<OdbcColumn> &columns, OdbcError &error) {
    const Call call(since_);
    Statement statement;
    columns.clear();
    if (!allocate(dbc_, queryTimeout_, statement, error)) return false;
    SQLSMALLINT count = 0;
    if (!SQL_SUCCEEDED(SQLExecDirect(statement.handle, sqlText(sql), SQL_NTS)) ||
        !SQL_SUCCEEDED(SQLNumResultCols(statement.handle, &count))) {
        error = diagnose(SQL_HANDLE_STMT, statement.handle);
        return false;
    }
    for (SQLSMALLINT i = 1; i <= count; ++i) {
        SQLCHAR name[256] = {0};
        SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        if (!SQL_SUCCEEDED(SQLDescribeCol(statement.handle, i, name, sizeof name, &nameLength, &type, &size, &digits,
                                          &nullable))) {
            error = diagnose(SQL_HANDLE_STMT, statement.handle);
            return false;
        }
        OdbcColumn column;
        column.name = reinterpret_cast<char *>(name);
        column.text = type == SQL_CHAR || type == SQL_VARCHAR || type == SQL_LONGVARCHAR || type == SQL_WCHAR ||
                      type == SQL_WVARCHAR || type == SQL_WLONGVARCHAR;
        column.number = type == SQL_INTEGER || type == SQL_BIGINT || type == SQL_SMALLINT ||
                        ((type == SQL_NUMERIC || type == SQL_DECIMAL) && digits == 0);
        columns.push_back(column);
    }
    return true;
}

std::optional<bool> OdbcConnection::uniqueOn(const std::string &table, const std::vector<std::string> &columns) {
    const Call call(since_);
    std::set<std::string> wanted;
    for (const std::string &c : columns) wanted.insert(lowerCase(c));
    // Names as given, then folded to lower case (PostgreSQL folds names written without quotes).
    for (const std::string &name : {table, lowerCase(table)}) {
        Statement statement;
        OdbcError error;
        if (!allocate(dbc_, queryTimeout_, statement, error)) return std::nullopt;
        if (!SQL_SUCCEEDED(SQLStatistics(statement.handle, nullptr, 0, nullptr, 0, sqlText(name), SQL_NTS,
                                         SQL_INDEX_UNIQUE, SQL_QUICK)))
            return std::nullopt;
        std::map<std::string, std::set<std::string>> indexes;
        while (SQL_SUCCEEDED(SQLFetch(statement.handle))) {
            SQLCHAR index[256] = {0}, column[256] = {0};
            SQLSMALLINT type = 0;
            SQLLEN indexLength = 0, columnLength = 0, typeLength = 0;
            SQLGetData(statement.handle, 7, SQL_C_SSHORT, &type, 0, &typeLength);
            SQLGetData(statement.handle, 6, SQL_C_CHAR, index, sizeof index, &indexLength);
            SQLGetData(statement.handle, 9, SQL_C_CHAR, column, sizeof column, &columnLength);
            if (type == SQL_TABLE_STAT || indexLength == SQL_NULL_DATA || columnLength == SQL_NULL_DATA) continue;
            indexes[reinterpret_cast<char *>(index)].insert(lowerCase(reinterpret_cast<char *>(column)));
        }
        if (indexes.empty()) continue;
        return std::any_of(indexes.begin(), indexes.end(), [&](const auto &index) { return index.second == wanted; });
    }
    return false;
}

bool OdbcConnection::prepare(size_t slot, const std::string &sql, OdbcError &error) {
    const Call call(since_);
    void *&prepared = prepared_[slot];
    if (prepared != nullptr) SQLFreeHandle(SQL_HANDLE_STMT, prepared);
    prepared = nullptr;
    Statement statement;
    if (!allocate(dbc_, queryTimeout_, statement, error)) return false;
    if (!SQL_SUCCEEDED(SQLPrepare(statement.handle, sqlText(sql), SQL_NTS))) {
        error = diagnose(SQL_HANDLE_STMT, statement.handle);
        return false;
    }
    prepared = statement.handle;
    statement.handle = SQL_NULL_HSTMT;
    return true;
}

bool OdbcConnection::executePrepared(size_t slot, const std::vector<OdbcValue> &params, OdbcError &error) {
    const Call call(since_);
    void *prepared = prepared_[slot];
    std::vector<Bound> bound;
    if (!bind(prepared, params, bound, error)) return false;
    const SQLRETURN r = SQLExecute(prepared);
    const bool done = SQL_SUCCEEDED(r) || r == SQL_NO_DATA;
    if (!done) error = diagnose(SQL_HANDLE_STMT, prepared); // before the close clears it
    SQLFreeStmt(prepared, SQL_CLOSE);
    return done;
}

bool OdbcConnection::commit(OdbcError &error) {
    const Call call(since_);
    if (SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_COMMIT))) return true;
    error = diagnose(SQL_HANDLE_DBC, dbc_);
    return false;
}

void OdbcConnection::rollback() {
    const Call call(since_);
    if (dbc_ != nullptr) SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
}
