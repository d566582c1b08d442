#ifndef CLIENT_ODBC_CLIENT_H
#define CLIENT_ODBC_CLIENT_H

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

#include "client/database_type.h"

// Connection status codes returned by Connect.
constexpr int TOLVANE_ODBC_SUCCESS = 0;
constexpr int TOLVANE_ODBC_EAGAIN = 1;
constexpr int TOLVANE_ODBC_FAILED = 2;

struct QueryResult {
    bool success = false;
    std::vector<std::vector<std::string>> rows;
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
    virtual std::string getDatabaseType();
    virtual DatabaseType getDatabaseTypeEnum();
    virtual void cacheDatabaseType();
    virtual bool isDatabaseTypeCached() const;
    virtual QueryResult executeQuery(const std::string& query);
    virtual QueryResultEx executeQueryEx(const std::string& query);
    virtual void Destroy();

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
};

#endif
