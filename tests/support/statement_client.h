#ifndef TESTS_SUPPORT_STATEMENT_CLIENT_H
#define TESTS_SUPPORT_STATEMENT_CLIENT_H

#include <string>

#include "client/odbc_client.h"

namespace varnholt {
namespace test {

// A client double for connector tests that script statements one at a time through
// executeQuery: it runs one statement per request, as a driver that cannot run several, and
// reports transaction calls to transaction() with the scripted driver's journal texts
// ("[autocommit off]", "[commit]", "[rollback]"). A failed statement reads as SQLSTATE XX000
// with the exception's text, or "scripted failure".
class StatementClient : public ODBCClient {
public:
    using ODBCClient::executeRequest;
    RequestResult executeRequest(const char* text, size_t length, size_t statementCount,
                                 SQLINTEGER countAttribute, Results results) override;
    bool beginTransaction() override { return transaction("[autocommit off]"); }
    bool commitTransaction() override { return transaction("[commit]"); }
    bool rollbackTransaction() override { return transaction("[rollback]"); }

protected:
    virtual bool transaction(const char* call) = 0;
};

}  // namespace test
}  // namespace varnholt

#endif
