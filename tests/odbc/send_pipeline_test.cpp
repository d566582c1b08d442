#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "config/default_config.h"
#include "connector/snowflake_odbc_connector.h"
#include "delivery/batch_fingerprint.h"
#include "delivery/lost_requests.h"
#include "host/config_category.h"
#include "host/log_capture.h"
#include "sql/snowflake_sql_builder.h"
#include "tests/odbc/scripted_connector.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/test_readings.h"

namespace {

using varnholt::test::Batch;
using varnholt::test::DiagRecord;
using varnholt::test::MultiStatementMode;
using varnholt::test::ReadingBuilder;
using varnholt::test::ScriptedDriver;
using varnholt::test::StatementScript;
using varnholt::test::TransactionCall;
using Level = Logger::Level;
using Line = LogCapture::Line;
using Strings = std::vector<std::string>;

const char* const TIME = "2024-05-06 07:08:09.123456";
const std::string STAMP = "'2024-05-06 07:08:09.123456+00:00'";
const std::string STANDARD_COLUMNS = "\"asset_code\", \"user_ts\", \"ts\", \"tolvane\"";
// The standard values of a row of the asset pumps.
const std::string PUMP_VALUES = "'pumps', " + STAMP + ", " + STAMP + ", 'tolvaneInstance'";

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Whether the expected lines appear in this order (other lines may come between).
bool inOrder(const std::vector<Line>& lines, const std::vector<Line>& expected) {
    size_t next = 0;
    for (const Line& line : lines) {
        if (next < expected.size() && line == expected[next]) {
            ++next;
        }
    }
    return next == expected.size();
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The integers that end the rows of a multi-row INSERT whose last column is an integer, in
// statement order.
std::vector<int64_t> lastColumnValues(const std::string& insert) {
    std::vector<size_t> rowEnds;
    for (size_t at = insert.find("), ("); at != std::string::npos;
         at = insert.find("), (", at + 1)) {
        rowEnds.push_back(at);
    }
    rowEnds.push_back(insert.size() - 1);
    std::vector<int64_t> values;
    for (size_t end : rowEnds) {
        size_t begin = end;
        while (begin > 0 && isDigit(insert[begin - 1])) {
            --begin;
        }
        values.push_back(std::stoll(insert.substr(begin, end - begin)));
    }
    return values;
}

bool ownOrProbe(const std::string& statement) {
    return statement == "SELECT 1" || statement == "SELECT CURRENT_SESSION()" ||
           statement == "[autocommit on]" || statement.find("_varnholt_") != std::string::npos;
}

// The journal without the plugin's own tables, the driver probe and autocommit going back on.
Strings readingStatements(const Strings& journal) {
    Strings kept;
    for (const std::string& statement : journal) {
        if (!ownOrProbe(statement)) {
            kept.push_back(statement);
        }
    }
    return kept;
}

size_t countStartingWith(const Strings& journal, const std::string& prefix) {
    size_t count = 0;
    for (const std::string& statement : journal) {
        count += startsWith(statement, prefix) ? 1 : 0;
    }
    return count;
}

// The statements of the last committed transaction, the driver's (autocommit off, then the
// commit call) or one the statements begin and commit themselves.
Strings committed(const Strings& journal) {
    Strings last;
    Strings open;
    bool inside = false;
    for (const std::string& statement : journal) {
        if (statement == "[autocommit off]" || statement == "BEGIN") {
            inside = true;
            open.clear();
        } else if ((statement == "[commit]" || statement == "COMMIT") && inside) {
            last = open;
            inside = false;
        } else if (statement == "[rollback]" || statement == "ROLLBACK") {
            inside = false;
        } else if (inside) {
            open.push_back(statement);
        }
    }
    return last;
}

class SendPipeline : public varnholt::test::ScriptedConnectorTest<> {
protected:
    static std::string columnQuery(const std::string& table) {
        return SnowflakeSQLBuilder().buildInformationSchemaQuery("", table);
    }

    // The table exists with these (name, reported type) columns.
    static void scriptTable(const std::string& table,
                            const std::vector<std::vector<std::optional<std::string>>>& columns) {
        StatementScript script;
        script.match = columnQuery(table);
        script.prefix = false;
        script.columns = {"COLUMN_NAME", "DATA_TYPE"};
        script.rows = columns;
        driver().addStatement(script);
    }

    static void scriptFailure(const std::string& prefix, const DiagRecord& diag,
                              bool killConnection = false, int times = 1) {
        StatementScript script;
        script.match = prefix;
        script.returnCode = SQL_ERROR;
        script.diagnostics = {diag};
        script.killConnection = killConnection;
        script.times = times;
        driver().addStatement(script);
    }

    // Every statement holding `text` is refused as a bad value.
    static void refuseValue(const std::string& text) {
        StatementScript script;
        script.match = text;
        script.contains = true;
        script.returnCode = SQL_ERROR;
        script.diagnostics = {{"22018", 100038, "Numeric value 'bad' is not recognized"}};
        driver().addStatement(script);
    }

    static void scriptLedgerHit() {
        StatementScript script;
        script.match = "SELECT COUNT(*) FROM \"_varnholt_ledger\"";
        script.columns = {"COUNT(*)"};
        script.rows = {{std::string("1")}};
        script.times = 1;
        driver().addStatement(script);
    }

    bool send(const Batch& batch) { return connector->send(batch.pointers()); }

    static std::unique_ptr<Reading> pump(double temperature) {
        return ReadingBuilder("pumps").real("temperature", temperature).at(TIME).build();
    }
};

TEST_F(SendPipeline, NewTableIsSettledThenWrittenInOneTransaction) {
    Batch batch;
    batch.add(pump(21.5));
    LogCapture capture;

    ASSERT_TRUE(send(batch));

    const Strings journal = driver().journal();
    ASSERT_EQ(journal.size(), 15u) << ::testing::PrintToString(journal);
    // The session's id, kept in case one of its requests is lost.
    EXPECT_EQ(journal[0], "SELECT CURRENT_SESSION()");
    // The driver is asked once whether it runs two statements in one request.
    EXPECT_EQ(journal[1], "SELECT 1");
    EXPECT_EQ(journal[2], "SELECT 1");
    // The plugin's own tables, made once per instance (the reject table's columns looked up,
    // so that one an earlier version made can be brought up to date), and the ledger cleaned up
    // and looked at on the first batch.
    EXPECT_TRUE(startsWith(journal[3], "CREATE TABLE IF NOT EXISTS \"_varnholt_ledger\" "));
    EXPECT_TRUE(startsWith(journal[4], "CREATE TABLE IF NOT EXISTS \"_varnholt_rejects\" "));
    EXPECT_EQ(journal[5], columnQuery("_varnholt_rejects"));
    // A new instance: requests of the instance still running in other sessions are looked for
    // before the ledger is.
    EXPECT_EQ(journal[6],
              "SELECT DISTINCT SESSION_ID FROM "
              "TABLE(INFORMATION_SCHEMA.QUERY_HISTORY_BY_USER(RESULT_LIMIT => 10000)) WHERE "
              "EXECUTION_STATUS IN ('RUNNING', 'QUEUED', 'BLOCKED', 'RESUMING_WAREHOUSE') AND "
              "POSITION('INSERT INTO \"_varnholt_ledger\" (\"instance\", \"fingerprint\", "
              "\"row_count\", \"delivered_at\") VALUES (''tolvaneInstance'', ' IN QUERY_TEXT) > 0");
    EXPECT_TRUE(startsWith(journal[7], "DELETE FROM \"_varnholt_ledger\" "));
    EXPECT_TRUE(startsWith(journal[8], "SELECT COUNT(*) FROM \"_varnholt_ledger\" "));
    // DDL before the transaction, the rows and the ledger row inside it.
    EXPECT_EQ(journal[9], columnQuery("pumps"));
    EXPECT_EQ(journal[10],
              "CREATE TABLE \"pumps\" (\"asset_code\" VARCHAR(256) NOT NULL, \"user_ts\" "
              "TIMESTAMP_TZ, \"ts\" TIMESTAMP_TZ, \"tolvane\" VARCHAR(256), \"temperature\" REAL "
              "NULL)");
    EXPECT_EQ(journal[11], "BEGIN");
    EXPECT_EQ(journal[12], "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS +
                               ", \"temperature\") VALUES (" + PUMP_VALUES + ", 21.500000)");
    EXPECT_TRUE(startsWith(journal[13],
                           "INSERT INTO \"_varnholt_ledger\" (\"instance\", "
                           "\"fingerprint\", \"row_count\", \"delivered_at\") "
                           "VALUES ('tolvaneInstance', '"));
    EXPECT_EQ(journal[14], "COMMIT");
    // The session's id, the probe, the plugin's tables, the reject table's columns, the search
    // for running requests, clean-up with look-up, the column query, the CREATE TABLE, and the
    // batch with its transaction.
    EXPECT_TRUE(capture.contains(
        Level::INFO, "Delivered 1 rows to 1 tables, 0 readings rejected, in 9 requests"));
    EXPECT_EQ(driver().connectCount(), 1);
    EXPECT_EQ(driver().lastConnectionString(), connector->getConnectionString());
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_SUCCESS);
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Using cached schema for table pumps: 5 columns"));
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Sent 1 records to table 'pumps'"));
    EXPECT_EQ(capture.texts(Level::ERROR), Strings{});
}

TEST_F(SendPipeline, KnownTablesCostOneRequestThatCommitsToo) {
    Batch first;
    for (const char* asset : {"a", "b", "c"}) {
        first.add(ReadingBuilder(asset).integer("n", 1).at(TIME).build());
    }
    ASSERT_TRUE(send(first));
    driver().clearJournal();

    Batch second;
    for (const char* asset : {"c", "b", "a", "a"}) {
        second.add(ReadingBuilder(asset).integer("n", 2).at(TIME).build());
    }
    LogCapture capture;
    ASSERT_TRUE(send(second));

    const Strings journal = driver().journal();
    ASSERT_EQ(journal.size(), 6u) << ::testing::PrintToString(journal);
    EXPECT_EQ(journal[0], "BEGIN");
    EXPECT_TRUE(startsWith(journal[1], "INSERT INTO \"a\" "));
    EXPECT_TRUE(startsWith(journal[3], "INSERT INTO \"c\" "));
    EXPECT_TRUE(startsWith(journal[4], "INSERT INTO \"_varnholt_ledger\" "));
    EXPECT_EQ(journal[5], "COMMIT");
    EXPECT_TRUE(capture.contains(
        Level::INFO, "Delivered 4 rows to 3 tables, 0 readings rejected, in 1 requests"));
}

TEST_F(SendPipeline, TableFoundInTheDatabaseIsWrittenWithItsReportedTypes) {
    scriptTable("pumps", {{"asset_code", "TEXT"},
                          {"user_ts", "TIMESTAMP_TZ"},
                          {"ts", "TIMESTAMP_TZ"},
                          {"tolvane", "TEXT"},
                          {"temperature", "FLOAT"}});
    Batch batch;
    batch.add(pump(4.25));

    ASSERT_TRUE(send(batch));

    EXPECT_EQ(readingStatements(driver().journal()),
              (Strings{columnQuery("pumps"), "BEGIN",
                       "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS +
                           ", \"temperature\") VALUES (" + PUMP_VALUES + ", 4.250000)",
                       "COMMIT"}));
}

// A text column takes every value as a string literal, one that looks like a number or is
// empty included: unquoted they would arrive as a number and as NULL.
TEST_F(SendPipeline, TextThatLooksLikeANumberOrIsEmptyStaysText) {
    scriptTable("pumps", {{"asset_code", "TEXT"},
                          {"user_ts", "TIMESTAMP_TZ"},
                          {"ts", "TIMESTAMP_TZ"},
                          {"tolvane", "TEXT"},
                          {"note", "TEXT"}});
    Batch batch;
    batch.add(ReadingBuilder("pumps").text("note", "42").at(TIME).build());
    batch.add(ReadingBuilder("pumps").text("note", "").at(TIME).build());

    ASSERT_TRUE(send(batch));

    EXPECT_EQ(readingStatements(driver().journal()),
              (Strings{columnQuery("pumps"), "BEGIN",
                       "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS + ", \"note\") VALUES (" +
                           PUMP_VALUES + ", '42'), (" + PUMP_VALUES + ", '')",
                       "COMMIT"}));
}

TEST_F(SendPipeline, NewColumnIsAddedBeforeTheTransaction) {
    scriptTable("pumps", {{"asset_code", "TEXT"},
                          {"user_ts", "TIMESTAMP_TZ"},
                          {"ts", "TIMESTAMP_TZ"},
                          {"tolvane", "TEXT"},
                          {"temperature", "FLOAT"}});
    Batch batch;
    batch.add(
        ReadingBuilder("pumps").real("temperature", 5.0).integer("humidity", 40).at(TIME).build());

    ASSERT_TRUE(send(batch));

    EXPECT_EQ(
        readingStatements(driver().journal()),
        (Strings{columnQuery("pumps"), "ALTER TABLE \"pumps\" ADD COLUMN \"humidity\" BIGINT NULL",
                 "BEGIN",
                 "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS +
                     ", \"temperature\", \"humidity\") VALUES (" + PUMP_VALUES + ", 5.000000, 40)",
                 "COMMIT"}));
}

// A fraction for a numeric column the plugin did not make: the column's scale is asked for
// before the transaction, and only the reading the column would round becomes a reject.
TEST_F(SendPipeline, AFractionBeyondAForeignColumnsScaleIsRejectedAlone) {
    scriptTable("pumps", {{"asset_code", "TEXT"},
                          {"user_ts", "TIMESTAMP_TZ"},
                          {"ts", "TIMESTAMP_TZ"},
                          {"tolvane", "TEXT"},
                          {"level", "NUMBER"}});
    StatementScript sizes;
    sizes.match = SnowflakeSQLBuilder().buildColumnLengthQuery("pumps");
    sizes.prefix = false;
    sizes.columns = {"COLUMN_NAME", "CHARACTER_MAXIMUM_LENGTH", "NUMERIC_SCALE"};
    sizes.rows = {{std::string("level"), std::nullopt, std::string("2")}};
    driver().addStatement(sizes);
    Batch batch;
    batch.add(ReadingBuilder("pumps").real("level", 1.234).at(TIME).build());
    batch.add(ReadingBuilder("pumps").real("level", 1.25).at(TIME).build());
    LogCapture capture;

    ASSERT_TRUE(send(batch));

    const Strings written = committed(driver().journal());
    const Strings rows = readingStatements(written);
    ASSERT_EQ(rows.size(), 1u) << ::testing::PrintToString(written);
    EXPECT_EQ(rows[0], "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS + ", \"level\") VALUES (" +
                           PUMP_VALUES + ", 1.250000)");
    EXPECT_EQ(countStartingWith(written, "INSERT INTO \"_varnholt_rejects\""), 1u);
    EXPECT_TRUE(capture.contains(Level::DEBUG,
                                 "Reading rejected from table 'pumps' (asset 'pumps'): type "
                                 "conflict in column 'level': the value 1.234000 has more than 2 "
                                 "digits after the point and a column of type NUMBER would round "
                                 "it"));
}

// An integer column the plugin made keeps no digit after the point: a fraction sent to it later
// is a reject without a look-up of the column's scale.
TEST_F(SendPipeline, AFractionForAnIntegerColumnThePluginMadeIsRejectedWithoutALookUp) {
    Batch first;
    first.add(ReadingBuilder("pumps").integer("humidity", 40).at(TIME).build());
    ASSERT_TRUE(send(first));
    driver().clearJournal();
    Batch second;
    second.add(ReadingBuilder("pumps").real("humidity", 40.5).at(TIME).build());

    ASSERT_TRUE(send(second));

    const Strings journal = driver().journal();
    EXPECT_EQ(countStartingWith(journal, SnowflakeSQLBuilder().buildColumnLengthQuery("pumps")),
              0u);
    EXPECT_EQ(countStartingWith(journal, "INSERT INTO \"pumps\""), 0u);
    EXPECT_EQ(countStartingWith(journal, "INSERT INTO \"_varnholt_rejects\""), 1u);
}

TEST_F(SendPipeline, ColumnsARecordLacksReceiveNull) {
    Batch batch;
    batch.add(pump(6.5));
    batch.add(ReadingBuilder("pumps").integer("humidity", 41).at(TIME).build());

    ASSERT_TRUE(send(batch));

    const Strings journal = readingStatements(driver().journal());
    ASSERT_EQ(journal.size(), 6u);
    EXPECT_TRUE(startsWith(journal[1], "CREATE TABLE \"pumps\" "));
    EXPECT_EQ(journal[2], "ALTER TABLE \"pumps\" ADD COLUMN \"humidity\" BIGINT NULL");
    EXPECT_EQ(journal[4], "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS +
                              ", \"temperature\", \"humidity\") VALUES (" + PUMP_VALUES +
                              ", 6.500000, NULL), (" + PUMP_VALUES + ", NULL, 41)");
}

TEST_F(SendPipeline, TablesAreSettledAndWrittenInByteOrder) {
    Batch batch;
    batch.add(ReadingBuilder("pumps").integer("n", 1).at(TIME).build());
    batch.add(ReadingBuilder("Valves").integer("n", 2).at(TIME).build());
    batch.add(ReadingBuilder("pumps").integer("n", 3).at(TIME).build());

    ASSERT_TRUE(send(batch));

    const Strings journal = readingStatements(driver().journal());
    ASSERT_EQ(journal.size(), 8u);
    EXPECT_EQ(journal[0], columnQuery("Valves"));
    EXPECT_EQ(journal[1], columnQuery("pumps"));
    EXPECT_TRUE(startsWith(journal[2], "CREATE TABLE \"Valves\" "));
    EXPECT_TRUE(startsWith(journal[3], "CREATE TABLE \"pumps\" "));
    EXPECT_TRUE(startsWith(journal[5], "INSERT INTO \"Valves\" "));
    EXPECT_EQ(lastColumnValues(journal[6]), (std::vector<int64_t>{1, 3}));
}

TEST_F(SendPipeline, AFailedInsertRollsTheWholeBatchBackAndTheResendWritesItOnce) {
    scriptFailure("INSERT INTO \"beta\"", {"57014", 630, "Statement reached its timeout"});
    Batch batch;
    batch.add(ReadingBuilder("beta").integer("n", 1).at(TIME).build());
    batch.add(ReadingBuilder("alpha").integer("n", 2).at(TIME).build());
    LogCapture capture;

    EXPECT_FALSE(send(batch));

    const Strings journal = readingStatements(driver().journal());
    ASSERT_GE(journal.size(), 3u);
    EXPECT_TRUE(startsWith(journal[journal.size() - 3], "INSERT INTO \"alpha\" "));
    EXPECT_TRUE(startsWith(journal[journal.size() - 2], "INSERT INTO \"beta\" "));
    EXPECT_EQ(journal.back(), "ROLLBACK");
    EXPECT_EQ(committed(driver().journal()), Strings{});
    // The execute call answers for the whole request: any of its statements may have failed.
    EXPECT_TRUE(
        capture.contains(Level::ERROR,
                         "Failed to execute database query for one of the tables 'alpha', 'beta' "
                         "(2 rows): SQLSTATE 57014, native error 630: Statement reached its "
                         "timeout"));
    EXPECT_FALSE(capture.anyLineContains("Database connection lost"));
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_SUCCESS);

    driver().clearJournal();
    ASSERT_TRUE(send(batch));
    EXPECT_EQ(driver().connectCount(), 1);
    const Strings written = committed(driver().journal());
    EXPECT_EQ(countStartingWith(written, "INSERT INTO \"alpha\" "), 1u);
    EXPECT_EQ(countStartingWith(written, "INSERT INTO \"beta\" "), 1u);
}

// A commit whose answer is lost may have reached the database: the resend is looked up in the
// delivery ledger first, and found there it is not written again. The answer is lost to the
// batch's own COMMIT statement, to its request cut short, or to the driver's commit call where
// the driver runs one statement per request.
struct LostCommit {
    const char* name;
    MultiStatementMode mode;
    const char* lostWith;  // the statement whose answer is lost; null: the driver's commit call
    bool inLedger;
};

class CommitLost : public SendPipeline, public ::testing::WithParamInterface<LostCommit> {};

TEST_P(CommitLost, TheResendIsLookedUpAndWrittenOnlyWhenNotFound) {
    const LostCommit& row = GetParam();
    driver().setMultiStatementMode(row.mode);
    Batch batch;
    batch.add(pump(1.0));
    ASSERT_TRUE(send(batch));
    const DiagRecord lost{"08S01", 0, "Communication link failure"};
    if (row.lostWith) {
        scriptFailure(row.lostWith, lost, true);
    } else {
        driver().setTransactionResult(TransactionCall::COMMIT, SQL_ERROR, lost, true, 1);
    }
    Batch lostBatch;
    lostBatch.add(pump(2.0));

    EXPECT_FALSE(send(lostBatch));
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_NOTCONNECTED);

    if (row.inLedger) {
        scriptLedgerHit();
    }
    driver().clearJournal();
    LogCapture capture;
    ASSERT_TRUE(send(lostBatch));

    const Strings journal = driver().journal();
    EXPECT_EQ(countStartingWith(journal, "SELECT COUNT(*) FROM \"_varnholt_ledger\""), 1u);
    EXPECT_EQ(countStartingWith(journal, "INSERT INTO \"pumps\""), row.inLedger ? 0u : 1u);
    EXPECT_EQ(capture.anyLineContains("found in the delivery ledger"), row.inLedger);

    // Delivered either way: the next batch is not looked up.
    driver().clearJournal();
    ASSERT_TRUE(send(batch));
    EXPECT_EQ(countStartingWith(driver().journal(), "SELECT COUNT(*)"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommitLost,
    ::testing::Values(
        LostCommit{"CommitStatementCommitted", MultiStatementMode::POSTGRES, "COMMIT", true},
        LostCommit{"CommitStatementNotCommitted", MultiStatementMode::POSTGRES, "COMMIT", false},
        LostCommit{"RequestCutCommitted", MultiStatementMode::SNOWFLAKE,
                   "INSERT INTO \"_varnholt_ledger\"", true},
        LostCommit{"RequestCutNotCommitted", MultiStatementMode::SNOWFLAKE, "INSERT INTO \"pumps\"",
                   false},
        LostCommit{"CommitCallCommitted", MultiStatementMode::SINGLE, nullptr, true},
        LostCommit{"CommitCallNotCommitted", MultiStatementMode::SINGLE, nullptr, false}),
    [](const ::testing::TestParamInfo<LostCommit>& info) { return std::string(info.param.name); });

// A host that restarted after a commit whose answer was lost sends that batch to a new
// instance: ledger rows of the last 7 days are kept, and the batch is looked up before anything
// is written.
TEST_F(SendPipeline, ANewInstanceFindsTheBatchOfALostCommitInTheLedger) {
    // The connection dies as the batch's request reaches its COMMIT.
    driver().setMultiStatementMode(MultiStatementMode::POSTGRES);
    scriptFailure("COMMIT", {"08S01", 0, "Communication link failure"}, true);
    Batch batch;
    batch.add(pump(2.0));
    EXPECT_FALSE(send(batch));

    startInstance();
    scriptLedgerHit();
    driver().clearJournal();
    LogCapture capture;
    ASSERT_TRUE(send(batch));

    const SnowflakeSQLBuilder builder;
    const Strings journal = driver().journal();
    const auto cleanup = std::find(journal.begin(), journal.end(),
                                   builder.buildLedgerCleanup("_varnholt_ledger", 7));
    const auto lookup =
        std::find(journal.begin(), journal.end(),
                  builder.buildLedgerLookup("_varnholt_ledger", "tolvaneInstance",
                                            BatchFingerprint::of(batch.pointers())));
    EXPECT_NE(cleanup, journal.end()) << ::testing::PrintToString(journal);
    EXPECT_LT(cleanup, lookup);
    EXPECT_NE(lookup, journal.end());
    EXPECT_EQ(countStartingWith(journal, "INSERT INTO \"pumps\""), 0u);
    EXPECT_TRUE(capture.anyLineContains("found in the delivery ledger"));
}

// A request whose answer never came may still run on the server and commit later: before the
// ledger is trusted, the next session cancels the lost session's queries and reads its query
// history until none runs. The lost session is known by its id after a reconnect, and found in
// the user's query history by a new instance. Until that is confirmed the batch waits and
// nothing is written.
struct LostRequest {
    const char* name;
    bool newInstance;
    int stillRunning;  // history look-ups that still show a query of the lost session
    bool historyFails;
    bool delivered;
    bool rollbackFails = false;  // as on a connection that is gone
};

class LostRequestSettled : public SendPipeline,
                           public ::testing::WithParamInterface<LostRequest> {};

TEST_P(LostRequestSettled, BeforeTheLedgerIsLookedAt) {
    const LostRequest& row = GetParam();
    const SnowflakeSQLBuilder builder;
    const std::string cancel = builder.buildCancelSessionQueries("1001");
    const std::string running = builder.buildSessionQueriesRunning("1001", true);
    driver().setMultiStatementMode(MultiStatementMode::POSTGRES);
    scriptFailure("INSERT INTO \"pumps\"", {"08S01", 0, "Communication link failure"}, true);
    if (row.rollbackFails) {
        scriptFailure("ROLLBACK", {"08S01", 0, "Communication link failure"});
    }
    Batch batch;
    batch.add(pump(2.0));
    EXPECT_FALSE(send(batch));
    if (row.newInstance) {
        startInstance();
        StatementScript found;
        found.match =
            builder.buildSessionsWritingLedger("_varnholt_ledger", "tolvaneInstance", true);
        found.prefix = false;
        found.columns = {"SESSION_ID"};
        found.rows = {{std::string("1001")}, {std::string("1002")}};
        driver().addStatement(found);
    }
    if (row.stillRunning > 0) {
        StatementScript busy;
        busy.match = running;
        busy.prefix = false;
        busy.columns = {"COUNT(*)"};
        busy.rows = {{std::string("1")}};
        busy.times = row.stillRunning;
        driver().addStatement(busy);
    }
    if (row.historyFails) {
        scriptFailure(running, {"42501", 3001, "Insufficient privileges"});
    }
    driver().clearJournal();
    LogCapture capture;

    EXPECT_EQ(send(batch), row.delivered);

    const Strings journal = driver().journal();
    const auto cancelled = std::find(journal.begin(), journal.end(), cancel);
    const auto lookup = std::find_if(journal.begin(), journal.end(), [](const std::string& s) {
        return startsWith(s, "SELECT COUNT(*) FROM \"_varnholt_ledger\"");
    });
    ASSERT_NE(cancelled, journal.end()) << ::testing::PrintToString(journal);
    EXPECT_LT(cancelled, std::find(journal.begin(), journal.end(), running));
    // The session now in use (1002) is not cancelled.
    EXPECT_EQ(countStartingWith(journal, "SELECT SYSTEM$CANCEL_ALL_QUERIES("), 1u);
    EXPECT_EQ(countStartingWith(journal, "INSERT INTO \"pumps\""), row.delivered ? 1u : 0u);
    if (row.delivered) {
        EXPECT_LT(std::find(journal.begin(), journal.end(), running), lookup);
        EXPECT_TRUE(capture.contains(Level::INFO,
                                     "Requests of database session 1001 whose answer was lost "
                                     "are cancelled and no longer run"));
        return;
    }
    EXPECT_EQ(lookup, journal.end());
    EXPECT_TRUE(capture.anyLineContains(
        "Cannot settle the requests of database session 1001 whose answer was lost: "));
    // The next attempt settles anew, and then writes the batch once.
    driver().clearJournal();
    ASSERT_TRUE(send(batch));
    EXPECT_EQ(countStartingWith(driver().journal(), cancel), 1u);
    EXPECT_EQ(countStartingWith(driver().journal(), "INSERT INTO \"pumps\""), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LostRequestSettled,
    ::testing::Values(
        LostRequest{"Reconnect", false, 0, false, true},
        LostRequest{"ReconnectAfterTheRollbackFailed", false, 0, false, true, true},
        LostRequest{"NewInstance", true, 0, false, true},
        LostRequest{"CancelTakesAWhile", false, LostRequests::CHECKS - 1, false, true},
        LostRequest{"StillRunning", false, LostRequests::CHECKS, false, false},
        LostRequest{"NewInstanceStillRunning", true, LostRequests::CHECKS, false, false},
        LostRequest{"HistoryUnreadable", false, 0, true, false}),
    [](const ::testing::TestParamInfo<LostRequest>& info) { return std::string(info.param.name); });

// On Snowflake a refused statement leaves the transaction open with the rows before it, and a
// commit, an autocommit switch or any DDL would keep them. A rollback that fails closes the
// session instead (Snowflake rolls it back): nothing more is sent on it, and the next batch
// goes on a new session.
struct FailedRollback {
    const char* name;
    MultiStatementMode mode;
    bool trial;  // the rollback of a trial fails, not the batch's own
};

class RollbackFails : public SendPipeline, public ::testing::WithParamInterface<FailedRollback> {};

TEST_P(RollbackFails, ClosesTheSessionAndCommitsNothing) {
    const FailedRollback& row = GetParam();
    driver().setMultiStatementMode(row.mode);
    Batch warmUp;
    warmUp.add(ReadingBuilder("pumps").text("level", "fine").at(TIME).build());
    ASSERT_TRUE(send(warmUp));
    StatementScript refused;
    refused.match = "'bad'";
    refused.contains = true;
    refused.returnCode = SQL_ERROR;
    refused.diagnostics = {{"22018", 100038, "Numeric value 'bad' is not recognized"}};
    // Refused by the write; for a trial also by the trial of its statement, then by the resend's
    // write and the trials of its statement and of its row (the reject row that follows quotes
    // the refusal, so the count is exact).
    refused.times = row.trial ? 5 : 1;
    driver().addStatement(refused);
    const DiagRecord lost{"08S01", 0, "Communication link failure"};
    if (row.mode == MultiStatementMode::SINGLE) {
        driver().setTransactionResult(TransactionCall::ROLLBACK, SQL_ERROR, lost, false, 1);
    } else {
        if (row.trial) {
            StatementScript answered;
            answered.match = "ROLLBACK";
            answered.prefix = false;
            answered.times = 1;
            driver().addStatement(answered);
        }
        scriptFailure("ROLLBACK", lost);
    }
    Batch batch;
    batch.add(ReadingBuilder("pumps").text("level", "fine").at(TIME).build());
    batch.add(ReadingBuilder("pumps").text("level", "bad").at(TIME).build());
    driver().clearJournal();
    LogCapture capture;

    EXPECT_FALSE(send(batch));

    const Strings journal = driver().journal();
    ASSERT_FALSE(journal.empty());
    // The failed rollback is the last thing the session saw.
    EXPECT_EQ(journal.back(), row.mode == MultiStatementMode::SINGLE ? "[rollback]" : "ROLLBACK")
        << ::testing::PrintToString(journal);
    EXPECT_EQ(committed(journal), Strings{});
    EXPECT_TRUE(capture.contains(Level::WARN,
                                 "Rollback failed (SQLSTATE 08S01, native error 0: Communication "
                                 "link failure): the database session is closed, so that nothing "
                                 "of the transaction is committed"));
    EXPECT_EQ(driver().disconnectCount(), 1);
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_NOTCONNECTED);

    driver().clearJournal();
    ASSERT_TRUE(send(batch));
    EXPECT_EQ(driver().connectCount(), 2);
    EXPECT_EQ(driver().journal().front(), "SELECT CURRENT_SESSION()");
    EXPECT_EQ(countStartingWith(committed(driver().journal()), "INSERT INTO \"pumps\""), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RollbackFails,
    ::testing::Values(FailedRollback{"OfTheRequest", MultiStatementMode::POSTGRES, false},
                      FailedRollback{"OfTheDriversTransaction", MultiStatementMode::SINGLE, false},
                      FailedRollback{"OfATrial", MultiStatementMode::POSTGRES, true}),
    [](const ::testing::TestParamInfo<FailedRollback>& info) {
        return std::string(info.param.name);
    });

// Another server, port, database or user may hold other tables under the same names: the
// cached ones are forgotten and read again. Other settings keep them.
struct Reconfiguration {
    const char* name;
    const char* key;
    const char* value;
    bool forgetsTables;
};

std::ostream& operator<<(std::ostream& out, const Reconfiguration& row) {
    return out << row.name;
}

class Reconfigure : public SendPipeline, public ::testing::WithParamInterface<Reconfiguration> {};

TEST_P(Reconfigure, ForgetsTheCachedTablesOfAnotherDatabase) {
    const Reconfiguration& row = GetParam();
    Batch batch;
    batch.add(pump(1.0));
    ASSERT_TRUE(send(batch));
    ConfigCategory category("varnholt", defaultConfiguration());
    category.setValue(row.key, row.value);
    ASSERT_TRUE(connector->configure(&category));
    driver().clearJournal();

    ASSERT_TRUE(send(batch));

    EXPECT_EQ(countStartingWith(driver().journal(), columnQuery("pumps")),
              row.forgetsTables ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Settings, Reconfigure,
                         ::testing::Values(Reconfiguration{"Server", "server", "other.example",
                                                           true},
                                           Reconfiguration{"Port", "port", "444", true},
                                           Reconfiguration{"Database", "schema", "other_db", true},
                                           Reconfiguration{"User", "user", "other_user", true},
                                           Reconfiguration{"Password", "password", "other", false}),
                         [](const ::testing::TestParamInfo<Reconfiguration>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(SendPipeline, InsertOnADeadConnectionMakesTheNextBatchReconnect) {
    Batch batch;
    batch.add(pump(1.0));
    ASSERT_TRUE(send(batch));
    scriptFailure("INSERT INTO \"pumps\"", {"08S01", 0, "Communication link failure"}, true);
    LogCapture capture;

    EXPECT_FALSE(send(batch));

    EXPECT_TRUE(inOrder(capture.lines(), {{Level::INFO, "Connection is not active (dead)."},
                                          {Level::DEBUG, "Database connection lost"},
                                          {Level::DEBUG, "Disconnecting from database"},
                                          {Level::INFO, "Database disconnected"}}));
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_NOTCONNECTED);
    EXPECT_EQ(driver().disconnectCount(), 1);

    driver().clearJournal();
    capture.clear();
    ASSERT_TRUE(send(batch));
    EXPECT_EQ(driver().connectCount(), 2);
    // The schema cache outlives the connection. The lost request of the first session is
    // cancelled, and waited for, before the ledger is looked at.
    EXPECT_EQ(readingStatements(driver().journal()),
              (Strings{"SELECT SYSTEM$CANCEL_ALL_QUERIES(1001)",
                       "SELECT COUNT(*) FROM "
                       "TABLE(INFORMATION_SCHEMA.QUERY_HISTORY_BY_SESSION(SESSION_ID => 1001, "
                       "RESULT_LIMIT => 10000)) WHERE EXECUTION_STATUS IN ('RUNNING', 'QUEUED', "
                       "'BLOCKED', 'RESUMING_WAREHOUSE')",
                       "BEGIN",
                       "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS +
                           ", \"temperature\") VALUES (" + PUMP_VALUES + ", 1.000000)",
                       "COMMIT"}));
}

// Sessions the driver still calls alive but that are not: closed, so the next batch
// connects anew.
struct DeadSession {
    const char* name;
    DiagRecord failure;
    int failures;  // statements refused: the batch's first, and the check after it
    const char* line;
};

class SessionGone : public SendPipeline, public ::testing::WithParamInterface<DeadSession> {};

TEST_P(SessionGone, IsClosedAndTheNextBatchReconnects) {
    const DeadSession& row = GetParam();
    Batch batch;
    batch.add(pump(1.0));
    ASSERT_TRUE(send(batch));
    // The rollback is answered: a session whose rollback fails is closed for that alone.
    StatementScript rollback;
    rollback.match = "ROLLBACK";
    rollback.prefix = false;
    driver().addStatement(rollback);
    scriptFailure("", row.failure, false, row.failures);
    LogCapture capture;

    EXPECT_FALSE(send(batch));

    EXPECT_TRUE(capture.contains(Level::WARN, row.line));
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_NOTCONNECTED);
    ASSERT_TRUE(send(batch));
    EXPECT_EQ(driver().connectCount(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SessionGone,
    ::testing::Values(DeadSession{"Expired",
                                  {"08001", 390114, "Authentication token has expired."},
                                  1,
                                  "Database session expired: the next batch connects anew"},
                      DeadSession{
                          "Silent",
                          {"XX000", 0, "Internal error"},
                          2,
                          "Database session does not answer: the next batch connects anew"}),
    [](const ::testing::TestParamInfo<DeadSession>& info) { return std::string(info.param.name); });

class SchemaQueryFails : public SendPipeline, public ::testing::WithParamInterface<bool> {};

TEST_P(SchemaQueryFails, FailsTheBatchAndDropsOnlyADeadConnection) {
    const bool kill = GetParam();
    scriptFailure(columnQuery("pumps"), {"08S01", 0, "Communication link failure"}, kill);
    Batch batch;
    batch.add(pump(1.0));
    LogCapture capture;

    EXPECT_FALSE(send(batch));

    EXPECT_TRUE(capture.contains(Level::ERROR,
                                 "Failed to read the columns of 1 tables: SQLSTATE 08S01, native "
                                 "error 0: Communication link failure"));
    EXPECT_EQ(capture.contains(Level::DEBUG, "Database connection lost"), kill);
    EXPECT_EQ(connector->state(), kill ? TOLVANE_ODBC_NOTCONNECTED : TOLVANE_ODBC_SUCCESS);
    EXPECT_EQ(countStartingWith(driver().journal(), "INSERT INTO \"pumps\""), 0u);

    ASSERT_TRUE(send(batch));
    EXPECT_EQ(driver().connectCount(), kill ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(Connection, SchemaQueryFails, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Dead" : "Alive");
                         });

TEST_F(SendPipeline, EmptyBatchSucceedsWithoutSQL) {
    Batch batch;
    EXPECT_TRUE(send(batch));
    EXPECT_EQ(driver().journal(), Strings{});
}

TEST_F(SendPipeline, RefusedConnectionFailsTheBatchAndWaitsBeforeRetrying) {
    driver().setConnectResult(SQL_ERROR, {"08001", 0, "Unable to connect"});
    Batch batch;
    batch.add(pump(1.0));
    LogCapture capture;

    EXPECT_FALSE(send(batch));
    EXPECT_FALSE(send(batch));

    EXPECT_EQ(capture.count(Level::INFO, "Database connection status: TOLVANE_ODBC_EAGAIN"), 1u);
    EXPECT_EQ(
        capture.count(Level::ERROR, "Database connection not available - cannot send readings"),
        2u);
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_EAGAIN);
    EXPECT_EQ(driver().journal(), Strings{});
}

TEST_F(SendPipeline, RejectedCredentialsEndAllAttempts) {
    driver().setConnectResult(SQL_ERROR, {"28000", 390100, "Incorrect username or password"});
    Batch batch;
    batch.add(pump(1.0));
    EXPECT_FALSE(send(batch));
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_FAILED);

    driver().setConnectResult(SQL_SUCCESS);
    LogCapture capture;
    EXPECT_FALSE(send(batch));
    EXPECT_EQ(driver().connectCount(), 0);
    EXPECT_EQ(capture.lines(),
              (std::vector<Line>{{Level::DEBUG, "Sending 1 readings to Snowflake"}}));
}

// Statement sizes and the rows (by their last column) of every INSERT into a readings' table
// that the last transaction committed.
struct Inserts {
    std::vector<size_t> rows;
    std::vector<size_t> bytes;
    std::vector<int64_t> sequence;
};

Inserts insertsCommitted() {
    Inserts result;
    for (const std::string& statement : committed(ScriptedDriver::instance().journal())) {
        if (!startsWith(statement, "INSERT INTO ") || ownOrProbe(statement)) {
            continue;
        }
        std::vector<int64_t> values = lastColumnValues(statement);
        result.rows.push_back(values.size());
        result.bytes.push_back(statement.size());
        result.sequence.insert(result.sequence.end(), values.begin(), values.end());
    }
    return result;
}

std::vector<int64_t> upTo(int64_t count) {
    std::vector<int64_t> values;
    for (int64_t i = 0; i < count; ++i) {
        values.push_back(i);
    }
    return values;
}

TEST_F(SendPipeline, ManySmallRowsAreSplitWithinBothLimits) {
    const int64_t count = static_cast<int64_t>(ODBCConnector::MAX_ROWS_PER_INSERT) + 1;
    Batch batch;
    for (int64_t i = 0; i < count; ++i) {
        batch.add(ReadingBuilder("pumps").integer("seq", i).at(TIME).build());
    }

    ASSERT_TRUE(send(batch));

    const Inserts written = insertsCommitted();
    ASSERT_GE(written.rows.size(), 2u);
    for (size_t i = 0; i < written.rows.size(); ++i) {
        EXPECT_LE(written.rows[i], ODBCConnector::MAX_ROWS_PER_INSERT);
        EXPECT_LE(written.bytes[i], ODBCConnector::MAX_INSERT_BYTES);
    }
    // Every row once, in batch order.
    EXPECT_EQ(written.sequence, upTo(count));
}

void addPayloadRows(Batch& batch, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        batch.add(ReadingBuilder("pumps")
                      .text("payload", std::string(200, 'k'))
                      .integer("seq", i)
                      .at(TIME)
                      .build());
    }
}

TEST_F(SendPipeline, LargeRowsAreSplitAtTheByteLimit) {
    const int64_t count = 4000;  // about 1.3 MiB of statement text
    Batch batch;
    addPayloadRows(batch, count);

    ASSERT_TRUE(send(batch));

    const Inserts written = insertsCommitted();
    ASSERT_EQ(written.rows.size(), 2u);
    EXPECT_LE(written.bytes[0], ODBCConnector::MAX_INSERT_BYTES);
    // The first statement was filled: every row is between 200 and 400 bytes long.
    EXPECT_LT(ODBCConnector::MAX_INSERT_BYTES - written.bytes[0], 400u);
    EXPECT_EQ(written.sequence, upTo(count));
}

TEST_F(SendPipeline, AFailedSecondStatementTakesTheFirstBackToo) {
    Batch batch;
    addPayloadRows(batch, 4000);
    // The first statement passes, the second fails.
    StatementScript pass;
    pass.match = "INSERT INTO \"pumps\"";
    pass.times = 1;
    driver().addStatement(pass);
    scriptFailure("INSERT INTO \"pumps\"", {"57014", 604, "Statement canceled"});
    LogCapture capture;

    EXPECT_FALSE(send(batch));

    EXPECT_EQ(countStartingWith(driver().journal(), "INSERT INTO \"pumps\""), 2u);
    // Rolled back, and the session checked with a trivial query.
    const Strings journal = driver().journal();
    ASSERT_GE(journal.size(), 3u);
    EXPECT_EQ(journal[journal.size() - 3], "[rollback]");
    EXPECT_EQ(journal.back(), "SELECT 1");
    EXPECT_EQ(committed(journal), Strings{});
    EXPECT_TRUE(capture.contains(Level::ERROR,
                                 "Failed to execute database query for table 'pumps' (636 rows): "
                                 "SQLSTATE 57014, native error 604: Statement canceled"));
    EXPECT_FALSE(capture.anyLineContains("Sent "));
}

// Bad values among the rows of a batch: found with trial statements that are rolled back, kept
// in the reject table, and the rest of the batch written once.
struct BadRows {
    const char* name;
    int64_t rows;
    std::vector<int64_t> bad;
    MultiStatementMode mode;
};

std::ostream& operator<<(std::ostream& out, const BadRows& rows) {
    return out << rows.name;
}

class Isolation : public SendPipeline, public ::testing::WithParamInterface<BadRows> {};

TEST_P(Isolation, RejectsExactlyTheBadRowsAndWritesTheRestOnce) {
    const BadRows& row = GetParam();
    driver().setMultiStatementMode(row.mode);
    Batch warmUp;
    warmUp.add(ReadingBuilder("other").integer("seq", 0).at(TIME).build());
    warmUp.add(ReadingBuilder("pumps").text("level", "fine").integer("seq", 0).at(TIME).build());
    warmUp.add(ReadingBuilder("zeta").integer("seq", 0).at(TIME).build());
    ASSERT_TRUE(send(warmUp));
    refuseValue("'bad-");
    Batch batch;
    batch.add(ReadingBuilder("other").integer("seq", 7).at(TIME).build());
    // A statement of one good row after the refused ones: only the write's answer was about
    // the refused statement, so this row is tried before it could count as refused.
    batch.add(ReadingBuilder("zeta").integer("seq", 8).at(TIME).build());
    std::vector<int64_t> good;
    for (int64_t i = 0; i < row.rows; ++i) {
        const bool bad = std::find(row.bad.begin(), row.bad.end(), i) != row.bad.end();
        batch.add(ReadingBuilder("pumps")
                      .text("level", bad ? "bad-" + std::to_string(i) : "fine")
                      .integer("seq", i)
                      .at(TIME)
                      .build());
        if (!bad) {
            good.push_back(i);
        }
    }
    driver().clearJournal();
    LogCapture capture;

    ASSERT_TRUE(send(batch));

    const Strings written = committed(driver().journal());
    std::vector<int64_t> sequence;
    size_t rejected = 0;
    for (const std::string& statement : written) {
        if (startsWith(statement, "INSERT INTO \"pumps\"")) {
            for (int64_t value : lastColumnValues(statement)) {
                sequence.push_back(value);
            }
        }
        if (startsWith(statement, "INSERT INTO \"_varnholt_rejects\"")) {
            for (int64_t bad : row.bad) {
                rejected += statement.find("\"level\":\"bad-" + std::to_string(bad) + "\"") !=
                                    std::string::npos
                                ? 1
                                : 0;
            }
        }
    }
    EXPECT_EQ(sequence, good);
    EXPECT_EQ(rejected, row.bad.size());
    EXPECT_EQ(countStartingWith(written, "INSERT INTO \"other\""), 1u);
    EXPECT_EQ(countStartingWith(written, "INSERT INTO \"zeta\""), 1u);
    EXPECT_EQ(capture.count(Level::DEBUG,
                            "Reading rejected from table 'pumps' (asset 'pumps'): "
                            "Numeric value 'bad' is not recognized"),
              row.bad.size());
    // However many readings are refused: one warning for the table and cause, few errors.
    const std::string many = std::to_string(row.bad.size()) +
                             (row.bad.size() == 1 ? " reading" : " readings") +
                             " rejected from table 'pumps', the first from asset 'pumps' at ";
    const std::vector<std::string> warnings = capture.texts(Level::WARN);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].compare(0, many.size(), many), 0) << warnings[0];
    EXPECT_NE(warnings[0].find("Numeric value 'bad' is not recognized"), std::string::npos);
    EXPECT_LE(capture.texts(Level::ERROR).size(), 2u);
    const std::vector<std::string> errors = capture.texts(Level::ERROR);
    EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [](const std::string& line) {
        return startsWith(line, "Failed to execute database query for ") &&
               line.find("'pumps'") != std::string::npos &&
               line.find(" rows): SQLSTATE 22018") != std::string::npos;
    })) << ::testing::PrintToString(errors);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Isolation,
    ::testing::Values(BadRows{"First", 1000, {0}, MultiStatementMode::POSTGRES},
                      BadRows{"Middle", 1000, {500}, MultiStatementMode::POSTGRES},
                      BadRows{"Last", 1000, {999}, MultiStatementMode::POSTGRES},
                      BadRows{"Several", 1000, {3, 4, 517, 998}, MultiStatementMode::POSTGRES},
                      BadRows{"Every", 40, upTo(40), MultiStatementMode::POSTGRES},
                      BadRows{"MiddleSnowflake", 1000, {500}, MultiStatementMode::SNOWFLAKE},
                      BadRows{"MiddleOneByOne", 1000, {500}, MultiStatementMode::SINGLE}),
    [](const ::testing::TestParamInfo<BadRows>& info) { return std::string(info.param.name); });

// Rows the database refuses only together, each passing on its own: after the first half passed,
// the single row left is tried alone before it counts as refused, and none becomes a reject.
// The batch fails and is sent again.
TEST_F(SendPipeline, RowsRefusedOnlyTogetherAreNoRejects) {
    Batch warmUp;
    warmUp.add(ReadingBuilder("pumps").text("level", "fine").integer("seq", 0).at(TIME).build());
    ASSERT_TRUE(send(warmUp));
    // The statement of both rows; neither row's statement alone.
    refuseValue("'first', 0), (");
    Batch batch;
    batch.add(ReadingBuilder("pumps").text("level", "first").integer("seq", 0).at(TIME).build());
    batch.add(ReadingBuilder("pumps").text("level", "second").integer("seq", 1).at(TIME).build());
    driver().clearJournal();
    LogCapture capture;

    EXPECT_FALSE(send(batch));

    EXPECT_EQ(countStartingWith(driver().journal(), "INSERT INTO \"_varnholt_rejects\""), 0u);
    EXPECT_FALSE(capture.anyLineContains("Reading rejected"));
}

// A refused reading between readings of other columns: the batch written again without it still
// puts every value of the others in its own column.
TEST_F(SendPipeline, ARefusedReadingTakesNoColumnsAlongWhenItLeaves) {
    Batch warmUp;
    warmUp.add(ReadingBuilder("pumps").text("level", "fine").integer("extra", 0).at(TIME).build());
    ASSERT_TRUE(send(warmUp));
    refuseValue("'bad-");
    Batch batch;
    batch.add(ReadingBuilder("pumps").text("level", "fine").at(TIME).build());
    batch.add(ReadingBuilder("pumps").text("level", "bad-1").integer("extra", 5).at(TIME).build());
    batch.add(ReadingBuilder("pumps").text("level", "fine").integer("extra", 7).at(TIME).build());
    driver().clearJournal();

    ASSERT_TRUE(send(batch));

    const Strings rows = readingStatements(committed(driver().journal()));
    ASSERT_EQ(rows.size(), 1u) << ::testing::PrintToString(rows);
    EXPECT_EQ(rows[0], "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS +
                           ", \"level\", \"extra\") VALUES (" + PUMP_VALUES + ", 'fine', NULL), (" +
                           PUMP_VALUES + ", 'fine', 7)");
    // A refusal is an answer: the refused request committed nothing, so the next batch is not
    // looked up in the ledger.
    driver().clearJournal();
    ASSERT_TRUE(send(warmUp));
    EXPECT_EQ(countStartingWith(driver().journal(), "SELECT COUNT(*)"), 0u);
}

TEST_F(SendPipeline, AFailureThatIsNotAboutDataRejectsNothing) {
    Batch batch;
    batch.add(pump(1.0));
    ASSERT_TRUE(send(batch));
    scriptFailure("INSERT INTO \"pumps\"", {"57014", 630, "Statement reached its timeout"});
    LogCapture capture;

    EXPECT_FALSE(send(batch));

    EXPECT_EQ(countStartingWith(driver().journal(), "INSERT INTO \"_varnholt_rejects\""), 0u);
    EXPECT_FALSE(capture.anyLineContains("Reading rejected"));
}

// Requests of several statements where the driver runs them (a driver that ignores the
// statement count once the session allows any), one statement per request where it does not.
struct DriverMode {
    const char* name;
    MultiStatementMode mode;
    size_t steadyRequests;
    const char* line;  // the log's word on the mode, if any
};

const char* const ONE_BY_ONE =
    "The database driver does not run several statements in one request: statements are sent "
    "one by one in this session";
const char* const SESSION_SETTING =
    "The database driver does not pass on the statement count of a request: several statements "
    "per request are allowed for the session instead";

class Requests : public SendPipeline, public ::testing::WithParamInterface<DriverMode> {};

TEST_P(Requests, SteadyBatchUsesAsFewAsTheDriverAllows) {
    const DriverMode& row = GetParam();
    driver().setMultiStatementMode(row.mode);
    LogCapture capture;
    for (int round = 0; round < 2; ++round) {
        Batch batch;
        for (const char* asset : {"a", "b", "c"}) {
            batch.add(ReadingBuilder(asset).integer("n", round).at(TIME).build());
        }
        ASSERT_TRUE(send(batch));
    }
    EXPECT_TRUE(
        capture.contains(Level::INFO, "Delivered 3 rows to 3 tables, 0 readings rejected, in " +
                                          std::to_string(row.steadyRequests) + " requests"));
    for (const char* line : {ONE_BY_ONE, SESSION_SETTING}) {
        EXPECT_EQ(capture.count(Level::INFO, line), row.line == line ? 1u : 0u) << line;
    }
    EXPECT_EQ(countStartingWith(committed(driver().journal()), "INSERT INTO "), 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Requests,
    ::testing::Values(DriverMode{"Snowflake", MultiStatementMode::SNOWFLAKE, 1, nullptr},
                      DriverMode{"Postgres", MultiStatementMode::POSTGRES, 1, nullptr},
                      DriverMode{"IgnoredCount", MultiStatementMode::SESSION, 1, SESSION_SETTING},
                      DriverMode{"OneByOne", MultiStatementMode::SINGLE, 4, ONE_BY_ONE}),
    [](const ::testing::TestParamInfo<DriverMode>& info) { return std::string(info.param.name); });

// Replaying rejects, where the emulator cannot go: a row whose JSON cannot be read, and a reject
// table that cannot be read.
class Replay : public SendPipeline {
protected:
    void SetUp() override {
        SendPipeline::SetUp();
        ConfigCategory category("varnholt", defaultConfiguration());
        category.setValue("replayRejects", "true");
        ASSERT_TRUE(connector->configure(&category));
    }

    static constexpr const char* SELECT_REJECTS = "SELECT \"reject_id\", \"reading\" FROM";
};

TEST_F(Replay, UnreadableRowStaysMarkedAndTheRestRidesInTheTransaction) {
    StatementScript rejects;
    rejects.match = SELECT_REJECTS;
    rejects.columns = {"reject_id", "reading"};
    rejects.rows = {{std::string("id-good"),
                     std::string("{\"asset\":\"pumps\",\"user_ts\":\"2024-05-06 07:08:09.123456\","
                                 "\"ts\":\"2024-05-06 07:08:09.123456\",\"readings\":"
                                 "{\"temperature\":4.5}}")},
                    {std::string("id-bad"), std::string("{\"asset\": ")},
                    {std::string("id-null"), std::nullopt}};
    rejects.times = 1;
    driver().addStatement(rejects);
    Batch batch;
    batch.add(pump(21.5));
    LogCapture capture;

    ASSERT_TRUE(send(batch));

    const Strings written = committed(driver().journal());
    ASSERT_EQ(written.size(), 4u) << ::testing::PrintToString(written);
    EXPECT_EQ(written[0], "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS +
                              ", \"temperature\") VALUES (" + PUMP_VALUES + ", 21.500000), (" +
                              PUMP_VALUES + ", 4.500000)");
    EXPECT_EQ(written[1],
              "DELETE FROM \"_varnholt_rejects\" WHERE \"instance\" = 'tolvaneInstance' AND "
              "\"reject_id\" IN ('id-good')");
    EXPECT_TRUE(startsWith(written[2], "UPDATE \"_varnholt_rejects\" SET \"replay_pass\" = '"));
    EXPECT_NE(written[2].find("' WHERE \"instance\" = 'tolvaneInstance' AND \"reject_id\" IN "
                              "('id-bad', 'id-null')"),
              std::string::npos)
        << written[2];
    EXPECT_TRUE(startsWith(written[3], "INSERT INTO \"_varnholt_ledger\" "));
    EXPECT_EQ(capture.count(Level::WARN,
                            "Rejected reading 'id-bad' cannot be replayed: line 1, "
                            "column 11 (end of input): Invalid value."),
              1u);
    EXPECT_TRUE(capture.contains(
        Level::INFO, "Replayed 1 rejected readings: 1 delivered to their tables, 0 refused again"));

    // The next batch finds no row the pass has not tried: the pass is done.
    driver().clearJournal();
    ASSERT_TRUE(send(batch));
    EXPECT_TRUE(capture.contains(
        Level::INFO,
        "Replay of rejected readings done: 1 delivered to their tables; 0 refused again and 2 "
        "that could not be replayed are left in the reject table"));
    driver().clearJournal();
    ASSERT_TRUE(send(batch));
    EXPECT_EQ(countStartingWith(driver().journal(), SELECT_REJECTS), 0u);
}

TEST_F(Replay, RejectTableThatCannotBeReadCostsAWarningNotTheBatch) {
    scriptFailure(SELECT_REJECTS, DiagRecord{"42501", 3001, "Insufficient privileges"});
    Batch batch;
    batch.add(pump(21.5));
    LogCapture capture;

    ASSERT_TRUE(send(batch));

    EXPECT_TRUE(capture.contains(Level::WARN,
                                 "Failed to read rejected readings to replay: SQLSTATE 42501, "
                                 "native error 3001: Insufficient privileges"));
    EXPECT_EQ(readingStatements(committed(driver().journal())),
              (Strings{"INSERT INTO \"pumps\" (" + STANDARD_COLUMNS +
                       ", \"temperature\") VALUES (" + PUMP_VALUES + ", 21.500000)"}));
    // Looked for again with the next batch.
    driver().clearJournal();
    ASSERT_TRUE(send(batch));
    EXPECT_EQ(countStartingWith(driver().journal(), SELECT_REJECTS), 1u);
}

// The session setting lasts as long as the session: a new connection makes it again before its
// first request of several statements.
TEST_F(SendPipeline, ASessionThatIgnoresTheCountIsSetUpAgainAfterAReconnect) {
    driver().setMultiStatementMode(MultiStatementMode::SESSION);
    Batch batch;
    batch.add(pump(1.0));
    ASSERT_TRUE(send(batch));
    scriptFailure("INSERT INTO \"pumps\"", {"08S01", 0, "Communication link failure"}, true);
    EXPECT_FALSE(send(batch));
    driver().clearJournal();

    ASSERT_TRUE(send(batch));

    const Strings journal = driver().journal();
    const auto setting =
        std::find(journal.begin(), journal.end(), "ALTER SESSION SET MULTI_STATEMENT_COUNT = 0");
    ASSERT_NE(setting, journal.end()) << ::testing::PrintToString(journal);
    EXPECT_LT(setting, std::find(journal.begin(), journal.end(), "BEGIN"));
    EXPECT_EQ(driver().connectCount(), 2);
    EXPECT_EQ(countStartingWith(committed(journal), "INSERT INTO \"pumps\""), 1u);
}

// Deleting old ledger rows shares the first batch's look-up request; when it fails, that costs a
// warning and the look-up goes on its own.
TEST_F(SendPipeline, AFailedLedgerCleanUpOnlyWarns) {
    scriptFailure("DELETE FROM \"_varnholt_ledger\"", {"42501", 3001, "Insufficient privileges"});
    Batch batch;
    batch.add(pump(1.0));
    LogCapture capture;

    ASSERT_TRUE(send(batch));

    EXPECT_TRUE(capture.contains(Level::WARN,
                                 "Failed to delete old rows of the delivery ledger "
                                 "'_varnholt_ledger': SQLSTATE 42501, native error 3001: "
                                 "Insufficient privileges"));
    const Strings journal = driver().journal();
    const auto cleanup = std::find_if(journal.begin(), journal.end(), [](const std::string& s) {
        return startsWith(s, "DELETE FROM \"_varnholt_ledger\"");
    });
    ASSERT_NE(cleanup, journal.end());
    ASSERT_NE(cleanup + 1, journal.end());
    EXPECT_TRUE(startsWith(*(cleanup + 1), "SELECT COUNT(*) FROM \"_varnholt_ledger\""));
    EXPECT_EQ(countStartingWith(committed(journal), "INSERT INTO \"pumps\""), 1u);
}

}  // namespace
