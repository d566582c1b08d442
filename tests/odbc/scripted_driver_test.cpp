// The scripted driver seen through the unixODBC driver manager with raw ODBC
// calls, the way the client uses it.

#include "tests/support/scripted_driver.h"

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace varnholt {
namespace test {

namespace {

SQLCHAR* sqlText(const std::string& text) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

std::vector<DiagRecord> diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::vector<DiagRecord> records;
    for (SQLSMALLINT number = 1;; ++number) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR message[512] = {};
        SQLSMALLINT length = 0;
        if (!SQL_SUCCEEDED(
                SQLGetDiagRec(type, handle, number, state, &native, message, 512, &length))) {
            return records;
        }
        records.push_back(
            {reinterpret_cast<char*>(state), native, reinterpret_cast<char*>(message)});
    }
}

class ScriptedDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        driver.reset();
        ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), SQL_SUCCESS);
        SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_SUCCESS);
    }

    void TearDown() override {
        freeStatement();
        if (connected) {
            SQLDisconnect(dbc);
        }
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        EXPECT_EQ(driver.openHandles(), 0);
    }

    SQLRETURN connect(const std::string& text = ScriptedDriver::connectionString()) {
        const SQLRETURN code = SQLDriverConnect(dbc, nullptr, sqlText(text), SQL_NTS, nullptr, 0,
                                                nullptr, SQL_DRIVER_NOPROMPT);
        connected = SQL_SUCCEEDED(code);
        return code;
    }

    void connectAndAllocate() {
        ASSERT_EQ(connect(), SQL_SUCCESS);
        ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_SUCCESS);
    }

    void freeStatement() {
        if (stmt != SQL_NULL_HSTMT) {
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
            stmt = SQL_NULL_HSTMT;
        }
    }

    SQLRETURN execute(const std::string& text) {
        return SQLExecDirect(stmt, sqlText(text), SQL_NTS);
    }

    SQLRETURN setAutocommit(bool on) {
        return SQLSetConnectAttr(
            dbc, SQL_ATTR_AUTOCOMMIT,
            reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0);
    }

    SQLUINTEGER autocommit() {
        SQLUINTEGER value = 42;
        EXPECT_EQ(SQLGetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, &value, 0, nullptr), SQL_SUCCESS);
        return value;
    }

    SQLUINTEGER connectionDead(SQLRETURN expected = SQL_SUCCESS) {
        SQLUINTEGER value = 42;
        EXPECT_EQ(SQLGetConnectAttr(dbc, SQL_ATTR_CONNECTION_DEAD, &value, 0, nullptr), expected);
        return value;
    }

    ScriptedDriver& driver = ScriptedDriver::instance();
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    bool connected = false;
};

struct ConnectCase {
    const char* name;
    SQLRETURN returnCode;
    DiagRecord diag;
    int connects;
};

void PrintTo(const ConnectCase& c, std::ostream* out) {
    *out << c.name;
}

class ScriptedConnectTest : public ScriptedDriverTest,
                            public ::testing::WithParamInterface<ConnectCase> {};

TEST_P(ScriptedConnectTest, DriverManagerPassesOutcomeAndRecord) {
    const ConnectCase& c = GetParam();
    driver.setConnectResult(c.returnCode, c.diag);
    EXPECT_EQ(connect(), c.returnCode);
    const auto records = diagnostics(SQL_HANDLE_DBC, dbc);
    if (c.diag.sqlState.empty()) {
        EXPECT_TRUE(records.empty());
    } else {
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0], c.diag);
    }
    EXPECT_EQ(driver.connectCount(), c.connects);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ScriptedConnectTest,
    ::testing::Values(
        ConnectCase{"Success", SQL_SUCCESS, {}, 1},
        ConnectCase{"Warning", SQL_SUCCESS_WITH_INFO, {"01000", 3, "Session warning"}, 1},
        ConnectCase{"Transient", SQL_ERROR, {"08001", 250001, "Could not connect"}, 0},
        ConnectCase{"Credentials", SQL_ERROR, {"28000", 390100, "Incorrect username"}, 0},
        ConnectCase{"NoRecord", SQL_ERROR, {}, 0}),
    [](const ::testing::TestParamInfo<ConnectCase>& info) { return info.param.name; });

TEST_F(ScriptedDriverTest, SnowflakeDriverNameReachesTheScriptedDriver) {
    const std::string text = "DRIVER=SnowflakeDSIIDriver;SERVER=acme;UID=u;PWD=p;";
    EXPECT_EQ(connect(text), SQL_SUCCESS);
    EXPECT_EQ(driver.connectCount(), 1);
    EXPECT_NE(driver.lastConnectionString().find("SERVER=acme;UID=u;PWD=p"), std::string::npos);
}

TEST_F(ScriptedDriverTest, StatementRecordsKeepTheirOrder) {
    StatementScript failing;
    failing.match = "INSERT INTO t";
    failing.returnCode = SQL_ERROR;
    failing.diagnostics = {{"08S01", 10054, "Communication link failure"},
                           {"HY000", 7, "Second record"}};
    driver.addStatement(failing);
    StatementScript warning;
    warning.match = "UPDATE";
    warning.returnCode = SQL_SUCCESS_WITH_INFO;
    warning.diagnostics = {{"01000", 1, "Just so you know"}};
    driver.addStatement(warning);
    connectAndAllocate();

    EXPECT_EQ(execute("INSERT INTO t VALUES (1)"), SQL_ERROR);
    SQLINTEGER count = 0;
    EXPECT_EQ(SQLGetDiagField(SQL_HANDLE_STMT, stmt, 0, SQL_DIAG_NUMBER, &count, 0, nullptr),
              SQL_SUCCESS);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt), failing.diagnostics);
    EXPECT_EQ(execute("UPDATE t SET a = 1"), SQL_SUCCESS_WITH_INFO);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt), warning.diagnostics);
    EXPECT_EQ(execute("DELETE FROM t"), SQL_SUCCESS);
    EXPECT_TRUE(diagnostics(SQL_HANDLE_STMT, stmt).empty());
}

TEST_F(ScriptedDriverTest, ResultSetWithNullsAndTruncation) {
    const std::string longValue(1500, 'v');
    StatementScript select;
    select.match = "SELECT a, b FROM t";
    select.prefix = false;
    select.columns = {"a", "b"};
    select.rows = {{std::string("x"), std::nullopt}, {longValue, std::string("")}};
    driver.addStatement(select);
    connectAndAllocate();

    ASSERT_EQ(execute("SELECT a, b FROM t"), SQL_SUCCESS);
    SQLSMALLINT columns = 0;
    ASSERT_EQ(SQLNumResultCols(stmt, &columns), SQL_SUCCESS);
    ASSERT_EQ(columns, 2);
    SQLCHAR name[256] = {};
    SQLSMALLINT nameLength = 0;
    ASSERT_EQ(SQLDescribeCol(stmt, 2, name, 256, &nameLength, nullptr, nullptr, nullptr, nullptr),
              SQL_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(name), "b");

    char buffer[1024];
    SQLLEN indicator = 0;
    ASSERT_EQ(SQLFetch(stmt), SQL_SUCCESS);
    ASSERT_EQ(SQLGetData(stmt, 1, SQL_C_CHAR, buffer, 1024, &indicator), SQL_SUCCESS);
    EXPECT_STREQ(buffer, "x");
    ASSERT_EQ(SQLGetData(stmt, 2, SQL_C_CHAR, buffer, 1024, &indicator), SQL_SUCCESS);
    EXPECT_EQ(indicator, SQL_NULL_DATA);

    ASSERT_EQ(SQLFetch(stmt), SQL_SUCCESS);
    ASSERT_EQ(SQLGetData(stmt, 1, SQL_C_CHAR, buffer, 1024, &indicator), SQL_SUCCESS_WITH_INFO);
    EXPECT_EQ(indicator, 1500);
    EXPECT_EQ(std::string(buffer), longValue.substr(0, 1023));
    const auto records = diagnostics(SQL_HANDLE_STMT, stmt);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].sqlState, "01004");
    ASSERT_EQ(SQLGetData(stmt, 2, SQL_C_CHAR, buffer, 1024, &indicator), SQL_SUCCESS);
    EXPECT_EQ(indicator, 0);
    EXPECT_STREQ(buffer, "");

    EXPECT_EQ(SQLFetch(stmt), SQL_NO_DATA);
}

TEST_F(ScriptedDriverTest, FetchWithoutResultSetFails) {
    connectAndAllocate();
    ASSERT_EQ(execute("CREATE TABLE t (a INT)"), SQL_SUCCESS);
    SQLSMALLINT columns = 7;
    ASSERT_EQ(SQLNumResultCols(stmt, &columns), SQL_SUCCESS);
    EXPECT_EQ(columns, 0);
    EXPECT_EQ(SQLFetch(stmt), SQL_ERROR);
    const auto records = diagnostics(SQL_HANDLE_STMT, stmt);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0].sqlState, "24000");
}

TEST_F(ScriptedDriverTest, NoDataFromExecDirectLeavesNoRecord) {
    StatementScript nothing;
    nothing.match = "DELETE";
    nothing.returnCode = SQL_NO_DATA;
    driver.addStatement(nothing);
    connectAndAllocate();
    EXPECT_EQ(execute("DELETE FROM t WHERE 1 = 0"), SQL_NO_DATA);
    EXPECT_TRUE(diagnostics(SQL_HANDLE_STMT, stmt).empty());
}

TEST_F(ScriptedDriverTest, ScriptedStepFailuresCarryARecord) {
    StatementScript broken;
    broken.match = "SELECT";
    broken.columns = {"a", "b"};
    broken.rows = {{std::string("1"), std::string("2")}};
    broken.failDescribeColumns = {2};
    broken.failGetData = {{1, 1}};
    broken.times = 1;
    driver.addStatement(broken);
    StatementScript uncountable = broken;
    uncountable.failNumResultCols = true;
    driver.addStatement(uncountable);
    connectAndAllocate();

    ASSERT_EQ(execute("SELECT a, b FROM t"), SQL_SUCCESS);
    SQLCHAR name[256];
    EXPECT_EQ(SQLDescribeCol(stmt, 1, name, 256, nullptr, nullptr, nullptr, nullptr, nullptr),
              SQL_SUCCESS);
    EXPECT_EQ(SQLDescribeCol(stmt, 2, name, 256, nullptr, nullptr, nullptr, nullptr, nullptr),
              SQL_ERROR);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt).size(), 1u);
    ASSERT_EQ(SQLFetch(stmt), SQL_SUCCESS);
    char buffer[1024];
    SQLLEN indicator = 0;
    EXPECT_EQ(SQLGetData(stmt, 1, SQL_C_CHAR, buffer, 1024, &indicator), SQL_ERROR);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt).size(), 1u);
    EXPECT_EQ(SQLGetData(stmt, 2, SQL_C_CHAR, buffer, 1024, &indicator), SQL_SUCCESS);
    EXPECT_STREQ(buffer, "2");
    freeStatement();

    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_SUCCESS);
    ASSERT_EQ(execute("SELECT a, b FROM t"), SQL_SUCCESS);
    SQLSMALLINT columns = 0;
    EXPECT_EQ(SQLNumResultCols(stmt, &columns), SQL_ERROR);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt).size(), 1u);
}

TEST_F(ScriptedDriverTest, JournalKeepsOrderAndTimesRunOut) {
    StatementScript once;
    once.match = "INSERT";
    once.returnCode = SQL_ERROR;
    once.diagnostics = {{"40001", 0, "Serialization failure"}};
    once.times = 1;
    driver.addStatement(once);
    StatementScript exact;
    exact.match = "SELECT 1";
    exact.prefix = false;
    exact.returnCode = SQL_ERROR;
    driver.addStatement(exact);
    connectAndAllocate();

    EXPECT_EQ(execute("INSERT INTO a VALUES (1)"), SQL_ERROR);
    EXPECT_EQ(execute("INSERT INTO a VALUES (2)"), SQL_SUCCESS);
    EXPECT_EQ(execute("SELECT 1"), SQL_ERROR);
    EXPECT_EQ(execute("SELECT 12"), SQL_SUCCESS);
    EXPECT_EQ(driver.journal(),
              (std::vector<std::string>{"INSERT INTO a VALUES (1)", "INSERT INTO a VALUES (2)",
                                        "SELECT 1", "SELECT 12"}));
    driver.clearJournal();
    driver.setJournaling(false);
    EXPECT_EQ(execute("SELECT 2"), SQL_SUCCESS);
    EXPECT_TRUE(driver.journal().empty());
}

TEST_F(ScriptedDriverTest, DeadConnectionAttribute) {
    StatementScript fatal;
    fatal.match = "INSERT";
    fatal.returnCode = SQL_ERROR;
    fatal.diagnostics = {{"08S01", 0, "Communication link failure"}};
    fatal.killConnection = true;
    driver.addStatement(fatal);
    connectAndAllocate();

    EXPECT_EQ(connectionDead(), SQL_CD_FALSE);
    EXPECT_EQ(execute("INSERT INTO t VALUES (1)"), SQL_ERROR);
    EXPECT_EQ(connectionDead(), SQL_CD_TRUE);
    driver.setConnectionDead(false);
    EXPECT_EQ(connectionDead(), SQL_CD_FALSE);
    driver.setConnectionDead(true);
    EXPECT_EQ(connectionDead(), SQL_CD_TRUE);

    const DiagRecord warning{"01000", 5, "Attribute warning"};
    driver.setConnectAttrResult(SQL_SUCCESS_WITH_INFO, warning);
    connectionDead(SQL_SUCCESS_WITH_INFO);
    EXPECT_EQ(diagnostics(SQL_HANDLE_DBC, dbc), std::vector<DiagRecord>{warning});
    const DiagRecord failure{"HY000", 6, "Attribute failure"};
    driver.setConnectAttrResult(SQL_ERROR, failure);
    connectionDead(SQL_ERROR);
    EXPECT_EQ(diagnostics(SQL_HANDLE_DBC, dbc), std::vector<DiagRecord>{failure});
}

TEST_F(ScriptedDriverTest, DbmsName) {
    ASSERT_EQ(connect(), SQL_SUCCESS);
    SQLCHAR name[256] = {};
    SQLSMALLINT length = 0;
    ASSERT_EQ(SQLGetInfo(dbc, SQL_DBMS_NAME, name, 256, &length), SQL_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(name), "ScriptedDB");
    driver.setDbmsName("Snowflake");
    ASSERT_EQ(SQLGetInfo(dbc, SQL_DBMS_NAME, name, 256, &length), SQL_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(name), "Snowflake");
    EXPECT_EQ(length, 9);
    driver.setDbmsName("MySQL", SQL_ERROR);
    EXPECT_EQ(SQLGetInfo(dbc, SQL_DBMS_NAME, name, 256, &length), SQL_ERROR);
    EXPECT_EQ(diagnostics(SQL_HANDLE_DBC, dbc).size(), 1u);
}

TEST_F(ScriptedDriverTest, StatementAllocationFailureRecordIsOnTheConnection) {
    const DiagRecord diag{"HY001", 12, "Memory allocation error"};
    driver.setAllocStatementResult(SQL_ERROR, diag);
    ASSERT_EQ(connect(), SQL_SUCCESS);
    EXPECT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_ERROR);
    stmt = SQL_NULL_HSTMT;
    EXPECT_EQ(diagnostics(SQL_HANDLE_DBC, dbc), std::vector<DiagRecord>{diag});
}

TEST_F(ScriptedDriverTest, HandlesAreCountedUntilFreed) {
    connectAndAllocate();
    EXPECT_EQ(driver.openHandles(), 3);
    freeStatement();
    EXPECT_EQ(driver.openHandles(), 2);
    SQLDisconnect(dbc);
    connected = false;
    EXPECT_EQ(driver.disconnectCount(), 1);
    EXPECT_EQ(driver.openHandles(), 0);
}

TEST_F(ScriptedDriverTest, InvalidScriptIsRejected) {
    EXPECT_THROW(driver.load(R"({"statements":[{"match":"x","rows":[["a"]]}]})"),
                 std::runtime_error);
    EXPECT_THROW(driver.load(R"({"conect":{}})"), std::runtime_error);
    EXPECT_THROW(driver.load(R"({"multiStatement":"mysql"})"), std::runtime_error);
    EXPECT_THROW(driver.load(R"({"commit":{"returnCode":-1,"retries":2}})"), std::runtime_error);
    EXPECT_THROW(driver.load("{"), std::runtime_error);
}

// Out-of-process control: script and journal files named in the environment.
TEST_F(ScriptedDriverTest, ScriptAndJournalFiles) {
    char scriptPath[] = "/tmp/scripted-odbc-scriptXXXXXX";
    char journalPath[] = "/tmp/scripted-odbc-journalXXXXXX";
    const int scriptFile = mkstemp(scriptPath);
    const int journalFile = mkstemp(journalPath);
    ASSERT_GE(scriptFile, 0);
    ASSERT_GE(journalFile, 0);
    close(scriptFile);
    close(journalFile);
    std::ofstream(scriptPath) << R"({"dbmsName":"FromFile","statements":[)"
                              << R"({"match":"SELECT","columns":["n"],"rows":[["7"]]}]})";
    setenv("SCRIPTED_ODBC_SCRIPT", scriptPath, 1);
    setenv("SCRIPTED_ODBC_JOURNAL", journalPath, 1);
    connectAndAllocate();
    unsetenv("SCRIPTED_ODBC_SCRIPT");
    unsetenv("SCRIPTED_ODBC_JOURNAL");

    ASSERT_EQ(execute("SELECT \"n\"\nFROM t"), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(stmt), SQL_SUCCESS);
    char buffer[16];
    SQLLEN indicator = 0;
    ASSERT_EQ(SQLGetData(stmt, 1, SQL_C_CHAR, buffer, sizeof buffer, &indicator), SQL_SUCCESS);
    EXPECT_STREQ(buffer, "7");
    std::ifstream journal(journalPath);
    std::string line;
    ASSERT_TRUE(std::getline(journal, line));
    EXPECT_EQ(line, R"("SELECT \"n\"\nFROM t")");
    EXPECT_FALSE(std::getline(journal, line));
    std::remove(scriptPath);
    std::remove(journalPath);
}

// Statement-less calls of a transaction, journaled in order with the statements.
TEST_F(ScriptedDriverTest, TransactionCallsAreJournaledInOrder) {
    connectAndAllocate();
    ASSERT_EQ(setAutocommit(false), SQL_SUCCESS);
    EXPECT_EQ(autocommit(), SQL_AUTOCOMMIT_OFF);
    ASSERT_EQ(execute("INSERT INTO t VALUES (1)"), SQL_SUCCESS);
    ASSERT_EQ(SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT), SQL_SUCCESS);
    ASSERT_EQ(SQLEndTran(SQL_HANDLE_ENV, env, SQL_ROLLBACK), SQL_SUCCESS);
    ASSERT_EQ(setAutocommit(true), SQL_SUCCESS);
    EXPECT_EQ(autocommit(), SQL_AUTOCOMMIT_ON);
    EXPECT_EQ(driver.journal(),
              (std::vector<std::string>{"[autocommit off]", "INSERT INTO t VALUES (1)", "[commit]",
                                        "[rollback]", "[autocommit on]"}));
}

struct TransactionCase {
    const char* name;
    TransactionCall call;
    bool throughEnvironment;
    DiagRecord diag;
    bool killConnection;
};

void PrintTo(const TransactionCase& c, std::ostream* out) {
    *out << c.name;
}

class ScriptedTransactionTest : public ScriptedDriverTest,
                                public ::testing::WithParamInterface<TransactionCase> {
protected:
    SQLRETURN run(TransactionCall call, bool throughEnvironment) {
        switch (call) {
            case TransactionCall::AUTOCOMMIT_OFF:
                return setAutocommit(false);
            case TransactionCall::AUTOCOMMIT_ON:
                return setAutocommit(true);
            case TransactionCall::COMMIT:
            case TransactionCall::ROLLBACK:
                break;
        }
        const SQLSMALLINT completion = call == TransactionCall::COMMIT ? SQL_COMMIT : SQL_ROLLBACK;
        return throughEnvironment ? SQLEndTran(SQL_HANDLE_ENV, env, completion)
                                  : SQLEndTran(SQL_HANDLE_DBC, dbc, completion);
    }
};

// A scripted failure answers the next call once; the call after it succeeds.
TEST_P(ScriptedTransactionTest, ScriptedOutcomeReachesTheCaller) {
    const TransactionCase& c = GetParam();
    const bool switches =
        c.call == TransactionCall::AUTOCOMMIT_OFF || c.call == TransactionCall::AUTOCOMMIT_ON;
    const bool startsOn = c.call == TransactionCall::AUTOCOMMIT_OFF;
    connectAndAllocate();
    ASSERT_EQ(setAutocommit(startsOn), SQL_SUCCESS);
    driver.setTransactionResult(c.call, SQL_ERROR, c.diag, c.killConnection, 1);
    driver.clearJournal();

    EXPECT_EQ(run(c.call, c.throughEnvironment), SQL_ERROR);
    if (c.throughEnvironment) {
        // The driver manager ends each connection's transaction on its own and reports a
        // failure as its own record.
        const auto records = diagnostics(SQL_HANDLE_ENV, env);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].sqlState, "25S01");
    } else {
        EXPECT_EQ(diagnostics(SQL_HANDLE_DBC, dbc), std::vector<DiagRecord>{c.diag});
    }
    EXPECT_EQ(connectionDead(), c.killConnection ? SQL_CD_TRUE : SQL_CD_FALSE);
    if (switches) {
        // A refused switch leaves the mode as it was.
        EXPECT_EQ(autocommit(), startsOn ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF);
    }
    EXPECT_EQ(run(c.call, c.throughEnvironment), SQL_SUCCESS);
    EXPECT_EQ(driver.journal().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ScriptedTransactionTest,
    ::testing::Values(TransactionCase{"CommitLosesTheLink",
                                      TransactionCall::COMMIT,
                                      false,
                                      {"08S01", 0, "Communication link failure"},
                                      true},
                      TransactionCase{"CommitNetworkFailure",
                                      TransactionCall::COMMIT,
                                      false,
                                      {"HY000", 0, "Failed to send request"},
                                      false},
                      TransactionCase{"CommitThroughEnvironment",
                                      TransactionCall::COMMIT,
                                      true,
                                      {"25000", 0, "Commit refused"},
                                      false},
                      TransactionCase{"RollbackLosesTheLink",
                                      TransactionCall::ROLLBACK,
                                      false,
                                      {"08S01", 0, "Communication link failure"},
                                      true},
                      TransactionCase{"RollbackThroughEnvironment",
                                      TransactionCall::ROLLBACK,
                                      true,
                                      {"08S01", 0, "Communication link failure"},
                                      true},
                      TransactionCase{"AutocommitOffRefused",
                                      TransactionCall::AUTOCOMMIT_OFF,
                                      false,
                                      {"HY000", 390114, "Authentication token has expired."},
                                      false},
                      TransactionCase{"AutocommitOnRefused",
                                      TransactionCall::AUTOCOMMIT_ON,
                                      false,
                                      {"HYC00", 0, "Optional feature not implemented"},
                                      false}),
    [](const ::testing::TestParamInfo<TransactionCase>& info) { return info.param.name; });

// How a request of several statements is cut into the statements that are journaled and
// matched one by one.
struct SplitCase {
    const char* name;
    std::string request;
    std::vector<std::string> statements;
};

void PrintTo(const SplitCase& c, std::ostream* out) {
    *out << c.name;
}

class ScriptedSplitTest : public ScriptedDriverTest,
                          public ::testing::WithParamInterface<SplitCase> {};

TEST_P(ScriptedSplitTest, RequestIsJournaledStatementByStatement) {
    connectAndAllocate();
    EXPECT_EQ(execute(GetParam().request), SQL_SUCCESS);
    EXPECT_EQ(driver.journal(), GetParam().statements);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ScriptedSplitTest,
    ::testing::Values(
        SplitCase{"OneStatement", "SELECT 1", {"SELECT 1"}},
        SplitCase{"Several",
                  "INSERT INTO a VALUES (1);\nINSERT INTO b VALUES (2); SELECT 3",
                  {"INSERT INTO a VALUES (1)", "INSERT INTO b VALUES (2)", "SELECT 3"}},
        SplitCase{"EmptyPiecesLeftOut", " ;;SELECT 1; ;\n", {"SELECT 1"}},
        SplitCase{"QuotedLiterals",
                  R"(INSERT INTO t VALUES ('a;b', 'it''s;', 'back\';slash');SELECT ';')",
                  {R"(INSERT INTO t VALUES ('a;b', 'it''s;', 'back\';slash'))", "SELECT ';'"}},
        SplitCase{"QuotedIdentifiers",
                  R"(SELECT "a;""b" FROM "t;";SELECT 2)",
                  {R"(SELECT "a;""b" FROM "t;")", "SELECT 2"}},
        SplitCase{"DollarStrings", "SELECT $$a;'b$$;SELECT 2", {"SELECT $$a;'b$$", "SELECT 2"}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return info.param.name; });

// Statement 1 answers SQLExecDirect, SQLMoreResults each later one; a failure fails the execute
// call itself, as with Snowflake's driver, and ends the request.
TEST_F(ScriptedDriverTest, LaterStatementsAnswerMoreResults) {
    StatementScript select;
    select.match = "SELECT";
    select.columns = {"n"};
    select.rows = {{std::string("7")}};
    driver.addStatement(select);
    StatementScript bad;
    bad.match = "'bad'";
    bad.contains = true;
    bad.returnCode = SQL_ERROR;
    bad.diagnostics = {{"22000", 100078, "String 'bad' is too long and would be truncated"}};
    bad.killConnection = true;
    driver.addStatement(bad);
    connectAndAllocate();

    ASSERT_EQ(execute("INSERT INTO t VALUES (1), ('x;y'), (3); SELECT n FROM t"), SQL_SUCCESS);
    SQLLEN rows = -1;
    ASSERT_EQ(SQLRowCount(stmt, &rows), SQL_SUCCESS);
    EXPECT_EQ(rows, 3);
    EXPECT_EQ(SQLFetch(stmt), SQL_ERROR);

    ASSERT_EQ(SQLMoreResults(stmt), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(stmt), SQL_SUCCESS);
    char buffer[16];
    SQLLEN indicator = 0;
    ASSERT_EQ(SQLGetData(stmt, 1, SQL_C_CHAR, buffer, sizeof buffer, &indicator), SQL_SUCCESS);
    EXPECT_STREQ(buffer, "7");
    EXPECT_EQ(SQLMoreResults(stmt), SQL_NO_DATA);

    driver.clearJournal();
    ASSERT_EQ(execute("INSERT INTO t VALUES (1); SELECT n FROM t;"
                      " INSERT INTO t VALUES ('bad'); INSERT INTO t VALUES (4)"),
              SQL_ERROR);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt), bad.diagnostics);
    // The request ran as a whole: its third statement has cut the connection already.
    EXPECT_EQ(connectionDead(), SQL_CD_TRUE);
    EXPECT_EQ(SQLMoreResults(stmt), SQL_NO_DATA);
    EXPECT_EQ(driver.journal(),
              (std::vector<std::string>{"INSERT INTO t VALUES (1)", "SELECT n FROM t",
                                        "INSERT INTO t VALUES ('bad')"}));
}

// A value among many rows fails exactly the statement that carries it, `times` times.
TEST_F(ScriptedDriverTest, ContainsMatchesAnywhereUntilItsTimesRunOut) {
    StatementScript bad;
    bad.match = "'row 617'";
    bad.contains = true;
    bad.times = 1;
    bad.returnCode = SQL_ERROR;
    driver.addStatement(bad);
    connectAndAllocate();
    const auto insert = [](int from, int to) {
        std::string text = "INSERT INTO t VALUES ";
        for (int row = from; row < to; ++row) {
            text += (row == from ? "('row " : ", ('row ") + std::to_string(row) + "')";
        }
        return text;
    };
    EXPECT_EQ(execute(insert(0, 500)), SQL_SUCCESS);
    EXPECT_EQ(execute(insert(500, 1000)), SQL_ERROR);
    EXPECT_EQ(execute("SELECT 'row 6170'"), SQL_SUCCESS);
    EXPECT_EQ(execute(insert(500, 1000)), SQL_SUCCESS);
}

// The Snowflake driver's statement-count attribute, and requests of several statements in
// each mode.
struct MultiStatementCase {
    const char* name;
    MultiStatementMode mode;
    SQLLEN declared;  // 0: attribute not set
    SQLRETURN attributeReturn;
    std::string attributeState;
    int statements;
    SQLRETURN executeReturn;
    DiagRecord executeDiag;
};

void PrintTo(const MultiStatementCase& c, std::ostream* out) {
    *out << c.name;
}

class ScriptedMultiStatementTest : public ScriptedDriverTest,
                                   public ::testing::WithParamInterface<MultiStatementCase> {};

TEST_P(ScriptedMultiStatementTest, CountIsCheckedAsTheModeDoes) {
    const MultiStatementCase& c = GetParam();
    driver.setMultiStatementMode(c.mode);
    connectAndAllocate();
    if (c.declared != 0) {
        EXPECT_EQ(SQLSetStmtAttr(stmt, ScriptedDriver::MULTI_STATEMENT_COUNT_ATTRIBUTE,
                                 reinterpret_cast<SQLPOINTER>(c.declared), 0),
                  c.attributeReturn);
        const auto records = diagnostics(SQL_HANDLE_STMT, stmt);
        EXPECT_EQ(records.empty() ? "" : records[0].sqlState, c.attributeState);
    }
    std::vector<std::string> statements;
    std::string request;
    for (int i = 1; i <= c.statements; ++i) {
        statements.push_back("SELECT " + std::to_string(i));
        request += statements.back() + ";";
    }
    EXPECT_EQ(execute(request), c.executeReturn);
    const auto records = diagnostics(SQL_HANDLE_STMT, stmt);
    if (c.executeDiag.sqlState.empty()) {
        EXPECT_TRUE(records.empty());
        EXPECT_EQ(driver.journal(), statements);
    } else {
        EXPECT_EQ(records, std::vector<DiagRecord>{c.executeDiag});
        EXPECT_TRUE(driver.journal().empty());
    }
}

const DiagRecord MULTIPLE_COMMANDS{"42601", 0,
                                   "cannot insert multiple commands into a prepared statement"};

DiagRecord countMismatch(int actual, int desired) {
    return {"0A000", 8,
            "Actual statement count " + std::to_string(actual) +
                " did not match the desired statement count " + std::to_string(desired) + "."};
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ScriptedMultiStatementTest,
    ::testing::Values(
        MultiStatementCase{"SnowflakeCountMatches",
                           MultiStatementMode::SNOWFLAKE,
                           3,
                           SQL_SUCCESS,
                           "",
                           3,
                           SQL_SUCCESS,
                           {}},
        MultiStatementCase{"SnowflakeCountTooLow", MultiStatementMode::SNOWFLAKE, 2, SQL_SUCCESS,
                           "", 3, SQL_ERROR, countMismatch(3, 2)},
        MultiStatementCase{"SnowflakeCountTooHigh", MultiStatementMode::SNOWFLAKE, 2, SQL_SUCCESS,
                           "", 1, SQL_ERROR, countMismatch(1, 2)},
        MultiStatementCase{"SnowflakeUndeclaredSeveral", MultiStatementMode::SNOWFLAKE, 0, 0, "", 2,
                           SQL_ERROR, countMismatch(2, 1)},
        MultiStatementCase{
            "SnowflakeUndeclaredOne", MultiStatementMode::SNOWFLAKE, 0, 0, "", 1, SQL_SUCCESS, {}},
        MultiStatementCase{"PostgresRefusesTheAttribute",
                           MultiStatementMode::POSTGRES,
                           3,
                           SQL_ERROR,
                           "HYC00",
                           3,
                           SQL_SUCCESS,
                           {}},
        MultiStatementCase{"SingleRefusesSeveral", MultiStatementMode::SINGLE, 2, SQL_ERROR,
                           "HY092", 2, SQL_ERROR, MULTIPLE_COMMANDS},
        MultiStatementCase{
            "SingleRunsOne", MultiStatementMode::SINGLE, 0, 0, "", 1, SQL_SUCCESS, {}},
        MultiStatementCase{"SessionIgnoresTheAttribute", MultiStatementMode::SESSION, 2,
                           SQL_SUCCESS, "", 2, SQL_ERROR, countMismatch(2, 1)}),
    [](const ::testing::TestParamInfo<MultiStatementCase>& info) { return info.param.name; });

// Where the driver ignores the attribute, the session setting lets requests hold any number of
// statements, until the connection ends.
TEST_F(ScriptedDriverTest, SessionSettingAllowsSeveralStatementsUntilTheConnectionEnds) {
    driver.setMultiStatementMode(MultiStatementMode::SESSION);
    connectAndAllocate();
    EXPECT_EQ(execute("SELECT 1;SELECT 2"), SQL_ERROR);
    EXPECT_EQ(execute("alter session set multi_statement_count = 0"), SQL_SUCCESS);
    EXPECT_EQ(execute("SELECT 1;SELECT 2"), SQL_SUCCESS);

    freeStatement();
    ASSERT_EQ(SQLDisconnect(dbc), SQL_SUCCESS);
    connectAndAllocate();
    EXPECT_EQ(execute("SELECT 1;SELECT 2"), SQL_ERROR);
}

// Snowflake's limits: rows of one statement's VALUES list, bytes of one request.
struct LimitCase {
    const char* name;
    bool limits;
    std::vector<int> rows;  // one INSERT per entry, in one request
    size_t bytes;           // 0: as built; else padded to this length
    SQLRETURN executeReturn;
    std::string message;
};

void PrintTo(const LimitCase& c, std::ostream* out) {
    *out << c.name;
}

class ScriptedLimitTest : public ScriptedDriverTest,
                          public ::testing::WithParamInterface<LimitCase> {};

TEST_P(ScriptedLimitTest, StatementsBeyondALimitAreRefused) {
    const LimitCase& c = GetParam();
    driver.setSnowflakeLimits(c.limits);
    connectAndAllocate();
    std::string request;
    for (int rows : c.rows) {
        request += request.empty() ? "" : ";";
        request += "INSERT INTO t VALUES (0)";
        for (int row = 1; row < rows; ++row) {
            request += ",(" + std::to_string(row % 10) + ")";
        }
    }
    if (c.bytes != 0) {
        request += ";SELECT '" + std::string(c.bytes - request.size() - 10, 'x') + "'";
        ASSERT_EQ(request.size(), c.bytes);
    }
    SQLRETURN code = execute(request);
    EXPECT_EQ(code, c.executeReturn);
    while (code == SQL_SUCCESS) {
        code = SQLMoreResults(stmt);
    }
    if (c.message.empty()) {
        EXPECT_EQ(code, SQL_NO_DATA);
    } else {
        EXPECT_EQ(code, SQL_ERROR);
        EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt),
                  (std::vector<DiagRecord>{{"42601", 1795, c.message}}));
    }
}

const std::string TOO_MANY_ROWS =
    "maximum number of expressions in a list exceeded, expected at most 16,384, got 16,385";
const std::string TOO_MANY_BYTES =
    "maximum statement size exceeded, expected at most 1,048,576 bytes, got 1,048,577";

INSTANTIATE_TEST_SUITE_P(
    Limits, ScriptedLimitTest,
    ::testing::Values(
        LimitCase{"RowsAtTheLimit", true, {16384}, 0, SQL_SUCCESS, ""},
        LimitCase{"RowsBeyond", true, {16385}, 0, SQL_ERROR, TOO_MANY_ROWS},
        LimitCase{"RowsCountedPerStatement", true, {16384, 16384}, 0, SQL_SUCCESS, ""},
        LimitCase{"RowsBeyondInALaterStatement", true, {2, 16385}, 0, SQL_ERROR, TOO_MANY_ROWS},
        LimitCase{"BytesAtTheLimit", true, {1}, 1048576, SQL_SUCCESS, ""},
        LimitCase{"BytesBeyond", true, {1}, 1048577, SQL_ERROR, TOO_MANY_BYTES},
        LimitCase{
            "BytesCountedPerRequest", true, {16000, 16000}, 1048577, SQL_ERROR, TOO_MANY_BYTES},
        LimitCase{"Off", false, {16385}, 2000000, SQL_SUCCESS, ""}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return info.param.name; });

// Snowflake's own codes travel through the driver manager unchanged.
class ScriptedSnowflakeCodeTest : public ScriptedDriverTest,
                                  public ::testing::WithParamInterface<DiagRecord> {};

TEST_P(ScriptedSnowflakeCodeTest, StatementFailureKeepsItsCodes) {
    StatementScript failing;
    failing.match = "INSERT";
    failing.returnCode = SQL_ERROR;
    failing.diagnostics = {GetParam()};
    driver.addStatement(failing);
    connectAndAllocate();
    EXPECT_EQ(execute("INSERT INTO t VALUES (1)"), SQL_ERROR);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt), failing.diagnostics);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ScriptedSnowflakeCodeTest,
    ::testing::Values(
        DiagRecord{"22000", 100078, "String 'x' is too long and would be truncated"},
        DiagRecord{"42S02", 2003, "Table 'T' does not exist or not authorized."},
        DiagRecord{"08001", 390114,
                   "Authentication token has expired. The user must authenticate again."},
        DiagRecord{"57014", 630, "Statement reached its statement or warehouse timeout"},
        DiagRecord{"HY000", 0, "Connection reset by peer"}),
    [](const ::testing::TestParamInfo<DiagRecord>& info) {
        return info.param.sqlState + "_" + std::to_string(info.param.nativeError);
    });

}  // namespace
}  // namespace test
}  // namespace varnholt
