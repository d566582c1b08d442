#ifndef TESTS_ODBC_CLIENT_PROBE_H
#define TESTS_ODBC_CLIENT_PROBE_H

#include <string>
#include <vector>

#include "client/odbc_client.h"

namespace varnholt {
namespace test {

// Reads the client's protected state; changes no behaviour.
class ClientProbe : public ODBCClient {
public:
    bool hasEnvHandle() const { return envHandle != SQL_NULL_HENV; }
    bool hasConnectionHandle() const { return connectionHandle != SQL_NULL_HDBC; }
    bool isEmpty() const { return !hasEnvHandle() && !hasConnectionHandle(); }
    const std::string& lastConnectionString() const { return connectionString; }
    const std::vector<std::string>& columnNames() const { return resultColumnNames; }
    bool lastRetriable() const { return lastErrorRetriable; }
};

}  // namespace test
}  // namespace varnholt

#endif
