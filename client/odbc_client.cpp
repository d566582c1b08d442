#include "client/odbc_client.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "client/error_classification.h"
#include "host/logger.h"

namespace {

constexpr const char* ENV_ALLOC_FAILED = "Failed to allocate ODBC environment handle.";
constexpr const char* DBC_ALLOC_FAILED = "Failed to allocate ODBC connection handle.";
constexpr const char* STMT_ALLOC_FAILED = "Failed to allocate statement handle.";
constexpr const char* EXECUTE_FAILED = "Failed to execute query.";
constexpr const char* COUNT_COLUMNS_FAILED = "Failed to get number of result columns.";

constexpr SQLSMALLINT MESSAGE_BUFFER_SIZE = 512;
constexpr SQLSMALLINT COLUMN_NAME_BUFFER_SIZE = 256;
constexpr SQLLEN VALUE_BUFFER_SIZE = 1024;
constexpr SQLSMALLINT PRODUCT_NAME_BUFFER_SIZE = 256;

// SQL_SUCCESS and SQL_SUCCESS_WITH_INFO; everything else (negative codes included, read as
// unsigned) is a failure.
inline bool succeeded(SQLRETURN rc) {
    return static_cast<SQLUSMALLINT>(rc) <= 1;
}

// Text of a driver-filled character buffer: up to its first NUL, never past its end.
std::string bufferText(const SQLCHAR* buffer, size_t size) {
    const auto* text = reinterpret_cast<const char*>(buffer);
    return std::string(text, strnlen(text, size));
}

struct DiagnosticRecord {
    SQLCHAR state[6];
    SQLINTEGER nativeError;
    SQLCHAR message[MESSAGE_BUFFER_SIZE];

    const char* stateText() const { return reinterpret_cast<const char*>(state); }
    const char* messageText() const { return reinterpret_cast<const char*>(message); }
};

// Reads one diagnostic record. When the driver manager cannot deliver it, the record reads as
// empty texts and native error 0 rather than whatever the buffers held.
bool readDiagnosticRecord(SQLSMALLINT handleType, SQLHANDLE handle, SQLSMALLINT number,
                          DiagnosticRecord& record) {
    std::memset(&record, 0, sizeof(record));
    SQLSMALLINT length = 0;
    const SQLRETURN rc =
        SQLGetDiagRec(handleType, handle, number, record.state, &record.nativeError, record.message,
                      MESSAGE_BUFFER_SIZE, &length);
    if (!succeeded(rc)) {
        std::memset(&record, 0, sizeof(record));
        return false;
    }
    // Guard against a driver that fills a buffer to the brim without a terminator.
    record.state[sizeof(record.state) - 1] = '\0';
    record.message[sizeof(record.message) - 1] = '\0';
    return true;
}

// A refused login stays refused until someone changes the settings; every other failure to
// connect (network, proxy, server starting, warehouse resuming, an odd driver state) may pass.
// 42000 (syntax error or access violation) counts as refused only here, where no statement is
// involved; for statements it also covers unknown columns and syntax errors.
bool isFinalConnectFailure(const std::string& sqlState, int32_t nativeError,
                           const std::string& message) {
    return sqlState == "42000" ||
           classifyError(sqlState, nativeError, message) == ErrorClass::Credentials ||
           // A driver may report a refused login under a connection state (psqlODBC: 08001).
           classifyError("", nativeError, message) == ErrorClass::Credentials;
}

// Frees the statement handle on every way out of executeQuery, exceptions included.
class StatementHandle {
public:
    StatementHandle() = default;
    ~StatementHandle() { release(); }
    StatementHandle(const StatementHandle&) = delete;
    StatementHandle& operator=(const StatementHandle&) = delete;

    SQLHSTMT* address() { return &handle; }
    SQLHSTMT get() const { return handle; }
    void release() {
        if (handle != SQL_NULL_HSTMT) {
            // Nothing useful can be done when freeing fails.
            (void)SQLFreeHandle(SQL_HANDLE_STMT, handle);
            handle = SQL_NULL_HSTMT;
        }
    }

private:
    SQLHSTMT handle = SQL_NULL_HSTMT;
};

// Logs every diagnostic record of a handle at debug level. Ends on SQL_NO_DATA and on any other
// failure (SQL_ERROR, SQL_INVALID_HANDLE), so a bad handle cannot keep the loop going; the
// record number cap guards against a broken driver.
void logDiagnostics(SQLHANDLE handle, SQLSMALLINT handleType, const char* functionName) {
    DiagnosticRecord record;
    for (SQLSMALLINT number = 1; readDiagnosticRecord(handleType, handle, number, record);
         ++number) {
        Logger::getLogger()->debug("%s: SQLSTATE=%s, NativeError=%d, Message=%s", functionName,
                                   record.stateText(), static_cast<int>(record.nativeError),
                                   record.messageText());
        if (number == std::numeric_limits<SQLSMALLINT>::max()) {
            break;
        }
    }
}

// Reads the current result set of `statement` (its column names and every row) as text.
// Returns false when the driver cannot say how many columns there are.
bool readResultSet(SQLHSTMT statement, std::vector<std::string>& columnNames, QueryResult& result) {
    SQLSMALLINT columnCount = 0;
    if (!succeeded(SQLNumResultCols(statement, &columnCount))) {
        logDiagnostics(statement, SQL_HANDLE_STMT, "SQLNumResultCols");
        Logger::getLogger()->debug("%s", COUNT_COLUMNS_FAILED);
        return false;
    }
    Logger::getLogger()->debug("Number of columns in result set: %d",
                               static_cast<int>(columnCount));

    columnNames.clear();
    SQLCHAR nameBuffer[COLUMN_NAME_BUFFER_SIZE];
    for (SQLUSMALLINT column = 1; column <= columnCount; ++column) {
        nameBuffer[0] = '\0';
        SQLSMALLINT nameLength = 0;
        const SQLRETURN rc = SQLDescribeCol(statement, column, nameBuffer, COLUMN_NAME_BUFFER_SIZE,
                                            &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (succeeded(rc)) {
            columnNames.push_back(bufferText(nameBuffer, sizeof(nameBuffer)));
        } else {
            logDiagnostics(statement, SQL_HANDLE_STMT, "SQLDescribeCol");
            Logger::getLogger()->debug("Failed to describe column %d", static_cast<int>(column));
            columnNames.emplace_back("UNKNOWN");
        }
    }

    SQLCHAR valueBuffer[VALUE_BUFFER_SIZE];
    // Only a clean SQL_SUCCESS delivers a row; anything else ends the result set.
    while (SQLFetch(statement) == SQL_SUCCESS) {
        std::vector<std::string> row;
        row.reserve(columnCount > 0 ? static_cast<size_t>(columnCount) : 0);
        for (SQLUSMALLINT column = 1; column <= columnCount; ++column) {
            std::string value;
            bool failed = false;
            bool null = false;
            // A value longer than the buffer comes in pieces, each call the next one, until the
            // driver says it is done (SQL_SUCCESS) or has nothing left (SQL_NO_DATA).
            while (true) {
                valueBuffer[0] = '\0';
                SQLLEN indicator = 0;
                const SQLRETURN rc = SQLGetData(statement, column, SQL_C_CHAR, valueBuffer,
                                                VALUE_BUFFER_SIZE, &indicator);
                if (rc == SQL_NO_DATA) {
                    break;
                }
                if (!succeeded(rc)) {
                    logDiagnostics(statement, SQL_HANDLE_STMT, "SQLGetData");
                    Logger::getLogger()->debug("Failed to fetch data for column %d.",
                                               static_cast<int>(column));
                    failed = true;
                    break;
                }
                if (indicator == SQL_NULL_DATA) {
                    null = true;
                    break;
                }
                const std::string piece = bufferText(valueBuffer, sizeof(valueBuffer) - 1);
                value += piece;
                if (rc == SQL_SUCCESS || piece.empty()) {
                    break;
                }
            }
            row.push_back(failed ? std::string("ERROR") : null ? std::string("NULL") : value);
        }
        result.rows.push_back(std::move(row));
    }
    result.success = true;
    return true;
}

}  // namespace

ODBCClient::ODBCClient()
    : envHandle(SQL_NULL_HENV),
      connectionHandle(SQL_NULL_HDBC),
      databaseType(DatabaseType::Unknown),
      databaseTypeCached(false),
      lastErrorRetriable(false) {
    Logger::getLogger()->debug("ODBCClient instance is being created.");
}

ODBCClient::~ODBCClient() {
    Logger::getLogger()->debug("ODBCClient instance is being destroyed.");
    ODBCClient::Destroy();
}

void ODBCClient::Init() {
    Logger::getLogger()->debug("Initializing ODBC environment...");

    if (!succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &envHandle))) {
        Logger::getLogger()->debug("%s", ENV_ALLOC_FAILED);
        throw std::runtime_error(ENV_ALLOC_FAILED);
    }

    // Ignored: a driver manager that refuses the version keeps its default, and any real
    // problem surfaces at the connection attempt.
    (void)SQLSetEnvAttr(envHandle, SQL_ATTR_ODBC_VERSION,
                        reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_OV_ODBC3)), 0);

    if (!succeeded(SQLAllocHandle(SQL_HANDLE_DBC, envHandle, &connectionHandle))) {
        Logger::getLogger()->debug("%s", DBC_ALLOC_FAILED);
        Destroy();
        throw std::runtime_error(DBC_ALLOC_FAILED);
    }

    Logger::getLogger()->debug("ODBC environment initialized successfully.");
}

int ODBCClient::Connect(const std::string& connection) {
    SQLCHAR* text = reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection.c_str()));
    const SQLRETURN rc = SQLDriverConnect(connectionHandle, nullptr, text, SQL_NTS, nullptr, 0,
                                          nullptr, SQL_DRIVER_NOPROMPT);
    if (succeeded(rc)) {
        Logger::getLogger()->info("Connected to the database successfully.");
        connectionString = connection;
        return TOLVANE_ODBC_SUCCESS;
    }

    DiagnosticRecord record;
    readDiagnosticRecord(SQL_HANDLE_DBC, connectionHandle, 1, record);
    const int nativeError = static_cast<int>(record.nativeError);
    lastFailure = StatementError{record.stateText(), static_cast<int32_t>(record.nativeError),
                                 record.messageText()};
    if (isFinalConnectFailure(record.stateText(), record.nativeError, record.messageText())) {
        Logger::getLogger()->error(
            "Connection failed due to non-retriable error: Credentials or configuration issue "
            "(SQLSTATE=%s, NativeError=%d, Message=%s). Check the user, the password, private "
            "key or token, and the account in the plugin's configuration, then reconfigure the "
            "plugin; no further connection attempts are made until then.",
            record.stateText(), nativeError, record.messageText());
        Destroy();
        return TOLVANE_ODBC_FAILED;
    }
    Logger::getLogger()->warn(
        "Connection failed due to a transient error, retrying later: SQLSTATE=%s, "
        "NativeError=%d, Message=%s",
        record.stateText(), nativeError, record.messageText());
    Destroy();
    return TOLVANE_ODBC_EAGAIN;
}

bool ODBCClient::isConnected() {
    if (connectionHandle == SQL_NULL_HDBC) {
        Logger::getLogger()->warn(
            "Connection status check failed: connection handle is not initialized.");
        return false;
    }

    SQLUINTEGER dead = 0;
    const SQLRETURN rc =
        SQLGetConnectAttr(connectionHandle, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    // A warning here leaves the answer in doubt, so only a clean success counts.
    if (rc != SQL_SUCCESS) {
        Logger::getLogger()->error(
            "Failed to determine connection status using SQLGetConnectAttr.");
        handleDiagnosticRecord(connectionHandle, SQL_HANDLE_DBC, "SQLGetConnectAttr");
        return false;
    }

    if (dead == SQL_CD_TRUE) {
        Logger::getLogger()->info("Connection is not active (dead).");
        return false;
    }
    Logger::getLogger()->info("Connection is active.");
    return true;
}

std::string ODBCClient::getDatabaseProductName() {
    if (!isConnected()) {
        Logger::getLogger()->warn("Cannot get database product name: not connected");
        return "Unknown";
    }

    SQLCHAR buffer[PRODUCT_NAME_BUFFER_SIZE] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN rc =
        SQLGetInfo(connectionHandle, SQL_DBMS_NAME, buffer, PRODUCT_NAME_BUFFER_SIZE, &length);
    if (!succeeded(rc)) {
        handleDiagnosticRecord(connectionHandle, SQL_HANDLE_DBC, "SQLGetInfo");
        Logger::getLogger()->warn("Failed to get database product name");
        return "Unknown";
    }

    std::string name = bufferText(buffer, sizeof(buffer));
    Logger::getLogger()->debug("Database product name: %s", name.c_str());
    return name;
}

std::string ODBCClient::getDatabaseVersion() {
    SQLCHAR buffer[PRODUCT_NAME_BUFFER_SIZE] = {};
    SQLSMALLINT length = 0;
    if (!check(
            SQLGetInfo(connectionHandle, SQL_DBMS_VER, buffer, PRODUCT_NAME_BUFFER_SIZE, &length),
            SQL_HANDLE_DBC, connectionHandle, "SQLGetInfo")) {
        return "";
    }
    return bufferText(buffer, sizeof(buffer));
}

std::string ODBCClient::productName() {
    SQLCHAR buffer[PRODUCT_NAME_BUFFER_SIZE] = {};
    SQLSMALLINT length = 0;
    if (!check(
            SQLGetInfo(connectionHandle, SQL_DBMS_NAME, buffer, PRODUCT_NAME_BUFFER_SIZE, &length),
            SQL_HANDLE_DBC, connectionHandle, "SQLGetInfo")) {
        return "";
    }
    return bufferText(buffer, sizeof(buffer));
}

bool ODBCClient::setLoginTimeout(unsigned seconds) {
    return check(
        SQLSetConnectAttr(connectionHandle, SQL_ATTR_LOGIN_TIMEOUT,
                          reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(seconds)), 0),
        SQL_HANDLE_DBC, connectionHandle, "SQLSetConnectAttr");
}

std::string ODBCClient::getDatabaseType() {
    if (!databaseTypeCached) {
        Logger::getLogger()->warn(
            "Database type not cached - call cacheDatabaseType() after successful connection");
        return "Unknown";
    }
    Logger::getLogger()->debug("Using cached database type: %s", databaseTypeName.c_str());
    return databaseTypeName;
}

DatabaseType ODBCClient::getDatabaseTypeEnum() {
    if (!databaseTypeCached) {
        Logger::getLogger()->warn(
            "Database type not cached - call cacheDatabaseType() after successful connection");
        return DatabaseType::Unknown;
    }
    Logger::getLogger()->debug("Using cached database type enum: %s",
                               databaseTypeToString(databaseType).c_str());
    return databaseType;
}

void ODBCClient::cacheDatabaseType() {
    if (!isConnected()) {
        Logger::getLogger()->warn("Cannot cache database type: not connected");
        return;
    }

    const std::string name = getDatabaseProductName();
    databaseType = stringToDatabaseType(name);
    databaseTypeName = databaseTypeToString(databaseType);
    databaseTypeCached = true;
    Logger::getLogger()->info("Database type cached: %s", databaseTypeName.c_str());
}

bool ODBCClient::isDatabaseTypeCached() const {
    return databaseTypeCached;
}

QueryResult ODBCClient::executeQuery(const std::string& query) {
    Logger::getLogger()->debug("Executing query: %s", query.c_str());

    StatementHandle statement;
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, connectionHandle, statement.address()))) {
        handleDiagnosticRecord(connectionHandle, SQL_HANDLE_DBC, "SQLAllocHandle");
        Logger::getLogger()->debug("%s", STMT_ALLOC_FAILED);
        throw std::runtime_error(STMT_ALLOC_FAILED);
    }

    SQLCHAR* text = reinterpret_cast<SQLCHAR*>(const_cast<char*>(query.c_str()));
    if (!succeeded(SQLExecDirect(statement.get(), text, SQL_NTS))) {
        handleDiagnosticRecord(statement.get(), SQL_HANDLE_STMT, "SQLExecDirect");
        DiagnosticRecord record;
        readDiagnosticRecord(SQL_HANDLE_STMT, statement.get(), 1, record);
        Logger::getLogger()->debug("Failed to execute query: %s", query.c_str());
        Logger::getLogger()->debug("SQLSTATE=%s, NativeError=%d, Message=%s", record.stateText(),
                                   static_cast<int>(record.nativeError), record.messageText());
        lastFailure = StatementError::classified(
            record.stateText(), static_cast<int32_t>(record.nativeError), record.messageText());
        lastErrorRetriable = isRetriableError(
            record.stateText(), static_cast<int32_t>(record.nativeError), record.messageText());
        statement.release();
        throw std::runtime_error(EXECUTE_FAILED);
    }

    QueryResult result;
    if (!readResultSet(statement.get(), resultColumnNames, result)) {
        statement.release();
        throw std::runtime_error(COUNT_COLUMNS_FAILED);
    }

    Logger::getLogger()->debug("Query executed successfully. Rows fetched: %d",
                               static_cast<int>(result.rows.size()));
    statement.release();
    result.success = true;
    return result;
}

QueryResultEx ODBCClient::executeQueryEx(const std::string& query) {
    QueryResultEx resultEx;
    try {
        QueryResult inner = executeQuery(query);
        resultEx.rows.reserve(inner.rows.size() + 1);
        resultEx.rows.push_back(resultColumnNames);
        for (auto& row : inner.rows) {
            resultEx.rows.push_back(std::move(row));
        }
        resultEx.retriable = lastErrorRetriable;
        resultEx.success = inner.success;
    } catch (const std::runtime_error& e) {
        if (std::strcmp(e.what(), EXECUTE_FAILED) != 0) {
            throw;
        }
        resultEx.retriable = lastErrorRetriable;
        resultEx.success = false;
        resultEx.rows.clear();
    }
    return resultEx;
}

void ODBCClient::Destroy() {
    // Release errors are ignored: the handles are gone either way.
    if (connectionHandle != SQL_NULL_HDBC) {
        (void)SQLDisconnect(connectionHandle);
        (void)SQLFreeHandle(SQL_HANDLE_DBC, connectionHandle);
        connectionHandle = SQL_NULL_HDBC;
        Logger::getLogger()->debug("Disconnected from the database.");
    }
    if (envHandle != SQL_NULL_HENV) {
        (void)SQLFreeHandle(SQL_HANDLE_ENV, envHandle);
        envHandle = SQL_NULL_HENV;
        Logger::getLogger()->debug("ODBC environment released.");
    }
}

void ODBCClient::handleDiagnosticRecord(SQLHANDLE handle, SQLSMALLINT handleType,
                                        const std::string& functionName) {
    logDiagnostics(handle, handleType, functionName.c_str());
}

bool ODBCClient::check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle,
                       const char* functionName) {
    if (succeeded(rc)) {
        return true;
    }
    DiagnosticRecord record;
    readDiagnosticRecord(handleType, handle, 1, record);
    lastFailure = StatementError::classified(
        record.stateText(), static_cast<int32_t>(record.nativeError), record.messageText());
    if (lastFailure.sqlState.empty() && rc == SQL_INVALID_HANDLE) {
        lastFailure.message = "invalid handle";
    }
    logDiagnostics(handle, handleType, functionName);
    return false;
}

bool ODBCClient::setAutoCommit(bool on) {
    const auto value = static_cast<uintptr_t>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF);
    return check(SQLSetConnectAttr(connectionHandle, SQL_ATTR_AUTOCOMMIT,
                                   reinterpret_cast<SQLPOINTER>(value), SQL_IS_UINTEGER),
                 SQL_HANDLE_DBC, connectionHandle, "SQLSetConnectAttr");
}

bool ODBCClient::endTransaction(SQLSMALLINT completion, const char* name) {
    Logger::getLogger()->debug("%s transaction", name);
    if (!check(SQLEndTran(SQL_HANDLE_DBC, connectionHandle, completion), SQL_HANDLE_DBC,
               connectionHandle, "SQLEndTran")) {
        // Autocommit stays off: switching it on commits what is still open (Snowflake's driver
        // sends ALTER SESSION SET AUTOCOMMIT), rows written before a failure included. The
        // caller closes the session instead.
        return false;
    }
    // Nothing is open any more; a failure to switch back only leaves the next batch in a
    // transaction of the driver's, which it ends itself.
    const StatementError endFailure = lastFailure;
    setAutoCommit(true);
    lastFailure = endFailure;
    return true;
}

bool ODBCClient::beginTransaction() {
    Logger::getLogger()->debug("Beginning transaction");
    return setAutoCommit(false);
}

bool ODBCClient::commitTransaction() {
    return endTransaction(SQL_COMMIT, "Committing");
}

bool ODBCClient::rollbackTransaction() {
    return endTransaction(SQL_ROLLBACK, "Rolling back");
}

RequestResult ODBCClient::executeRequest(const char* text, size_t length, size_t statementCount,
                                         SQLINTEGER countAttribute, Results results) {
    const int shown = static_cast<int>(std::min<size_t>(length, std::numeric_limits<int>::max()));
    if (statementCount == 1) {
        Logger::getLogger()->debug("Executing query: %.*s", shown, text);
    } else {
        Logger::getLogger()->debug("Executing request of %zu statements: %.*s", statementCount,
                                   shown, text);
    }
    RequestResult outcome;
    StatementHandle statement;
    if (!check(SQLAllocHandle(SQL_HANDLE_STMT, connectionHandle, statement.address()),
               SQL_HANDLE_DBC, connectionHandle, "SQLAllocHandle")) {
        return outcome;
    }
    if (countAttribute != 0 && statementCount > 1) {
        const auto count = static_cast<intptr_t>(statementCount);
        if (!check(SQLSetStmtAttr(statement.get(), countAttribute,
                                  reinterpret_cast<SQLPOINTER>(count), 0),
                   SQL_HANDLE_STMT, statement.get(), "SQLSetStmtAttr")) {
            // Drivers that run such requests as they are refuse the attribute; whether this one
            // does shows in the outcome of the request.
            outcome.countAttributeRefused = true;
        }
    }
    if (length > static_cast<size_t>(std::numeric_limits<SQLINTEGER>::max())) {
        lastFailure = StatementError{"", 0, "the request is too long for one call"};
        return outcome;
    }
    SQLCHAR* sql = reinterpret_cast<SQLCHAR*>(const_cast<char*>(text));
    SQLRETURN rc = SQLExecDirect(statement.get(), sql, static_cast<SQLINTEGER>(length));
    // A searched UPDATE or DELETE that touches no row answers SQL_NO_DATA: it did run.
    if (rc == SQL_NO_DATA) {
        rc = SQL_SUCCESS;
    }
    if (results == Results::Skip) {
        // A statement that fails fails the execute call itself: success covers them all.
        if (!check(rc, SQL_HANDLE_STMT, statement.get(), "SQLExecDirect")) {
            return outcome;
        }
        outcome.completed = statementCount;
        outcome.success = true;
        return outcome;
    }
    std::vector<std::string> columnNames;
    while (true) {
        if (!check(rc, SQL_HANDLE_STMT, statement.get(),
                   outcome.completed == 0 ? "SQLExecDirect" : "SQLMoreResults")) {
            return outcome;
        }
        QueryResult result;
        if (!readResultSet(statement.get(), columnNames, result)) {
            return outcome;
        }
        outcome.results.push_back(std::move(result));
        ++outcome.completed;
        rc = SQLMoreResults(statement.get());
        if (rc == SQL_NO_DATA) {
            break;
        }
    }
    outcome.success = outcome.completed >= statementCount || statementCount == 0;
    if (!outcome.success) {
        lastFailure = StatementError{"", 0, "the request ran fewer statements than it holds"};
    }
    return outcome;
}

bool ODBCClient::isRetriableError(const char* sqlState, int32_t nativeError, const char* message) {
    const std::string state(sqlState);
    const std::string text(message);
    const RetryVerdict verdict = classifyRetry(state, nativeError, text);
    Logger::getLogger()->debug("Error classified as %s: %s", verdict.label,
                               verdict.byMessage ? text.c_str() : state.c_str());
    return verdict.retriable;
}
