#ifndef CLIENT_ODBC_CLIENT_H
#define CLIENT_ODBC_CLIENT_H

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>
#include <vector>

#include "client/database_type.h"
#include "client/statement_error.h"

// Connection status codes returned by Connect.
constexpr int TOLVANE_ODBC_SUCCESS = 0;
constexpr int TOLVANE_ODBC_EAGAIN = 1;
constexpr int TOLVANE_ODBC_FAILED = 2;

struct QueryResult {
    bool success = false;
    std::vector<std::vector<std::string>> rows;
};

// Whether a request's callers need the rows its statements return. Each further result is a
// round trip of its own with Snowflake's driver, so a request whose results nobody reads is
// not walked: the execute call's answer covers all of its statements.
enum class Results { Skip, Read };

// The outcome of a request that carries one or more statements.
struct RequestResult {
    bool success = false;
    // Statements that ran and succeeded, in order; on failure the next one is the one that
    // failed (or, when the request could not be sent at all, the first).
    size_t completed = 0;
    // The result rows of each completed statement.
    std::vector<QueryResult> results;
    // Set when the statement count attribute was asked for and the driver refused it.
    bool countAttributeRefused = false;
};

struct QueryResultEx {
    bool retriable = false;
    bool success = false;
    std::vector<std::vector<std::string>> rows;
};

// The plugin's only door to the database: one ODBC environment and one connection.
class ODBCClient {
public:
    ODBCClient();
    virtual ~ODBCClient();
    ODBCClient(const ODBCClient&) = delete;
    ODBCClient& operator=(const ODBCClient&) = delete;

    virtual void Init();
    virtual int Connect(const std::string& connectionString);
    virtual bool isConnected();
    virtual std::string getDatabaseProductName();
    // The product's version as the driver reports it; empty when it cannot say.
    virtual std::string getDatabaseVersion();
    // How long the next Connect waits for the database to answer; between Init and Connect.
    virtual bool setLoginTimeout(unsigned seconds);
    virtual std::string getDatabaseType();
    virtual DatabaseType getDatabaseTypeEnum();
    virtual void cacheDatabaseType();
    virtual bool isDatabaseTypeCached() const;
    virtual QueryResult executeQuery(const std::string& query);
    virtual QueryResultEx executeQueryEx(const std::string& query);
    virtual void Destroy();

    // Transactions: begin switches autocommit off; commit and rollback end the transaction and
    // switch autocommit back on. Each returns false with lastError() set when the driver fails;
    // after a failed commit or rollback autocommit stays off (see Transaction).
    virtual bool beginTransaction();
    virtual bool commitTransaction();
    virtual bool rollbackTransaction();
    // Runs `text` (`length` bytes, which need not end in a NUL), which holds `statementCount`
    // statements, as one request. With Results::Read the result of every statement is read; with
    // Results::Skip a successful execute counts for every statement and nothing more is asked.
    // With a non-zero `countAttribute` the statement count is set first through that driver
    // statement attribute (drivers that run several statements in one request only when told
    // how many). Never throws for a failed statement: the result says how far the request got
    // and lastError() why it stopped.
    virtual RequestResult executeRequest(const char* text, size_t length, size_t statementCount,
                                         SQLINTEGER countAttribute, Results results);
    RequestResult executeRequest(const std::string& text, size_t statementCount,
                                 SQLINTEGER countAttribute, Results results = Results::Read) {
        return executeRequest(text.data(), text.size(), statementCount, countAttribute, results);
    }
    // The first diagnostic record of the last failed call (a failed Connect included).
    const StatementError& lastError() const { return lastFailure; }
    // The database product's name as the driver reports it, without logging; empty when the
    // driver cannot say.
    std::string productName();

    void handleDiagnosticRecord(SQLHANDLE handle, SQLSMALLINT handleType,
                                const std::string& functionName);
    bool isRetriableError(const char* sqlState, int32_t nativeError, const char* message);

protected:
    SQLHENV envHandle;
    SQLHDBC connectionHandle;
    std::string connectionString;
    std::string databaseTypeName;
    DatabaseType databaseType;
    bool databaseTypeCached;
    bool lastErrorRetriable;
    std::vector<std::string> resultColumnNames;
    StatementError lastFailure;

private:
    // The one path from an ODBC return code to an outcome: on failure the diagnostics are read
    // into lastError() and logged at debug level under `functionName`.
    bool check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* functionName);
    bool setAutoCommit(bool on);
    bool endTransaction(SQLSMALLINT completion, const char* name);
};

#endif
