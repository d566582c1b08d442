#include "tests/support/statement_client.h"

#include <exception>
#include <utility>

namespace varnholt {
namespace test {

RequestResult StatementClient::executeRequest(const char* text, size_t length,
                                              size_t statementCount, SQLINTEGER, Results) {
    RequestResult result;
    if (statementCount != 1) {
        lastFailure = StatementError::classified("0A000", 0, "one statement per request");
        return result;
    }
    try {
        QueryResult rows = executeQuery(std::string(text, length));
        if (rows.success) {
            result.success = true;
            result.completed = 1;
            result.results.push_back(std::move(rows));
        } else {
            lastFailure = StatementError::classified("XX000", 0, "scripted failure");
        }
    } catch (const std::exception& e) {
        lastFailure = StatementError::classified("XX000", 0, e.what());
    }
    return result;
}

}  // namespace test
}  // namespace varnholt
