#ifndef PLANTODBC_H_
#define PLANTODBC_H_

// The plant's database through ODBC (odbc32 on Windows, unixODBC elsewhere): one connection,
// its statements, the driver's messages. Every call is bounded by the login and query time-outs
// it sets, as far as the server answers; a server that stops mid-call (its TCP still taken) is
// noticed through watchCalls by a thread that is not the one stuck. None is made from the
// station's own thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What a failed call left: the SQLSTATE of its first record and the driver's text (every record).
struct OdbcError {
    std::string state;
    std::string message;
    std::string states; // every record's SQLSTATE, one after another
    bool any() const { return !state.empty() || !message.empty(); }
};

// A value bound to a statement's parameter: text (sent as UTF-16, whatever the driver's own
// character set) of at most `width` characters, or a number; nullopt is NULL.
struct OdbcValue {
    enum Kind { TEXT, NUMBER } kind = TEXT;
    std::optional<std::string> text;
    std::optional<int64_t> number;
    size_t width = 0;
    static OdbcValue ofText(std::optional<std::string> t, size_t width) { return {TEXT, std::move(t), {}, width}; }
    static OdbcValue ofNumber(std::optional<int64_t> n) { return {NUMBER, {}, n, 0}; }
};

// A column as a query's result describes it.
struct OdbcColumn {
    std::string name;
    bool text = false;    // a character type
    bool number = false;  // an exact whole number type
};

class OdbcConnection {
  public:
    OdbcConnection();
    ~OdbcConnection();
    OdbcConnection(const OdbcConnection &) = delete;
    OdbcConnection &operator=(const OdbcConnection &) = delete;

    // Connects with the connection string (no dialogue; at most loginSeconds), autocommit off.
    bool connect(const std::string &connection, int loginSeconds, OdbcError &error);
    void disconnect();
    bool connected() const { return dbc_ != nullptr; }
    // Every statement below ends within querySeconds (the driver cancels it past that).
    void setQueryTimeout(int seconds) { queryTimeout_ = seconds; }
    // Runs sql with its parameters bound (never pasted into the text).
    bool execute(const std::string &sql, const std::vector<OdbcValue> &params, OdbcError &error);
    // Runs a query with its parameters; the first column of the first row as a number (nullopt
    // when NULL or no row).
    bool queryNumber(const std::string &sql, const std::vector<OdbcValue> &params, std::optional<int64_t> &value,
                     OdbcError &error);
    // The first column of every row as numbers (NULLs left out).
    bool queryNumbers(const std::string &sql, const std::vector<OdbcValue> &params, std::vector<int64_t> &values,
                      OdbcError &error);
    // The first column of the first row as text in UTF-16 (nullopt when NULL or no row).
    bool queryText(const std::string &sql, const std::vector<OdbcValue> &params, std::optional<std::u16string> &value,
                   OdbcError &error);
    // Every row as its first column, a number (rows where it is NULL left out), and its second,
    // text in UTF-16 (nullopt when NULL).
    bool queryNumberedTexts(const std::string &sql, const std::vector<OdbcValue> &params,
                            std::vector<std::pair<int64_t, std::optional<std::u16string>>> &rows, OdbcError &error);
    // The columns a query's result would have (the query is run: give it no rows).
    bool describe(const std::string &sql, std::vector<OdbcColumn> &columns, OdbcError &error);
    // Whether table has a unique index or key made of exactly these columns (case ignored);
    // nullopt when the driver cannot tell.
    std::optional<bool> uniqueOn(const std::string &table, const std::vector<std::string> &columns);
    // Prepares sql once, as statement `slot` (0 or 1), to be run many times with its parameters.
    bool prepare(size_t slot, const std::string &sql, OdbcError &error);
    bool executePrepared(size_t slot, const std::vector<OdbcValue> &params, OdbcError &error);
    bool commit(OdbcError &error);
    void rollback();
    // While a call into the driver is under way, *since holds when it began (steady clock, ms;
    // never 0), else 0: another thread can tell a call that does not come back.
    void watchCalls(std::atomic<long long> *since) { since_ = since; }

  private:
    struct Call;
    // Runs a query with its parameters, take called on the statement at each row fetched
    // (SQLRETURN, as a short: the header names no ODBC type); false at the first failure.
    bool queryEachRow(const std::string &sql, const std::vector<OdbcValue> &params,
                      const std::function<short(void *statement)> &take, OdbcError &error);
    std::atomic<long long> *since_ = nullptr;
    void *env_ = nullptr;
    void *dbc_ = nullptr;
    void *prepared_[2] = {nullptr, nullptr};
    int queryTimeout_ = 5;
};

// Whether a failed connect says that the driver manager cannot find or load the driver, or
// cannot read the connection string: something to install or fix, not a server to wait for.
bool odbcSetupProblem(const OdbcError &error);
// A unique key's refusal (SQLSTATE class 23: integrity constraint).
bool odbcRefusedAsDuplicate(const OdbcError &error);
// A table that does not exist (42S02, or PostgreSQL's own 42P01).
bool odbcNoSuchTable(const OdbcError &error);

// A refusal of the data itself (SQLSTATE class 22: a value too long, an encoding the database
// cannot hold, out of range): that row, not the connection.
bool odbcRefusedForData(const OdbcError &error);

// UTF-8 to UTF-16 code units, an invalid byte as U+FFFD, cut to at most max units (never
// between the two halves of a pair).
std::u16string odbcUtf16(const std::string &text, size_t max);
// UTF-16 code units to UTF-8 (a lone surrogate as U+FFFD).
std::string odbcUtf8(const std::u16string &text);

#endif
