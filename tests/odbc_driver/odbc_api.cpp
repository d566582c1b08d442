// Driver side of the ODBC 3 calls the unixODBC driver manager routes to a driver.
// The library links with -Bsymbolic and never calls its own SQL* entry points,
// so nothing here can land in the driver manager's functions of the same names.

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/odbc_driver/driver_state.h"
#include "tests/odbc_driver/handles.h"

using scripted::Call;
using scripted::CallScript;
using scripted::Connection;
using scripted::Diagnostic;
using scripted::DriverState;
using scripted::Environment;
using scripted::Handle;
using scripted::HandleKind;
using scripted::MultiStatement;
using scripted::Outcome;
using scripted::Statement;
using scripted::StatementResult;

// The Snowflake driver's statement attribute: the number of statements in a request.
constexpr SQLINTEGER SQL_SF_STMT_ATTR_MULTI_STATEMENT_COUNT = 16648;

namespace {

// SCRIPTED_ODBC_TRACE=1 lists every call on stderr, to see what the driver manager does.
void trace(const char* function, long argument = 0) {
    static const bool on = std::getenv("SCRIPTED_ODBC_TRACE") != nullptr;
    if (on) {
        std::fprintf(stderr, "[scripted-odbc] %s %ld\n", function, argument);
    }
}

bool succeeded(SQLRETURN code) {
    return code == SQL_SUCCESS || code == SQL_SUCCESS_WITH_INFO;
}

template <typename T>
T* as(SQLHANDLE handle, HandleKind kind) {
    auto* base = static_cast<Handle*>(handle);
    return base != nullptr && base->kind == kind ? static_cast<T*>(base) : nullptr;
}

Handle* anyHandle(SQLSMALLINT type, SQLHANDLE handle) {
    switch (type) {
        case SQL_HANDLE_ENV:
            return as<Environment>(handle, HandleKind::ENVIRONMENT);
        case SQL_HANDLE_DBC:
            return as<Connection>(handle, HandleKind::CONNECTION);
        case SQL_HANDLE_STMT:
            return as<Statement>(handle, HandleKind::STATEMENT);
        default:
            return nullptr;
    }
}

// Every call but the diagnostic ones starts with an empty diagnostic area.
void begin(Handle& handle) {
    handle.diagnostics.clear();
}

SQLRETURN finish(Handle& handle, SQLRETURN code) {
    handle.lastReturn = code;
    return code;
}

SQLRETURN finish(Handle& handle, const Outcome& outcome) {
    handle.diagnostics = outcome.diagnostics;
    return finish(handle, outcome.returnCode);
}

SQLRETURN fail(Handle& handle, const char* sqlState, const char* message) {
    handle.diagnostics.push_back(Diagnostic{sqlState, 0, message});
    return finish(handle, SQL_ERROR);
}

// Copies text into a character buffer of `length` bytes with its NUL; true when cut.
bool copyText(const std::string& text, SQLPOINTER buffer, SQLLEN length) {
    if (buffer == nullptr || length <= 0) {
        return false;
    }
    const size_t count = std::min(text.size(), static_cast<size_t>(length - 1));
    std::memcpy(buffer, text.data(), count);
    static_cast<char*>(buffer)[count] = '\0';
    return count < text.size();
}

SQLRETURN warnIfCut(Handle& handle, bool cut, SQLRETURN code = SQL_SUCCESS) {
    if (cut) {
        handle.diagnostics.push_back(Diagnostic{"01004", 0, "String data, right truncated"});
        if (code == SQL_SUCCESS) {
            code = SQL_SUCCESS_WITH_INFO;
        }
    }
    return finish(handle, code);
}

template <typename T>
void store(SQLPOINTER target, T value) {
    if (target != nullptr) {
        std::memcpy(target, &value, sizeof value);
    }
}

SQLRETURN freeHandle(Handle* handle) {
    switch (handle->kind) {
        case HandleKind::ENVIRONMENT:
            delete static_cast<Environment*>(handle);
            break;
        case HandleKind::CONNECTION:
            delete static_cast<Connection*>(handle);
            break;
        case HandleKind::STATEMENT:
            delete static_cast<Statement*>(handle);
            break;
        case HandleKind::FREED:
            return SQL_INVALID_HANDLE;
    }
    DriverState::get().handleFreed();
    return SQL_SUCCESS;
}

void closeCursor(Statement& statement) {
    statement.cursorOpen = false;
    statement.row = 0;
    statement.dataColumn = 0;
}

// Closing a cursor also drops the results of the request's later statements.
void discardResults(Statement& statement) {
    closeCursor(statement);
    statement.results.clear();
    statement.current = 0;
    statement.entry.reset();
}

// Makes the current statement of the request the one the next calls see.
SQLRETURN showResult(Statement& statement) {
    const StatementResult& result = statement.results[statement.current];
    statement.diagnostics = result.outcome.diagnostics;
    statement.entry.reset();
    const SQLRETURN code = result.outcome.returnCode;
    if (succeeded(code) && result.entry != nullptr) {
        statement.cursorOpen = !result.entry->columns.empty();
        statement.entry = result.entry;
    }
    return finish(statement, code);
}

// Runs a journaled call without a statement and applies its scripted outcome.
SQLRETURN scriptedCall(Handle& handle, Connection* connection, Call which) {
    DriverState& state = DriverState::get();
    const CallScript script = state.call(which);
    if (script.killConnection && connection != nullptr) {
        connection->killedAt = state.revival();
    }
    return finish(handle, script.outcome);
}

bool stringInfo(SQLUSMALLINT type, std::string& value) {
    switch (type) {
        case SQL_DRIVER_ODBC_VER:
            value = "03.00";
            return true;
        case SQL_DRIVER_NAME:
            value = "libscripted-odbc-driver.so";
            return true;
        case SQL_DRIVER_VER:
        case SQL_DBMS_VER:
            value = "01.00.0000";
            return true;
        case SQL_SERVER_NAME:
        case SQL_DATABASE_NAME:
            value = "scripted";
            return true;
        case SQL_DATA_SOURCE_NAME:
        case SQL_USER_NAME:
        case SQL_KEYWORDS:
            value = "";
            return true;
        case SQL_IDENTIFIER_QUOTE_CHAR:
            value = "\"";
            return true;
        case SQL_SEARCH_PATTERN_ESCAPE:
            value = "\\";
            return true;
        case SQL_CATALOG_NAME_SEPARATOR:
            value = ".";
            return true;
        case SQL_DATA_SOURCE_READ_ONLY:
        case SQL_MULT_RESULT_SETS:
        case SQL_NEED_LONG_DATA_LEN:
        case SQL_ACCESSIBLE_PROCEDURES:
            value = "N";
            return true;
        case SQL_COLUMN_ALIAS:
        case SQL_ACCESSIBLE_TABLES:
            value = "Y";
            return true;
        default:
            return false;
    }
}

// Numeric information: the value and whether it is a 16-bit (else 32-bit) field.
bool numericInfo(SQLUSMALLINT type, SQLUINTEGER& value, bool& small) {
    small = true;
    switch (type) {
        case SQL_CURSOR_COMMIT_BEHAVIOR:
        case SQL_CURSOR_ROLLBACK_BEHAVIOR:
            value = SQL_CB_PRESERVE;
            return true;
        case SQL_TXN_CAPABLE:
            value = SQL_TC_ALL;
            return true;
        case SQL_MAX_CONCURRENT_ACTIVITIES:
        case SQL_MAX_DRIVER_CONNECTIONS:
            value = 0;
            return true;
        case SQL_MAX_COLUMN_NAME_LEN:
        case SQL_MAX_TABLE_NAME_LEN:
        case SQL_MAX_SCHEMA_NAME_LEN:
            value = 255;
            return true;
        default:
            break;
    }
    small = false;
    switch (type) {
        case SQL_GETDATA_EXTENSIONS:
            value = SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER;
            return true;
        case SQL_ASYNC_MODE:
            value = SQL_AM_NONE;
            return true;
        case SQL_SCROLL_OPTIONS:
            value = SQL_SO_FORWARD_ONLY;
            return true;
        case SQL_ODBC_INTERFACE_CONFORMANCE:
            value = SQL_OIC_CORE;
            return true;
        case SQL_TXN_ISOLATION_OPTION:
        case SQL_DEFAULT_TXN_ISOLATION:
            value = SQL_TXN_READ_COMMITTED;
            return true;
        default:
            return false;
    }
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT HandleType, SQLHANDLE InputHandle,
                                 SQLHANDLE* OutputHandle) {
    trace("SQLAllocHandle", HandleType);
    DriverState& state = DriverState::get();
    switch (HandleType) {
        case SQL_HANDLE_ENV: {
            if (OutputHandle == nullptr) {
                return SQL_ERROR;
            }
            state.loadFromEnvironment();
            *OutputHandle = new Environment();
            state.handleAllocated();
            return SQL_SUCCESS;
        }
        case SQL_HANDLE_DBC: {
            auto* environment = as<Environment>(InputHandle, HandleKind::ENVIRONMENT);
            if (environment == nullptr) {
                return SQL_INVALID_HANDLE;
            }
            begin(*environment);
            if (OutputHandle == nullptr) {
                return fail(*environment, "HY009", "Invalid use of null pointer");
            }
            *OutputHandle = new Connection();
            state.handleAllocated();
            return finish(*environment, SQL_SUCCESS);
        }
        case SQL_HANDLE_STMT: {
            auto* connection = as<Connection>(InputHandle, HandleKind::CONNECTION);
            if (connection == nullptr) {
                return SQL_INVALID_HANDLE;
            }
            begin(*connection);
            if (OutputHandle == nullptr) {
                return fail(*connection, "HY009", "Invalid use of null pointer");
            }
            *OutputHandle = SQL_NULL_HSTMT;
            if (!connection->connected) {
                return fail(*connection, "08003", "Connection does not exist");
            }
            const Outcome outcome = state.allocStatement();
            if (succeeded(outcome.returnCode)) {
                *OutputHandle = new Statement(connection);
                state.handleAllocated();
            }
            return finish(*connection, outcome);
        }
        default:
            return SQL_ERROR;
    }
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT HandleType, SQLHANDLE Handle) {
    trace("SQLFreeHandle", HandleType);
    scripted::Handle* handle = anyHandle(HandleType, Handle);
    if (handle == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    return freeHandle(handle);
}

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV EnvironmentHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                SQLINTEGER /*StringLength*/) {
    trace("SQLSetEnvAttr", Attribute);
    auto* environment = as<Environment>(EnvironmentHandle, HandleKind::ENVIRONMENT);
    if (environment == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*environment);
    if (Attribute == SQL_ATTR_ODBC_VERSION) {
        environment->odbcVersion = static_cast<SQLINTEGER>(reinterpret_cast<intptr_t>(Value));
    }
    return finish(*environment, SQL_SUCCESS);
}

SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV EnvironmentHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                SQLINTEGER /*BufferLength*/, SQLINTEGER* StringLength) {
    trace("SQLGetEnvAttr", Attribute);
    auto* environment = as<Environment>(EnvironmentHandle, HandleKind::ENVIRONMENT);
    if (environment == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*environment);
    switch (Attribute) {
        case SQL_ATTR_ODBC_VERSION:
            store<SQLINTEGER>(Value, environment->odbcVersion);
            break;
        case SQL_ATTR_CONNECTION_POOLING:
            store<SQLUINTEGER>(Value, SQL_CP_OFF);
            break;
        case SQL_ATTR_CP_MATCH:
            store<SQLUINTEGER>(Value, SQL_CP_STRICT_MATCH);
            break;
        case SQL_ATTR_OUTPUT_NTS:
            store<SQLINTEGER>(Value, SQL_TRUE);
            break;
        default:
            return fail(*environment, "HY092", "Invalid attribute/option identifier");
    }
    store<SQLINTEGER>(StringLength, sizeof(SQLINTEGER));
    return finish(*environment, SQL_SUCCESS);
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC hdbc, SQLHWND /*hwnd*/, SQLCHAR* szConnStrIn,
                                   SQLSMALLINT cbConnStrIn, SQLCHAR* szConnStrOut,
                                   SQLSMALLINT cbConnStrOutMax, SQLSMALLINT* pcbConnStrOut,
                                   SQLUSMALLINT /*fDriverCompletion*/) {
    trace("SQLDriverConnect");
    auto* connection = as<Connection>(hdbc, HandleKind::CONNECTION);
    if (connection == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*connection);
    if (connection->connected) {
        return fail(*connection, "08002", "Connection name in use");
    }
    std::string text;
    if (szConnStrIn != nullptr) {
        const char* chars = reinterpret_cast<const char*>(szConnStrIn);
        text = cbConnStrIn == SQL_NTS ? std::string(chars)
                                      : std::string(chars, std::max<SQLSMALLINT>(cbConnStrIn, 0));
    }
    const Outcome outcome = DriverState::get().connect(text);
    const SQLRETURN code = finish(*connection, outcome);
    if (!succeeded(code)) {
        return code;
    }
    connection->connected = true;
    connection->autocommit = true;
    connection->killedAt = 0;
    connection->anyStatementCount = false;
    store<SQLSMALLINT>(pcbConnStrOut, static_cast<SQLSMALLINT>(text.size()));
    return warnIfCut(*connection, copyText(text, szConnStrOut, cbConnStrOutMax), code);
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC ConnectionHandle) {
    trace("SQLDisconnect");
    auto* connection = as<Connection>(ConnectionHandle, HandleKind::CONNECTION);
    if (connection == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*connection);
    DriverState::get().disconnected();
    if (!connection->connected) {
        return fail(*connection, "08003", "Connection does not exist");
    }
    connection->connected = false;
    return finish(*connection, SQL_SUCCESS);
}

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT RecNumber,
                                SQLCHAR* Sqlstate, SQLINTEGER* NativeError, SQLCHAR* MessageText,
                                SQLSMALLINT BufferLength, SQLSMALLINT* TextLength) {
    trace("SQLGetDiagRec", RecNumber);
    const scripted::Handle* handle = anyHandle(HandleType, Handle);
    if (handle == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    if (RecNumber < 1 || BufferLength < 0) {
        return SQL_ERROR;
    }
    if (static_cast<size_t>(RecNumber) > handle->diagnostics.size()) {
        return SQL_NO_DATA;
    }
    const Diagnostic& record = handle->diagnostics[RecNumber - 1];
    copyText(record.sqlState, Sqlstate, 6);
    store<SQLINTEGER>(NativeError, record.nativeError);
    store<SQLSMALLINT>(TextLength, static_cast<SQLSMALLINT>(record.message.size()));
    return copyText(record.message, MessageText, BufferLength) ? SQL_SUCCESS_WITH_INFO
                                                               : SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT RecNumber,
                                  SQLSMALLINT DiagIdentifier, SQLPOINTER DiagInfo,
                                  SQLSMALLINT BufferLength, SQLSMALLINT* StringLength) {
    trace("SQLGetDiagField", DiagIdentifier);
    const scripted::Handle* handle = anyHandle(HandleType, Handle);
    if (handle == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    auto textField = [&](const std::string& value) {
        store<SQLSMALLINT>(StringLength, static_cast<SQLSMALLINT>(value.size()));
        return copyText(value, DiagInfo, BufferLength) ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
    };
    switch (DiagIdentifier) {
        case SQL_DIAG_NUMBER:
            store<SQLINTEGER>(DiagInfo, static_cast<SQLINTEGER>(handle->diagnostics.size()));
            return SQL_SUCCESS;
        case SQL_DIAG_RETURNCODE:
            store<SQLRETURN>(DiagInfo, handle->lastReturn);
            return SQL_SUCCESS;
        case SQL_DIAG_ROW_COUNT:
        case SQL_DIAG_CURSOR_ROW_COUNT:
            store<SQLLEN>(DiagInfo, 0);
            return SQL_SUCCESS;
        case SQL_DIAG_DYNAMIC_FUNCTION:
            return textField("");
        case SQL_DIAG_DYNAMIC_FUNCTION_CODE:
            store<SQLINTEGER>(DiagInfo, SQL_DIAG_UNKNOWN_STATEMENT);
            return SQL_SUCCESS;
        default:
            break;
    }
    if (RecNumber < 1) {
        return SQL_ERROR;
    }
    if (static_cast<size_t>(RecNumber) > handle->diagnostics.size()) {
        return SQL_NO_DATA;
    }
    const Diagnostic& record = handle->diagnostics[RecNumber - 1];
    switch (DiagIdentifier) {
        case SQL_DIAG_SQLSTATE:
            return textField(record.sqlState);
        case SQL_DIAG_NATIVE:
            store<SQLINTEGER>(DiagInfo, record.nativeError);
            return SQL_SUCCESS;
        case SQL_DIAG_MESSAGE_TEXT:
            return textField(record.message);
        case SQL_DIAG_CLASS_ORIGIN:
        case SQL_DIAG_SUBCLASS_ORIGIN:
            return textField(record.sqlState.compare(0, 2, "IM") == 0 ? "ODBC 3.0" : "ISO 9075");
        case SQL_DIAG_CONNECTION_NAME:
        case SQL_DIAG_SERVER_NAME:
            return textField("");
        case SQL_DIAG_COLUMN_NUMBER:
            store<SQLINTEGER>(DiagInfo, SQL_COLUMN_NUMBER_UNKNOWN);
            return SQL_SUCCESS;
        case SQL_DIAG_ROW_NUMBER:
            store<SQLLEN>(DiagInfo, SQL_ROW_NUMBER_UNKNOWN);
            return SQL_SUCCESS;
        default:
            return SQL_ERROR;
    }
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC ConnectionHandle, SQLINTEGER Attribute,
                                    SQLPOINTER Value, SQLINTEGER BufferLength,
                                    SQLINTEGER* StringLength) {
    trace("SQLGetConnectAttr", Attribute);
    auto* connection = as<Connection>(ConnectionHandle, HandleKind::CONNECTION);
    if (connection == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*connection);
    DriverState& state = DriverState::get();
    switch (Attribute) {
        case SQL_ATTR_CONNECTION_DEAD: {
            const Outcome outcome = state.connectAttr();
            if (succeeded(outcome.returnCode)) {
                const bool dead =
                    !connection->connected || state.connectionDead(connection->killedAt);
                store<SQLUINTEGER>(Value, dead ? SQL_CD_TRUE : SQL_CD_FALSE);
            }
            return finish(*connection, outcome);
        }
        case SQL_ATTR_AUTOCOMMIT:
            store<SQLUINTEGER>(Value,
                               connection->autocommit ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF);
            break;
        case SQL_ATTR_ACCESS_MODE:
            store<SQLUINTEGER>(Value, SQL_MODE_READ_WRITE);
            break;
        case SQL_ATTR_LOGIN_TIMEOUT:
        case SQL_ATTR_CONNECTION_TIMEOUT:
            store<SQLUINTEGER>(Value, 0);
            break;
        case SQL_ATTR_TXN_ISOLATION:
            store<SQLUINTEGER>(Value, SQL_TXN_READ_COMMITTED);
            break;
        case SQL_ATTR_CURRENT_CATALOG: {
            const std::string catalog = "scripted";
            store<SQLINTEGER>(StringLength, static_cast<SQLINTEGER>(catalog.size()));
            return warnIfCut(*connection, copyText(catalog, Value, BufferLength));
        }
        default:
            return fail(*connection, "HY092", "Invalid attribute/option identifier");
    }
    return finish(*connection, SQL_SUCCESS);
}

SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC ConnectionHandle, SQLINTEGER Attribute,
                                    SQLPOINTER Value, SQLINTEGER /*StringLength*/) {
    trace("SQLSetConnectAttr", Attribute);
    auto* connection = as<Connection>(ConnectionHandle, HandleKind::CONNECTION);
    if (connection == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*connection);
    if (Attribute != SQL_ATTR_AUTOCOMMIT) {
        return finish(*connection, SQL_SUCCESS);
    }
    const bool on = reinterpret_cast<uintptr_t>(Value) != SQL_AUTOCOMMIT_OFF;
    DriverState::get().counted("SQLSetConnectAttr(SQL_ATTR_AUTOCOMMIT)");
    const SQLRETURN code =
        scriptedCall(*connection, connection, on ? Call::AUTOCOMMIT_ON : Call::AUTOCOMMIT_OFF);
    if (succeeded(code)) {
        connection->autocommit = on;
    }
    return code;
}

SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT StatementHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                 SQLINTEGER /*StringLength*/) {
    trace("SQLSetStmtAttr", Attribute);
    auto* statement = as<Statement>(StatementHandle, HandleKind::STATEMENT);
    if (statement == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*statement);
    if (Attribute != SQL_SF_STMT_ATTR_MULTI_STATEMENT_COUNT) {
        return finish(*statement, SQL_SUCCESS);
    }
    switch (DriverState::get().multiStatement()) {
        case MultiStatement::SNOWFLAKE:
            statement->declaredCount = static_cast<long>(reinterpret_cast<intptr_t>(Value));
            return finish(*statement, SQL_SUCCESS);
        case MultiStatement::SESSION:
            return finish(*statement, SQL_SUCCESS);
        case MultiStatement::POSTGRES:
            return fail(*statement, "HYC00", "Optional feature not implemented");
        case MultiStatement::SINGLE:
            break;
    }
    return fail(*statement, "HY092", "Invalid attribute/option identifier");
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC ConnectionHandle, SQLUSMALLINT InfoType, SQLPOINTER InfoValue,
                             SQLSMALLINT BufferLength, SQLSMALLINT* StringLength) {
    trace("SQLGetInfo", InfoType);
    auto* connection = as<Connection>(ConnectionHandle, HandleKind::CONNECTION);
    if (connection == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*connection);
    std::string text;
    if (InfoType == SQL_DBMS_NAME) {
        const Outcome outcome = DriverState::get().dbmsName(text);
        const SQLRETURN code = finish(*connection, outcome);
        if (!succeeded(code)) {
            return code;
        }
        store<SQLSMALLINT>(StringLength, static_cast<SQLSMALLINT>(text.size()));
        return warnIfCut(*connection, copyText(text, InfoValue, BufferLength), code);
    }
    if (stringInfo(InfoType, text)) {
        store<SQLSMALLINT>(StringLength, static_cast<SQLSMALLINT>(text.size()));
        return warnIfCut(*connection, copyText(text, InfoValue, BufferLength));
    }
    SQLUINTEGER number = 0;
    bool small = false;
    if (numericInfo(InfoType, number, small)) {
        if (small) {
            store<SQLUSMALLINT>(InfoValue, static_cast<SQLUSMALLINT>(number));
            store<SQLSMALLINT>(StringLength, sizeof(SQLUSMALLINT));
        } else {
            store<SQLUINTEGER>(InfoValue, number);
            store<SQLSMALLINT>(StringLength, sizeof(SQLUINTEGER));
        }
        return finish(*connection, SQL_SUCCESS);
    }
    return fail(*connection, "HY096", "Information type out of range");
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT StatementHandle, SQLCHAR* StatementText,
                                SQLINTEGER TextLength) {
    trace("SQLExecDirect", TextLength);
    DriverState::get().counted("SQLExecDirect");
    auto* statement = as<Statement>(StatementHandle, HandleKind::STATEMENT);
    if (statement == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*statement);
    discardResults(*statement);
    if (StatementText == nullptr) {
        return fail(*statement, "HY009", "Invalid use of null pointer");
    }
    const char* text = reinterpret_cast<const char*>(StatementText);
    if (TextLength < 0 && TextLength != SQL_NTS) {
        return fail(*statement, "HY090", "Invalid string or buffer length");
    }
    const size_t length = TextLength == SQL_NTS ? std::strlen(text) : TextLength;
    DriverState& state = DriverState::get();
    statement->results = state.execute(text, length, statement->declaredCount,
                                       statement->connection->anyStatementCount);
    statement->current = 0;
    // The request ran as a whole: a statement after the first may have cut the connection.
    for (const StatementResult& result : statement->results) {
        if (result.killConnection) {
            statement->connection->killedAt = state.revival();
        }
    }
    // As with Snowflake's driver (and psqlODBC), a statement that fails fails the execute
    // call, with its own records; the results of the statements before it are gone.
    const StatementResult last = statement->results.back();
    if (!succeeded(last.outcome.returnCode) && last.outcome.returnCode != SQL_NO_DATA) {
        statement->results.assign(1, last);
    }
    return showResult(*statement);
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT StatementHandle, SQLSMALLINT* ColumnCount) {
    trace("SQLNumResultCols");
    auto* statement = as<Statement>(StatementHandle, HandleKind::STATEMENT);
    if (statement == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*statement);
    if (ColumnCount == nullptr) {
        return fail(*statement, "HY009", "Invalid use of null pointer");
    }
    const auto& entry = statement->entry;
    if (entry != nullptr && entry->failNumResultCols) {
        return fail(*statement, "HY000", "Scripted SQLNumResultCols failure");
    }
    *ColumnCount = entry != nullptr ? static_cast<SQLSMALLINT>(entry->columns.size()) : 0;
    return finish(*statement, SQL_SUCCESS);
}

SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                                 SQLCHAR* ColumnName, SQLSMALLINT BufferLength,
                                 SQLSMALLINT* NameLength, SQLSMALLINT* DataType,
                                 SQLULEN* ColumnSize, SQLSMALLINT* DecimalDigits,
                                 SQLSMALLINT* Nullable) {
    trace("SQLDescribeCol", ColumnNumber);
    auto* statement = as<Statement>(StatementHandle, HandleKind::STATEMENT);
    if (statement == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*statement);
    const auto& entry = statement->entry;
    if (entry == nullptr || entry->columns.empty()) {
        return fail(*statement, "07005", "Prepared statement not a cursor-specification");
    }
    if (ColumnNumber < 1 || ColumnNumber > entry->columns.size()) {
        return fail(*statement, "07009", "Invalid descriptor index");
    }
    if (entry->describeFails(ColumnNumber)) {
        return fail(*statement, "HY000", "Scripted SQLDescribeCol failure");
    }
    const std::string& name = entry->columns[ColumnNumber - 1];
    size_t widest = 1;
    for (const auto& row : entry->rows) {
        if (row[ColumnNumber - 1]) {
            widest = std::max(widest, row[ColumnNumber - 1]->size());
        }
    }
    store<SQLSMALLINT>(NameLength, static_cast<SQLSMALLINT>(name.size()));
    store<SQLSMALLINT>(DataType, SQL_VARCHAR);
    store<SQLULEN>(ColumnSize, widest);
    store<SQLSMALLINT>(DecimalDigits, 0);
    store<SQLSMALLINT>(Nullable, SQL_NULLABLE);
    return warnIfCut(*statement, copyText(name, ColumnName, BufferLength));
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT StatementHandle) {
    trace("SQLFetch");
    DriverState::get().counted("SQLFetch");
    auto* statement = as<Statement>(StatementHandle, HandleKind::STATEMENT);
    if (statement == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*statement);
    if (!statement->cursorOpen) {
        return fail(*statement, "24000", "Invalid cursor state");
    }
    statement->dataColumn = 0;
    const size_t rows = statement->entry->rows.size();
    if (statement->row >= rows) {
        statement->row = rows + 1;
        return finish(*statement, SQL_NO_DATA);
    }
    ++statement->row;
    return finish(*statement, SQL_SUCCESS);
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                             SQLSMALLINT TargetType, SQLPOINTER TargetValue, SQLLEN BufferLength,
                             SQLLEN* StrLen_or_Ind) {
    trace("SQLGetData", ColumnNumber);
    auto* statement = as<Statement>(StatementHandle, HandleKind::STATEMENT);
    if (statement == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*statement);
    const auto& entry = statement->entry;
    if (!statement->cursorOpen || statement->row == 0 || statement->row > entry->rows.size()) {
        return fail(*statement, "24000", "Invalid cursor state");
    }
    if (ColumnNumber < 1 || ColumnNumber > entry->columns.size()) {
        return fail(*statement, "07009", "Invalid descriptor index");
    }
    if (TargetType != SQL_C_CHAR && TargetType != SQL_C_DEFAULT) {
        return fail(*statement, "HYC00", "Optional feature not implemented");
    }
    if (BufferLength < 0) {
        return fail(*statement, "HY090", "Invalid string or buffer length");
    }
    if (entry->getDataFails(static_cast<int>(statement->row), ColumnNumber)) {
        return fail(*statement, "HY000", "Scripted SQLGetData failure");
    }
    if (statement->dataColumn != ColumnNumber) {
        statement->dataColumn = ColumnNumber;
        statement->dataOffset = 0;
        statement->dataDone = false;
    }
    if (statement->dataDone) {
        return finish(*statement, SQL_NO_DATA);
    }
    const auto& cell = entry->rows[statement->row - 1][ColumnNumber - 1];
    if (!cell) {
        if (StrLen_or_Ind == nullptr) {
            return fail(*statement, "22002", "Indicator variable required but not supplied");
        }
        *StrLen_or_Ind = SQL_NULL_DATA;
        statement->dataDone = true;
        return finish(*statement, SQL_SUCCESS);
    }
    const size_t remaining = cell->size() - statement->dataOffset;
    store<SQLLEN>(StrLen_or_Ind, static_cast<SQLLEN>(remaining));
    if (TargetValue == nullptr || BufferLength == 0) {
        return warnIfCut(*statement, remaining > 0);
    }
    const size_t count = std::min(remaining, static_cast<size_t>(BufferLength - 1));
    std::memcpy(TargetValue, cell->data() + statement->dataOffset, count);
    static_cast<char*>(TargetValue)[count] = '\0';
    statement->dataOffset += count;
    statement->dataDone = count == remaining;
    return warnIfCut(*statement, !statement->dataDone);
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT StatementHandle, SQLUSMALLINT Option) {
    trace("SQLFreeStmt", Option);
    auto* statement = as<Statement>(StatementHandle, HandleKind::STATEMENT);
    if (statement == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*statement);
    switch (Option) {
        case SQL_DROP:
            return freeHandle(statement);
        case SQL_CLOSE:
            discardResults(*statement);
            break;
        case SQL_UNBIND:
        case SQL_RESET_PARAMS:
            break;
        default:
            return fail(*statement, "HY092", "Invalid attribute/option identifier");
    }
    return finish(*statement, SQL_SUCCESS);
}

SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT StatementHandle) {
    trace("SQLCloseCursor");
    auto* statement = as<Statement>(StatementHandle, HandleKind::STATEMENT);
    if (statement == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*statement);
    if (!statement->cursorOpen) {
        return fail(*statement, "24000", "Invalid cursor state");
    }
    discardResults(*statement);
    return finish(*statement, SQL_SUCCESS);
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT CompletionType) {
    trace("SQLEndTran", HandleType);
    DriverState::get().counted("SQLEndTran");
    if (HandleType != SQL_HANDLE_ENV && HandleType != SQL_HANDLE_DBC) {
        return SQL_ERROR;
    }
    scripted::Handle* handle = anyHandle(HandleType, Handle);
    if (handle == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*handle);
    if (CompletionType != SQL_COMMIT && CompletionType != SQL_ROLLBACK) {
        return fail(*handle, "HY012", "Invalid transaction operation code");
    }
    auto* connection = HandleType == SQL_HANDLE_DBC ? static_cast<Connection*>(handle) : nullptr;
    return scriptedCall(*handle, connection,
                        CompletionType == SQL_COMMIT ? Call::COMMIT : Call::ROLLBACK);
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT StatementHandle, SQLLEN* RowCount) {
    trace("SQLRowCount");
    auto* statement = as<Statement>(StatementHandle, HandleKind::STATEMENT);
    if (statement == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*statement);
    if (RowCount == nullptr) {
        return fail(*statement, "HY009", "Invalid use of null pointer");
    }
    *RowCount = statement->results.empty()
                    ? 0
                    : static_cast<SQLLEN>(statement->results[statement->current].rowCount);
    return finish(*statement, SQL_SUCCESS);
}

// Moves on to the next statement of the request.
SQLRETURN SQL_API SQLMoreResults(SQLHSTMT StatementHandle) {
    trace("SQLMoreResults");
    DriverState::get().counted("SQLMoreResults");
    auto* statement = as<Statement>(StatementHandle, HandleKind::STATEMENT);
    if (statement == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*statement);
    closeCursor(*statement);
    if (statement->current + 1 >= statement->results.size()) {
        discardResults(*statement);
        return finish(*statement, SQL_NO_DATA);
    }
    ++statement->current;
    return showResult(*statement);
}

SQLRETURN SQL_API SQLCancel(SQLHSTMT StatementHandle) {
    trace("SQLCancel");
    auto* statement = as<Statement>(StatementHandle, HandleKind::STATEMENT);
    if (statement == nullptr) {
        return SQL_INVALID_HANDLE;
    }
    begin(*statement);
    return finish(*statement, SQL_SUCCESS);
}
}
