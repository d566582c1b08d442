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

// How the scripted driver answers the statements it receives.
struct StatementScript {
    std::string match;
    bool prefix = true;                // true: the text starts with `match`; false: equals it
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

// Steers the scripted ODBC driver that the unixODBC driver manager loads for the
// connection strings "Driver={ScriptedDriver};..." and
// "DRIVER=SnowflakeDSIIDriver;...". The driver's state is process-wide.
class ScriptedDriver {
public:
    // The first call points the driver manager at the scripted registry
    // (ODBCSYSINI/ODBCINI) and loads the driver for good; call it before any
    // ODBC call of the process.
    static ScriptedDriver& instance();

    ScriptedDriver(const ScriptedDriver&) = delete;
    ScriptedDriver& operator=(const ScriptedDriver&) = delete;

    // Everything succeeds, no result sets, DBMS name "ScriptedDB", connections
    // alive, journal on and empty, connect/disconnect counts zero.
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
    // times left answers. Unmatched statements succeed without a result set.
    void addStatement(const StatementScript& statement);
    void setJournaling(bool on);

    // Statement texts received by SQLExecDirect, in order.
    std::vector<std::string> journal() const;
    void clearJournal();
    // Connection string the driver got at the last successful connect.
    std::string lastConnectionString() const;
    int connectCount() const;
    int disconnectCount() const;
    // Driver-side handles (environment, connection, statement) not yet freed;
    // a live count, not touched by reset().
    int openHandles() const;

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
