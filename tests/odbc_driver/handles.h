#ifndef TESTS_ODBC_DRIVER_HANDLES_H
#define TESTS_ODBC_DRIVER_HANDLES_H

#include <sql.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/odbc_driver/driver_state.h"

namespace scripted {

// Tags that let the driver reject pointers that are not its own handles.
enum class HandleKind : uint32_t {
    ENVIRONMENT = 0x53454e56,
    CONNECTION = 0x53444243,
    STATEMENT = 0x53535448,
    FREED = 0xdeadbeef,
};

// What every handle carries: its tag and the diagnostic area of its last call.
struct Handle {
    explicit Handle(HandleKind handleKind) : kind(handleKind) {}

    HandleKind kind;
    std::vector<Diagnostic> diagnostics;
    SQLRETURN lastReturn = SQL_SUCCESS;
};

struct Environment : Handle {
    Environment() : Handle(HandleKind::ENVIRONMENT) {}

    SQLINTEGER odbcVersion = SQL_OV_ODBC3;
};

struct Connection : Handle {
    Connection() : Handle(HandleKind::CONNECTION) {}

    bool connected = false;
    bool autocommit = true;
    // Revival generation in which a statement killed this connection; 0 = never.
    uint64_t killedAt = 0;
    // The session runs any number of statements per request (MULTI_STATEMENT_COUNT = 0).
    bool anyStatementCount = false;
};

struct Statement : Handle {
    explicit Statement(Connection* owner) : Handle(HandleKind::STATEMENT), connection(owner) {}

    Connection* connection;
    // Statement count announced for the next requests (SQL_SF_STMT_ATTR_MULTI_STATEMENT_COUNT).
    std::optional<long> declaredCount;
    // The statements of the last request and the one whose result is current.
    std::vector<StatementResult> results;
    size_t current = 0;
    // The entry of the current result; null when it matched none.
    std::shared_ptr<const StatementEntry> entry;
    bool cursorOpen = false;
    // 1-based number of the current row; 0 before the first fetch.
    size_t row = 0;
    // Column read piecewise by SQLGetData and how far.
    int dataColumn = 0;
    size_t dataOffset = 0;
    bool dataDone = false;
};

}  // namespace scripted

#endif
