// Transactions and requests of several statements through the real driver manager.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/odbc_client.h"
#include "tests/support/scripted_driver.h"

namespace {

using varnholt::test::DiagRecord;
using varnholt::test::MultiStatementMode;
using varnholt::test::ScriptedDriver;
using varnholt::test::StatementScript;
using varnholt::test::TransactionCall;
using Strings = std::vector<std::string>;

constexpr SQLINTEGER COUNT_ATTRIBUTE = ScriptedDriver::MULTI_STATEMENT_COUNT_ATTRIBUTE;

class ClientRequests : public ::testing::Test {
protected:
    void SetUp() override {
        driver().reset();
        client = std::make_unique<ODBCClient>();
        client->Init();
        ASSERT_EQ(client->Connect(ScriptedDriver::connectionString()), TOLVANE_ODBC_SUCCESS);
        connectedHandles = driver().openHandles();
        driver().clearJournal();
    }

    void TearDown() override {
        EXPECT_EQ(driver().openHandles(), connectedHandles);
        client.reset();
        EXPECT_EQ(driver().openHandles(), 0);
    }

    static ScriptedDriver& driver() { return ScriptedDriver::instance(); }

    std::unique_ptr<ODBCClient> client;
    int connectedHandles = 0;
};

TEST_F(ClientRequests, TransactionsEndWithAutocommitBackOn) {
    EXPECT_TRUE(client->beginTransaction());
    EXPECT_TRUE(client->commitTransaction());
    EXPECT_TRUE(client->beginTransaction());
    EXPECT_TRUE(client->rollbackTransaction());
    EXPECT_EQ(driver().journal(), (Strings{"[autocommit off]", "[commit]", "[autocommit on]",
                                           "[autocommit off]", "[rollback]", "[autocommit on]"}));
}

// Switching autocommit on commits what is still open (Snowflake's driver sends ALTER SESSION SET
// AUTOCOMMIT): after a failed end of a transaction it stays off, and the caller decides.
struct FailedEnd {
    const char* name;
    TransactionCall call;
};

class TransactionEndFails : public ClientRequests,
                            public ::testing::WithParamInterface<FailedEnd> {};

TEST_P(TransactionEndFails, SaysWhyAndLeavesAutocommitOff) {
    driver().setTransactionResult(GetParam().call, SQL_ERROR,
                                  {"08S01", 0, "Communication link failure"}, false, 1);
    ASSERT_TRUE(client->beginTransaction());

    EXPECT_FALSE(GetParam().call == TransactionCall::COMMIT ? client->commitTransaction()
                                                            : client->rollbackTransaction());

    EXPECT_EQ(client->lastError().sqlState, "08S01");
    EXPECT_EQ(client->lastError().message, "Communication link failure");
    EXPECT_EQ(driver().journal().back(),
              GetParam().call == TransactionCall::COMMIT ? "[commit]" : "[rollback]");
}

INSTANTIATE_TEST_SUITE_P(Calls, TransactionEndFails,
                         ::testing::Values(FailedEnd{"Commit", TransactionCall::COMMIT},
                                           FailedEnd{"Rollback", TransactionCall::ROLLBACK}),
                         [](const ::testing::TestParamInfo<FailedEnd>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ClientRequests, ARefusedBeginSaysWhy) {
    driver().setTransactionResult(TransactionCall::AUTOCOMMIT_OFF, SQL_ERROR,
                                  {"HYC00", 0, "Optional feature not implemented"}, false, 1);
    EXPECT_FALSE(client->beginTransaction());
    EXPECT_EQ(client->lastError().sqlState, "HYC00");
}

TEST_F(ClientRequests, EveryStatementsResultIsRead) {
    StatementScript two;
    two.match = "SELECT 2";
    two.prefix = false;
    two.columns = {"N"};
    two.rows = {{std::string("2")}, {std::string("22")}};
    driver().addStatement(two);

    const RequestResult result = client->executeRequest("SELECT 1;\nSELECT 2;\nSELECT 3", 3, 0);

    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.completed, 3u);
    ASSERT_EQ(result.results.size(), 3u);
    EXPECT_EQ(result.results[1].rows, (std::vector<Strings>{{"2"}, {"22"}}));
    EXPECT_EQ(driver().journal(), (Strings{"SELECT 1", "SELECT 2", "SELECT 3"}));
}

// A request is a part of a longer text: only its own bytes reach the driver.
TEST_F(ClientRequests, ARequestEndsAtItsLengthNotAtANul) {
    const std::string text = "SELECT 1;\nSELECT 2;\nSELECT 3";

    const RequestResult result =
        client->executeRequest(text.data(), text.find(";\nSELECT 3"), 2, 0, Results::Read);

    EXPECT_TRUE(result.success);
    EXPECT_EQ(driver().journal(), (Strings{"SELECT 1", "SELECT 2"}));
}

// The execute call fails for the request, with the failed statement's records: the statements
// before it are not counted as done.
TEST_F(ClientRequests, AFailureInTheMiddleIsFoundWithItsCause) {
    StatementScript refused;
    refused.match = "INSERT INTO b";
    refused.returnCode = SQL_ERROR;
    refused.diagnostics = {{"22018", 100038, "Numeric value 'x' is not recognized"}};
    driver().addStatement(refused);

    const RequestResult result = client->executeRequest(
        "INSERT INTO a VALUES (1);\nINSERT INTO b VALUES ('x');\n"
        "INSERT INTO c VALUES (3)",
        3, 0);

    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.completed, 0u);
    EXPECT_EQ(client->lastError().sqlState, "22018");
    EXPECT_EQ(client->lastError().nativeError, 100038);
    EXPECT_EQ(client->lastError().errorClass, ErrorClass::Data);
    EXPECT_EQ(driver().journal(),
              (Strings{"INSERT INTO a VALUES (1)", "INSERT INTO b VALUES ('x')"}));
}

// Writes are not walked: a successful execute stands for all of the request's statements, and
// nothing more is asked of the driver; look-ups read every result.
struct WalkCase {
    const char* name;
    Results results;
    size_t rowsRead;
    int moreResults;
    int fetches;
};

class RequestWalk : public ClientRequests, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(RequestWalk, OnlyWhereTheRowsAreWanted) {
    const WalkCase& row = GetParam();
    StatementScript two;
    two.match = "SELECT 2";
    two.prefix = false;
    two.columns = {"N"};
    two.rows = {{std::string("2")}};
    driver().addStatement(two);
    driver().clearCallCounts();

    const RequestResult result =
        client->executeRequest("SELECT 1;\nSELECT 2;\nSELECT 3", 3, 0, row.results);

    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.completed, 3u);
    size_t rows = 0;
    for (const QueryResult& statement : result.results) {
        rows += statement.rows.size();
    }
    EXPECT_EQ(rows, row.rowsRead);
    EXPECT_EQ(driver().callCount("SQLExecDirect"), 1);
    EXPECT_EQ(driver().callCount("SQLMoreResults"), row.moreResults);
    EXPECT_EQ(driver().callCount("SQLFetch"), row.fetches);
}

INSTANTIATE_TEST_SUITE_P(Walks, RequestWalk,
                         ::testing::Values(WalkCase{"Write", Results::Skip, 0, 0, 0},
                                           WalkCase{"LookUp", Results::Read, 1, 3, 4}),
                         [](const ::testing::TestParamInfo<WalkCase>& info) {
                             return std::string(info.param.name);
                         });

// The statement count attribute, on drivers that want it, take it or refuse it.
struct ModeCase {
    const char* name;
    MultiStatementMode mode;
    bool success;
    bool attributeRefused;
};

class RequestModes : public ClientRequests, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(RequestModes, RunSeveralStatementsWhereTheDriverCan) {
    const ModeCase& row = GetParam();
    driver().setMultiStatementMode(row.mode);

    const RequestResult result = client->executeRequest("SELECT 1;\nSELECT 1", 2, COUNT_ATTRIBUTE);

    EXPECT_EQ(result.success, row.success);
    EXPECT_EQ(result.completed, row.success ? 2u : 0u);
    EXPECT_EQ(result.countAttributeRefused, row.attributeRefused);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RequestModes,
    ::testing::Values(ModeCase{"Snowflake", MultiStatementMode::SNOWFLAKE, true, false},
                      ModeCase{"Postgres", MultiStatementMode::POSTGRES, true, true},
                      ModeCase{"OneByOne", MultiStatementMode::SINGLE, false, true}),
    [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });

}  // namespace
