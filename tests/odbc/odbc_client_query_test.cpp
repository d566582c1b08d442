#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/odbc_client.h"
#include "host/log_capture.h"
#include "tests/odbc/client_probe.h"
#include "tests/support/case_names.h"
#include "tests/support/scripted_driver.h"

namespace {

using varnholt::test::caseName;
using varnholt::test::caseNames;
using varnholt::test::ClientProbe;
using varnholt::test::DiagRecord;
using varnholt::test::ScriptedDriver;
using varnholt::test::StatementScript;
using varnholt::test::textNames;
using Lines = std::vector<LogCapture::Line>;
using Level = Logger::Level;
using Rows = std::vector<std::vector<std::string>>;

LogCapture::Line debug(const std::string& text) {
    return {Level::DEBUG, text};
}

const std::string EXECUTE_FAILED = "Failed to execute query.";

// Runs `call` and returns the text of the std::runtime_error it throws; fails the test when it
// throws nothing.
template <typename Call>
std::string runtimeErrorOf(Call call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    ADD_FAILURE() << "no std::runtime_error thrown";
    return "";
}

class ODBCClientQuery : public ::testing::Test {
protected:
    void SetUp() override {
        driver().reset();
        client = std::make_unique<ClientProbe>();
        client->Init();
        ASSERT_EQ(client->Connect(ScriptedDriver::connectionString()), TOLVANE_ODBC_SUCCESS);
        connectedHandles = driver().openHandles();
    }

    void TearDown() override {
        // No statement handle outlives its call.
        EXPECT_EQ(driver().openHandles(), connectedHandles);
        client.reset();
        EXPECT_EQ(driver().openHandles(), 0);
    }

    static ScriptedDriver& driver() { return ScriptedDriver::instance(); }

    static StatementScript select(const std::string& match, std::vector<std::string> columns,
                                  std::vector<std::vector<std::optional<std::string>>> rows) {
        StatementScript script;
        script.match = match;
        script.columns = std::move(columns);
        script.rows = std::move(rows);
        return script;
    }

    static StatementScript failing(const std::string& match, int16_t returnCode,
                                   std::vector<DiagRecord> diagnostics) {
        StatementScript script;
        script.match = match;
        script.returnCode = returnCode;
        script.diagnostics = std::move(diagnostics);
        return script;
    }

    std::unique_ptr<ClientProbe> client;
    int connectedHandles = 0;
};

TEST_F(ODBCClientQuery, StatementWithoutResultSet) {
    driver().addStatement(select("SELECT", {"a"}, {{"1"}}));
    client->executeQuery("SELECT a FROM t");
    ASSERT_EQ(client->columnNames(), std::vector<std::string>{"a"});

    LogCapture capture;
    const std::string insert = "INSERT INTO \"pump\" (\"speed\") VALUES ('1'),('2')";
    const QueryResult result = client->executeQuery(insert);
    EXPECT_TRUE(result.success);
    EXPECT_TRUE(result.rows.empty());
    EXPECT_TRUE(client->columnNames().empty());
    EXPECT_EQ(capture.lines(), (Lines{debug("Executing query: " + insert),
                                      debug("Number of columns in result set: 0"),
                                      debug("Query executed successfully. Rows fetched: 0")}));
    EXPECT_EQ(driver().journal().back(), insert);

    const QueryResultEx resultEx = client->executeQueryEx(insert);
    EXPECT_TRUE(resultEx.success);
    EXPECT_FALSE(resultEx.retriable);
    EXPECT_EQ(resultEx.rows, (Rows{{}}));
}

TEST_F(ODBCClientQuery, SelectReadsNullsAndWholeLongValues) {
    const std::string longValue(100000, 'x');
    driver().addStatement(
        select("SELECT", {"id", "note", "payload"},
               {{"1", std::nullopt, longValue},
                {"2", std::string("NULL"), std::string("")},
                {std::nullopt, std::string("h\xC3\xA9llo"), std::string(1023, 'y')},
                {"4", std::string("a b"), std::string(1024, 'z')}}));
    LogCapture capture;
    const QueryResult result = client->executeQuery("SELECT id, note, payload FROM t");
    EXPECT_TRUE(result.success);
    const Rows expected = {{"1", "NULL", longValue},
                           {"2", "NULL", ""},
                           {"NULL", "h\xC3\xA9llo", std::string(1023, 'y')},
                           {"4", "a b", std::string(1024, 'z')}};
    EXPECT_EQ(result.rows, expected);
    EXPECT_EQ(client->columnNames(), (std::vector<std::string>{"id", "note", "payload"}));
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Number of columns in result set: 3"));
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Query executed successfully. Rows fetched: 4"));
}

TEST_F(ODBCClientQuery, QueryExPutsTheColumnNamesFirst) {
    driver().addStatement(
        select("SELECT", {"name", "type"}, {{"a", "TEXT"}, {"b", "NUMBER"}, {"c", "VARIANT"}}));
    const QueryResultEx result = client->executeQueryEx("SELECT name, type FROM columns");
    EXPECT_TRUE(result.success);
    EXPECT_FALSE(result.retriable);
    EXPECT_EQ(result.rows,
              (Rows{{"name", "type"}, {"a", "TEXT"}, {"b", "NUMBER"}, {"c", "VARIANT"}}));
}

TEST_F(ODBCClientQuery, SelectWithoutRows) {
    driver().addStatement(select("SELECT", {"name", "type"}, {}));
    const QueryResult result = client->executeQuery("SELECT name, type FROM columns");
    EXPECT_TRUE(result.success);
    EXPECT_TRUE(result.rows.empty());
    EXPECT_EQ(client->executeQueryEx("SELECT name, type FROM columns").rows,
              (Rows{{"name", "type"}}));
}

TEST_F(ODBCClientQuery, NoDataIsAnExecutionFailure) {
    const std::string del = "DELETE FROM \"pump\" WHERE 1 = 0";
    driver().addStatement(failing("DELETE", SQL_NO_DATA, {}));
    LogCapture capture;
    EXPECT_EQ(runtimeErrorOf([&] { client->executeQuery(del); }), EXECUTE_FAILED);
    EXPECT_EQ(capture.lines(),
              (Lines{debug("Executing query: " + del), debug("Failed to execute query: " + del),
                     debug("SQLSTATE=, NativeError=0, Message="),
                     debug("Error classified as retriable (unknown): ")}));
    EXPECT_TRUE(client->lastRetriable());

    const QueryResultEx result = client->executeQueryEx(del);
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(result.retriable);
    EXPECT_TRUE(result.rows.empty());
}

TEST_F(ODBCClientQuery, ExecutionFailureLogsEveryRecordAndClassifiesTheFirst) {
    const std::string create = "CREATE TABLE \"pump\" (\"speed\" TEXT)";
    driver().addStatement(
        failing("CREATE", SQL_ERROR,
                {{"42S01", 2002, "table \"pump\" already exists"}, {"01000", 7, "second record"}}));
    LogCapture capture;
    EXPECT_EQ(runtimeErrorOf([&] { client->executeQuery(create); }), EXECUTE_FAILED);
    EXPECT_EQ(
        capture.lines(),
        (Lines{debug("Executing query: " + create),
               debug("SQLExecDirect: SQLSTATE=42S01, NativeError=2002, Message=table \"pump\" "
                     "already exists"),
               debug("SQLExecDirect: SQLSTATE=01000, NativeError=7, Message=second record"),
               debug("Failed to execute query: " + create),
               debug("SQLSTATE=42S01, NativeError=2002, Message=table \"pump\" already exists"),
               debug("Error classified as retriable (unknown): 42S01")}));
}

struct ExecutionFailureCase {
    std::string sqlState;
    std::string message;
    bool retriable;
};

void PrintTo(const ExecutionFailureCase& c, std::ostream* os) {
    *os << c.sqlState << " \"" << c.message << '"';
}

class ExecutionFailure : public ODBCClientQuery,
                         public ::testing::WithParamInterface<ExecutionFailureCase> {};

TEST_P(ExecutionFailure, SetsTheRetriableFlag) {
    const auto& c = GetParam();
    driver().addStatement(failing("INSERT", SQL_ERROR, {{c.sqlState, 1, c.message}}));
    const QueryResultEx result = client->executeQueryEx("INSERT INTO t VALUES ('1')");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.retriable, c.retriable);
    EXPECT_TRUE(result.rows.empty());
}

INSTANTIATE_TEST_SUITE_P(
    ODBCClient, ExecutionFailure,
    ::testing::Values(ExecutionFailureCase{"08S01", "Communication link failure", true},
                      ExecutionFailureCase{"40001", "Deadlock", true},
                      ExecutionFailureCase{"42S02", "table \"t\" does not exist", false},
                      ExecutionFailureCase{"HY000", "column \"x\" does not exist", false},
                      ExecutionFailureCase{"22001", "value too long for type varchar(256)", false},
                      ExecutionFailureCase{"HY000", "Something odd", true}),
    caseNames([](const ExecutionFailureCase& c) {
        return caseName({c.sqlState, c.message});
    }));

// `retriable` tells the last failed execution's class; a success does not reset it.
TEST_F(ODBCClientQuery, RetriableFlagAcrossCalls) {
    StatementScript network = failing("INSERT", SQL_ERROR, {{"08S01", 0, "link down"}});
    network.times = 1;
    StatementScript syntax = failing("INSERT", SQL_ERROR, {{"42000", 0, "syntax error"}});
    syntax.times = 1;
    driver().addStatement(network);

    QueryResultEx result = client->executeQueryEx("INSERT INTO t VALUES ('1')");
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(result.retriable);

    result = client->executeQueryEx("INSERT INTO t VALUES ('1')");
    EXPECT_TRUE(result.success);
    EXPECT_TRUE(result.retriable);
    EXPECT_EQ(result.rows, (Rows{{}}));

    driver().addStatement(syntax);
    result = client->executeQueryEx("INSERT INTO t VALUES ('1')");
    EXPECT_FALSE(result.success);
    EXPECT_FALSE(result.retriable);

    result = client->executeQueryEx("INSERT INTO t VALUES ('1')");
    EXPECT_TRUE(result.success);
    EXPECT_FALSE(result.retriable);
}

TEST_F(ODBCClientQuery, FailedExecutionKeepsThePreviousColumnNames) {
    driver().addStatement(select("SELECT", {"a", "b"}, {{"1", "2"}}));
    driver().addStatement(failing("INSERT", SQL_ERROR, {{"42000", 0, "syntax error"}}));
    client->executeQuery("SELECT a, b FROM t");
    EXPECT_FALSE(client->executeQueryEx("INSERT INTO t").success);
    EXPECT_EQ(client->columnNames(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(ODBCClientQuery, ColumnCountFailureThrowsFromBothForms) {
    StatementScript broken = select("SELECT b", {"b"}, {{"1"}});
    broken.failNumResultCols = true;
    driver().addStatement(broken);
    driver().addStatement(select("SELECT", {"a", "b"}, {{"1", "2"}}));
    client->executeQuery("SELECT a, b FROM t");

    LogCapture capture;
    const std::string query = "SELECT b FROM t";
    EXPECT_EQ(runtimeErrorOf([&] { client->executeQuery(query); }),
              "Failed to get number of result columns.");
    const auto lines = capture.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), debug("Executing query: " + query));
    EXPECT_EQ(lines.back(), debug("Failed to get number of result columns."));
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].second.rfind("SQLNumResultCols: SQLSTATE=", 0), 0u) << lines[i].second;
    }
    EXPECT_EQ(client->columnNames(), (std::vector<std::string>{"a", "b"}));

    EXPECT_EQ(runtimeErrorOf([&] { client->executeQueryEx(query); }),
              "Failed to get number of result columns.");
}

TEST_F(ODBCClientQuery, DescribeFailureNamesTheColumnUnknown) {
    StatementScript script = select("SELECT", {"a", "b", "c"}, {{"1", "2", "3"}});
    script.failDescribeColumns = {2};
    driver().addStatement(script);
    LogCapture capture;
    const QueryResultEx result = client->executeQueryEx("SELECT a, b, c FROM t");
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.rows, (Rows{{"a", "UNKNOWN", "c"}, {"1", "2", "3"}}));
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Failed to describe column 2"));
    EXPECT_TRUE(capture.anyLineContains("SQLDescribeCol: SQLSTATE="));
}

TEST_F(ODBCClientQuery, GetDataFailureReadsAsError) {
    StatementScript script = select("SELECT", {"a", "b"}, {{"1", "2"}, {"3", "4"}, {"5", "6"}});
    script.failGetData = {{2, 1}};
    driver().addStatement(script);
    LogCapture capture;
    const QueryResult result = client->executeQuery("SELECT a, b FROM t");
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.rows, (Rows{{"1", "2"}, {"ERROR", "4"}, {"5", "6"}}));
    EXPECT_EQ(capture.count(Level::DEBUG, "Failed to fetch data for column 1."), 1u);
    EXPECT_TRUE(capture.anyLineContains("SQLGetData: SQLSTATE="));
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Query executed successfully. Rows fetched: 3"));
}

TEST_F(ODBCClientQuery, StatementAllocationFailure) {
    driver().setAllocStatementResult(SQL_ERROR, {"HY001", 12, "Memory allocation error"});
    LogCapture capture;
    EXPECT_EQ(runtimeErrorOf([&] { client->executeQuery("SELECT 1"); }),
              "Failed to allocate statement handle.");
    const auto lines = capture.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), debug("Executing query: SELECT 1"));
    EXPECT_TRUE(capture.contains(
        Level::DEBUG,
        "SQLAllocHandle: SQLSTATE=HY001, NativeError=12, Message=Memory allocation error"));
    EXPECT_EQ(lines.back(), debug("Failed to allocate statement handle."));
    EXPECT_TRUE(driver().journal().empty());

    EXPECT_EQ(runtimeErrorOf([&] { client->executeQueryEx("SELECT 1"); }),
              "Failed to allocate statement handle.");
}

TEST_F(ODBCClientQuery, QueryOnAnEmptyClient) {
    client->Destroy();
    connectedHandles = 0;
    LogCapture capture;
    EXPECT_EQ(runtimeErrorOf([&] { client->executeQuery("SELECT 1"); }),
              "Failed to allocate statement handle.");
    EXPECT_EQ(capture.lines(), (Lines{debug("Executing query: SELECT 1"),
                                      debug("Failed to allocate statement handle.")}));
}

// Restores the logger's sink on scope exit.
class SinkGuard {
public:
    explicit SinkGuard(Logger::Sink sink)
        : previous(Logger::getLogger()->setSink(std::move(sink))) {}
    ~SinkGuard() { Logger::getLogger()->setSink(std::move(previous)); }
    SinkGuard(const SinkGuard&) = delete;
    SinkGuard& operator=(const SinkGuard&) = delete;

private:
    Logger::Sink previous;
};

class ExceptionMidStatement : public ODBCClientQuery,
                              public ::testing::WithParamInterface<std::string> {};

// An exception from anywhere inside the call still frees the statement handle (checked in
// TearDown).
TEST_P(ExceptionMidStatement, FreesTheStatementHandle) {
    StatementScript script = select("SELECT", {"a", "b"}, {{"1", "2"}});
    script.failGetData = {{1, 2}};
    driver().addStatement(script);
    const std::string trigger = GetParam();
    SinkGuard guard([trigger](Logger::Level, const std::string& text) {
        if (text.rfind(trigger, 0) == 0) {
            throw std::length_error("sink refused: " + text);
        }
    });
    EXPECT_THROW(client->executeQuery("SELECT a, b FROM t"), std::length_error);
    EXPECT_THROW(client->executeQueryEx("SELECT a, b FROM t"), std::length_error);
}

INSTANTIATE_TEST_SUITE_P(ODBCClient, ExceptionMidStatement,
                         ::testing::Values("Number of columns in result set",
                                           "SQLGetData: SQLSTATE=", "Query executed successfully"),
                         textNames());

// executeQueryEx goes through the overridable executeQuery and turns only the execution
// failure into a result.
class CannedQuery : public ClientProbe {
public:
    std::function<QueryResult(const std::string&)> answer;
    QueryResult executeQuery(const std::string& query) override { return answer(query); }
};

TEST_F(ODBCClientQuery, QueryExUsesTheOverriddenQuery) {
    CannedQuery canned;
    canned.answer = [](const std::string&) {
        QueryResult result;
        result.success = true;
        result.rows = {{"x"}};
        return result;
    };
    EXPECT_EQ(canned.executeQueryEx("anything").rows, (Rows{{}, {"x"}}));

    canned.answer = [](const std::string&) -> QueryResult {
        throw std::runtime_error(EXECUTE_FAILED);
    };
    const QueryResultEx failed = canned.executeQueryEx("anything");
    EXPECT_FALSE(failed.success);
    EXPECT_TRUE(failed.rows.empty());

    canned.answer = [](const std::string&) -> QueryResult {
        throw std::runtime_error("Failed to execute query");
    };
    EXPECT_EQ(runtimeErrorOf([&] { canned.executeQueryEx("anything"); }),
              "Failed to execute query");

    canned.answer = [](const std::string&) -> QueryResult {
        throw std::invalid_argument(EXECUTE_FAILED);
    };
    EXPECT_THROW(canned.executeQueryEx("anything"), std::invalid_argument);
}

}  // namespace
