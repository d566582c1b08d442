#ifndef TESTS_SUPPORT_SCRIPTED_DRIVER_H
#define TESTS_SUPPORT_SCRIPTED_DRIVER_H

#include <sql.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace varnholt {
namespace test {

struct DiagRecord {
    std::string sqlState;  // empty: no record at all
    int32_t nativeError = 0;
    std::string message;
};

inline bool operator==(const DiagRecord& a, const DiagRecord& b) {
    return a.sqlState == b.sqlState && a.nativeError == b.nativeError && a.message == b.message;
}

// For GoogleTest failure messages.
inline void PrintTo(const DiagRecord& record, std::ostream* out) {
    *out << record.sqlState << "/" << record.nativeError << "/" << record.message;
}

// How the scripted driver answers the statements it receives. A request of several statements
// (cut at ';' outside literals, quoted identifiers and $$ strings) is matched and journaled
// statement by statement.
struct StatementScript {
    std::string match;
    bool prefix = true;     // true: the text starts with `match`; false: equals it
    bool contains = false;  // true: the text holds `match` anywhere (`prefix` is then ignored)
    int16_t returnCode = SQL_SUCCESS;  // of SQLExecDirect
    std::vector<DiagRecord> diagnostics;
    std::vector<std::string> columns;                           // empty: no result set
    std::vector<std::vector<std::optional<std::string>>> rows;  // nullopt: SQL NULL
    bool failNumResultCols = false;
    std::vector<int> failDescribeColumns;          // 1-based
    std::vector<std::pair<int, int>> failGetData;  // (row, column), 1-based
    int times = -1;                                // statements this entry answers; -1: unlimited
    bool killConnection = false;                   // the connection reports itself dead afterwards
};

// Calls without a statement text that the driver journals, as "[autocommit off]",
// "[autocommit on]", "[commit]" and "[rollback]" in order with the statements:
// SQLSetConnectAttr(SQL_ATTR_AUTOCOMMIT) and SQLEndTran (SQL_HANDLE_DBC or SQL_HANDLE_ENV).
enum class TransactionCall { AUTOCOMMIT_OFF, AUTOCOMMIT_ON, COMMIT, ROLLBACK };

// How the driver takes a request of several statements and the Snowflake driver's statement
// attribute SQL_SF_STMT_ATTR_MULTI_STATEMENT_COUNT (value: the count, as (SQLPOINTER)n).
enum class MultiStatementMode {
    // Accepts the attribute; it holds for the handle's later requests. A request runs only
    // when its statement count equals the attribute (1 when never set), else SQLExecDirect
    // fails with 0A000, native 8: "Actual statement count N did not match the desired
    // statement count M."
    SNOWFLAKE,
    // Refuses the attribute (HYC00) and runs a request of several statements as it is.
    POSTGRES,
    // Refuses the attribute (HY092) and any request of more than one statement (42601).
    SINGLE,
    // Takes the attribute without a word and ignores it, as some versions of the Snowflake
    // driver do: a request of several statements fails as in SNOWFLAKE with a desired count of
    // 1, until the connection's session ran "ALTER SESSION SET MULTI_STATEMENT_COUNT = 0".
    SESSION,
};

// Steers the scripted ODBC driver that the unixODBC driver manager loads for the
// connection strings "Driver={ScriptedDriver};..." and
// "DRIVER=SnowflakeDSIIDriver;...". The driver's state is process-wide.
class ScriptedDriver {
public:
    // The Snowflake driver's statement attribute for the statement count of a request.
    static constexpr SQLINTEGER MULTI_STATEMENT_COUNT_ATTRIBUTE = 16648;

    // The first call points the driver manager at the scripted registry
    // (ODBCSYSINI/ODBCINI) and loads the driver for good; call it before any
    // ODBC call of the process.
    static ScriptedDriver& instance();

    ScriptedDriver(const ScriptedDriver&) = delete;
    ScriptedDriver& operator=(const ScriptedDriver&) = delete;

    // Everything succeeds, no result sets, DBMS name "ScriptedDB", connections
    // alive, journal on and empty, connect/disconnect counts zero, multi-statement mode
    // POSTGRES, Snowflake's limits on.
    void reset();
    void setConnectResult(int16_t returnCode, const DiagRecord& diag = {});
    void setDbmsName(const std::string& name, int16_t returnCode = SQL_SUCCESS);
    // Also revives connections that a killConnection statement marked dead.
    void setConnectionDead(bool dead);
    // Return code of SQLGetConnectAttr(SQL_ATTR_CONNECTION_DEAD).
    void setConnectAttrResult(int16_t returnCode, const DiagRecord& diag = {});
    // Outcome of SQLAllocHandle(SQL_HANDLE_STMT); the record goes to the connection.
    void setAllocStatementResult(int16_t returnCode, const DiagRecord& diag = {});
    // Entries are tried in the order added; the first that matches and has
    // times left answers. Unmatched statements succeed without a result set, except two that
    // Snowflake answers: "SELECT CURRENT_SESSION()" gives 1000 plus the connection's number,
    // and a count of a session's queries in the query history ("SELECT COUNT(*) FROM
    // TABLE(INFORMATION_SCHEMA.QUERY_HISTORY_BY_SESSION(...") gives 0.
    //
    // A request's statements run in order up to the first that fails. When one fails,
    // SQLExecDirect fails with its records, as Snowflake's driver does; when all ran,
    // SQLExecDirect returns the first statement's outcome and each SQLMoreResults moves to the
    // next statement's result, SQL_NO_DATA after the last. Statements after a failed one are
    // neither run nor journaled; a request refused as a whole (statement count, Snowflake's
    // limits) journals nothing. SQLRowCount: the rows of a scripted result set, else the number of
    // VALUES rows of an INSERT, else 0.
    void addStatement(const StatementScript& statement);
    void setJournaling(bool on);

    // Outcome of the next `times` calls of the kind (-1: all of them); afterwards the call
    // succeeds again. killConnection: the connection reports itself dead afterwards. Through
    // SQL_HANDLE_ENV the driver manager ends each connection's transaction on its own and
    // reports a failure as its own 25S01 on the environment. Warnings do not survive: after a
    // successful SQLEndTran the manager's own SQLGetInfo calls clear the connection's
    // records, as they would with any driver.
    void setTransactionResult(TransactionCall call, int16_t returnCode, const DiagRecord& diag = {},
                              bool killConnection = false, int times = -1);
    void setMultiStatementMode(MultiStatementMode mode);
    // On: a statement with more than 16,384 VALUES rows, or a request of more than 1 MiB
    // (1,048,576 bytes) of text, fails with 42601, native 1795; the row limit is checked per
    // statement as it runs, the byte limit for the whole request before anything runs.
    // Messages: "maximum number of expressions in a list exceeded, expected at most 16,384,
    // got N" and "maximum statement size exceeded, expected at most 1,048,576 bytes, got N".
    void setSnowflakeLimits(bool on);

    // Statement texts received by SQLExecDirect, one per statement of a request, and the
    // pseudo-entries of the TransactionCall calls, in order.
    std::vector<std::string> journal() const;
    void clearJournal();
    // Connection string the driver got at the last successful connect.
    std::string lastConnectionString() const;
    int connectCount() const;
    int disconnectCount() const;
    // Driver-side handles (environment, connection, statement) not yet freed;
    // a live count, not touched by reset().
    int openHandles() const;
    // Calls of the driver's function of that name since reset() or clearCallCounts():
    // "SQLExecDirect", "SQLMoreResults", "SQLFetch", "SQLEndTran", and
    // "SQLSetConnectAttr(SQL_ATTR_AUTOCOMMIT)" for autocommit switches.
    int callCount(const std::string& function) const;
    void clearCallCounts();

    static std::string connectionString(const std::string& extra = "");

    // Applies a raw JSON script as the driver reads it; throws std::runtime_error
    // with the driver's message when it is invalid.
    void load(const std::string& json);

private:
    ScriptedDriver();

    template <typename F>
    F symbol(const char* name) const;

    void* library = nullptr;
};

}  // namespace test
}  // namespace varnholt

#endif
