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

}  // namespace
}  // namespace test
}  // namespace varnholt
