#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/default_config.h"
#include "connector/snowflake_odbc_connector.h"
#include "host/config_category.h"
#include "host/log_capture.h"
#include "sql/snowflake_sql_builder.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/test_readings.h"

namespace {

using varnholt::test::Batch;
using varnholt::test::DiagRecord;
using varnholt::test::ReadingBuilder;
using varnholt::test::ScriptedDriver;
using varnholt::test::StatementScript;
using Level = Logger::Level;
using Line = LogCapture::Line;
using Strings = std::vector<std::string>;

const char* const TIME = "2024-05-06 07:08:09.123456";
const std::string STAMP = "'2024-05-06 07:08:09.123456+00:00'";
const std::string STANDARD_COLUMNS = "\"asset_code\", \"user_ts\", \"ts\", \"tolvane\"";
// The standard values of a row of the asset pumps.
const std::string PUMP_VALUES = "'pumps', " + STAMP + ", " + STAMP + ", 'tolvaneInstance'";

// Reads the connection status, which only the connector itself can see.
class ConnectorProbe : public SnowflakeODBCConnector {
public:
    int state() const { return connectionState; }
};

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

class SendPipeline : public ::testing::Test {
protected:
    void SetUp() override {
        driver().reset();
        connector = std::make_unique<ConnectorProbe>();
        ConfigCategory category("varnholt", defaultConfiguration());
        ASSERT_TRUE(connector->configure(&category));
    }

    void TearDown() override {
        connector.reset();
        EXPECT_EQ(driver().openHandles(), 0);
    }

    static ScriptedDriver& driver() { return ScriptedDriver::instance(); }

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
                              bool killConnection = false) {
        StatementScript script;
        script.match = prefix;
        script.returnCode = SQL_ERROR;
        script.diagnostics = {diag};
        script.killConnection = killConnection;
        script.times = 1;
        driver().addStatement(script);
    }

    bool send(const Batch& batch) { return connector->send(batch.pointers()); }

    static std::unique_ptr<Reading> pump(double temperature) {
        return ReadingBuilder("pumps").real("temperature", temperature).at(TIME).build();
    }

    std::unique_ptr<ConnectorProbe> connector;
};

TEST_F(SendPipeline, NewTableIsLookedUpCreatedAndWritten) {
    Batch batch;
    batch.add(pump(21.5));
    LogCapture capture;

    ASSERT_TRUE(send(batch));

    EXPECT_EQ(driver().journal(),
              (Strings{columnQuery("pumps"),
                       "CREATE TABLE \"pumps\" (\"asset_code\" VARCHAR(256) NOT NULL, \"user_ts\" "
                       "TIMESTAMP_TZ, \"ts\" TIMESTAMP_TZ, \"tolvane\" VARCHAR(256), "
                       "\"temperature\" REAL NULL)",
                       "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS +
                           ", \"temperature\") VALUES (" + PUMP_VALUES + ", 21.500000)"}));
    EXPECT_EQ(driver().connectCount(), 1);
    EXPECT_EQ(driver().lastConnectionString(), connector->getConnectionString());
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_SUCCESS);
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Sending 1 readings to Snowflake"));
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Attempting database connection"));
    EXPECT_TRUE(capture.contains(Level::INFO, "Database connection status: TOLVANE_ODBC_SUCCESS"));
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Using cached schema for table pumps: 5 columns"));
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Sent 1 records to table 'pumps'"));
    EXPECT_EQ(capture.texts(Level::ERROR), Strings{});
}

TEST_F(SendPipeline, KnownTableGetsOnlyItsInsert) {
    Batch first;
    first.add(pump(1.0));
    ASSERT_TRUE(send(first));
    driver().clearJournal();

    Batch second;
    second.add(pump(2.0));
    second.add(pump(3.0));
    LogCapture capture;
    ASSERT_TRUE(send(second));

    EXPECT_EQ(driver().journal(),
              Strings{"INSERT INTO \"pumps\" (" + STANDARD_COLUMNS + ", \"temperature\") VALUES (" +
                      PUMP_VALUES + ", 2.000000), (" + PUMP_VALUES + ", 3.000000)"});
    EXPECT_EQ(driver().connectCount(), 1);
    EXPECT_FALSE(capture.contains(Level::DEBUG, "Attempting database connection"));
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Sent 2 records to table 'pumps'"));
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

    EXPECT_EQ(driver().journal(),
              (Strings{columnQuery("pumps"), "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS +
                                                 ", \"temperature\") VALUES (" + PUMP_VALUES +
                                                 ", 4.250000)"}));
}

TEST_F(SendPipeline, NewColumnIsAddedBeforeTheInsert) {
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
        driver().journal(),
        (Strings{columnQuery("pumps"), "ALTER TABLE \"pumps\" ADD COLUMN \"humidity\" BIGINT NULL",
                 "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS +
                     ", \"temperature\", \"humidity\") VALUES (" + PUMP_VALUES +
                     ", 5.000000, 40)"}));
}

TEST_F(SendPipeline, ColumnsARecordLacksReceiveNull) {
    Batch batch;
    batch.add(pump(6.5));
    batch.add(ReadingBuilder("pumps").integer("humidity", 41).at(TIME).build());

    ASSERT_TRUE(send(batch));

    const Strings journal = driver().journal();
    ASSERT_EQ(journal.size(), 4u);
    EXPECT_TRUE(startsWith(journal[1], "CREATE TABLE \"pumps\" "));
    EXPECT_EQ(journal[2], "ALTER TABLE \"pumps\" ADD COLUMN \"humidity\" BIGINT NULL");
    EXPECT_EQ(journal[3], "INSERT INTO \"pumps\" (" + STANDARD_COLUMNS +
                              ", \"temperature\", \"humidity\") VALUES (" + PUMP_VALUES +
                              ", 6.500000, NULL), (" + PUMP_VALUES + ", NULL, 41)");
}

TEST_F(SendPipeline, TablesAreWrittenInByteOrder) {
    Batch batch;
    batch.add(ReadingBuilder("pumps").integer("n", 1).at(TIME).build());
    batch.add(ReadingBuilder("Valves").integer("n", 2).at(TIME).build());
    batch.add(ReadingBuilder("pumps").integer("n", 3).at(TIME).build());

    ASSERT_TRUE(send(batch));

    const Strings journal = driver().journal();
    ASSERT_EQ(journal.size(), 6u);
    EXPECT_EQ(journal[0], columnQuery("Valves"));
    EXPECT_TRUE(startsWith(journal[1], "CREATE TABLE \"Valves\" "));
    EXPECT_TRUE(startsWith(journal[2], "INSERT INTO \"Valves\" "));
    EXPECT_EQ(journal[3], columnQuery("pumps"));
    EXPECT_TRUE(startsWith(journal[4], "CREATE TABLE \"pumps\" "));
    EXPECT_EQ(lastColumnValues(journal[5]), (std::vector<int64_t>{1, 3}));
}

TEST_F(SendPipeline, FailedInsertStopsTheBatchBeforeTheNextTable) {
    scriptFailure("INSERT INTO \"alpha\"", {"22018", 100038, "Numeric value is not recognized"});
    Batch batch;
    batch.add(ReadingBuilder("beta").integer("n", 1).at(TIME).build());
    batch.add(ReadingBuilder("alpha").integer("n", 2).at(TIME).build());
    LogCapture capture;

    EXPECT_FALSE(send(batch));

    const Strings journal = driver().journal();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_TRUE(startsWith(journal[2], "INSERT INTO \"alpha\" "));
    EXPECT_TRUE(
        capture.contains(Level::ERROR, "Exception in executeQuery: Failed to execute query."));
    EXPECT_TRUE(
        capture.contains(Level::ERROR, "Failed to execute database query for table 'alpha'"));
    EXPECT_FALSE(capture.anyLineContains("Database connection lost"));
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_SUCCESS);

    // The connection stays open for the resend, which writes both tables.
    driver().clearJournal();
    ASSERT_TRUE(send(batch));
    EXPECT_EQ(driver().connectCount(), 1);
    const Strings resend = driver().journal();
    ASSERT_EQ(resend.size(), 4u);
    EXPECT_TRUE(startsWith(resend[0], "INSERT INTO \"alpha\" "));
    EXPECT_EQ(resend[1], columnQuery("beta"));
}

TEST_F(SendPipeline, InsertOnADeadConnectionMakesTheNextBatchReconnect) {
    Batch batch;
    batch.add(pump(1.0));
    ASSERT_TRUE(send(batch));
    scriptFailure("INSERT INTO \"pumps\"", {"08S01", 0, "Communication link failure"}, true);
    LogCapture capture;

    EXPECT_FALSE(send(batch));

    EXPECT_TRUE(inOrder(capture.lines(),
                        {{Level::ERROR, "Exception in executeQuery: Failed to execute query."},
                         {Level::ERROR, "Failed to execute database query for table 'pumps'"},
                         {Level::INFO, "Connection is not active (dead)."},
                         {Level::DEBUG, "Database connection lost"},
                         {Level::DEBUG, "Disconnecting from database"},
                         {Level::INFO, "Database disconnected"}}));
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_NOTCONNECTED);
    EXPECT_EQ(driver().disconnectCount(), 1);

    driver().clearJournal();
    capture.clear();
    ASSERT_TRUE(send(batch));
    EXPECT_EQ(driver().connectCount(), 2);
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Attempting database connection"));
    // The schema cache outlives the connection.
    const Strings journal = driver().journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_TRUE(startsWith(journal[0], "INSERT INTO \"pumps\" "));
}

class SchemaQueryFails : public SendPipeline, public ::testing::WithParamInterface<bool> {};

TEST_P(SchemaQueryFails, FailsTheBatchAndDropsOnlyADeadConnection) {
    const bool kill = GetParam();
    scriptFailure(columnQuery("pumps"), {"08S01", 0, "Communication link failure"}, kill);
    Batch batch;
    batch.add(pump(1.0));
    LogCapture capture;

    EXPECT_FALSE(send(batch));

    EXPECT_TRUE(
        capture.contains(Level::ERROR, "Database operation failed: Failed to execute query."));
    EXPECT_EQ(capture.contains(Level::DEBUG, "Database connection lost"), kill);
    EXPECT_EQ(connector->state(), kill ? TOLVANE_ODBC_NOTCONNECTED : TOLVANE_ODBC_SUCCESS);
    EXPECT_EQ(driver().journal(), Strings{columnQuery("pumps")});

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

// Statement sizes and the rows (by their last column) of every INSERT in the journal.
struct Inserts {
    std::vector<size_t> rows;
    std::vector<size_t> bytes;
    std::vector<int64_t> sequence;
};

Inserts insertsInJournal() {
    Inserts result;
    for (const std::string& statement : ScriptedDriver::instance().journal()) {
        if (!startsWith(statement, "INSERT INTO ")) {
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

    const Inserts written = insertsInJournal();
    ASSERT_GE(written.rows.size(), 2u);
    for (size_t i = 0; i < written.rows.size(); ++i) {
        EXPECT_LE(written.rows[i], ODBCConnector::MAX_ROWS_PER_INSERT);
        EXPECT_LE(written.bytes[i], ODBCConnector::MAX_INSERT_BYTES);
    }
    // Every row once, in batch order.
    EXPECT_EQ(written.sequence, upTo(count));
}

TEST_F(SendPipeline, LargeRowsAreSplitAtTheByteLimit) {
    const int64_t count = 1200;  // about 1.2 MiB of statement text
    Batch batch;
    for (int64_t i = 0; i < count; ++i) {
        batch.add(ReadingBuilder("pumps")
                      .text("payload", std::string(1000, 'k'))
                      .integer("seq", i)
                      .at(TIME)
                      .build());
    }

    ASSERT_TRUE(send(batch));

    const Inserts written = insertsInJournal();
    ASSERT_EQ(written.rows.size(), 2u);
    EXPECT_LE(written.bytes[0], ODBCConnector::MAX_INSERT_BYTES);
    // The first statement was filled: every row is between 1000 and 1200 bytes long.
    EXPECT_LT(ODBCConnector::MAX_INSERT_BYTES - written.bytes[0], 1200u);
    EXPECT_EQ(written.sequence, upTo(count));
}

TEST_F(SendPipeline, FailedSecondStatementFailsTheBatch) {
    const int64_t count = 1200;
    Batch batch;
    for (int64_t i = 0; i < count; ++i) {
        batch.add(ReadingBuilder("pumps")
                      .text("payload", std::string(1000, 'k'))
                      .integer("seq", i)
                      .at(TIME)
                      .build());
    }
    // The first statement passes, the second fails.
    StatementScript pass;
    pass.match = "INSERT INTO \"pumps\"";
    pass.times = 1;
    driver().addStatement(pass);
    scriptFailure("INSERT INTO \"pumps\"", {"22001", 100078, "String is too long"});
    LogCapture capture;

    EXPECT_FALSE(send(batch));

    EXPECT_EQ(insertsInJournal().rows.size(), 2u);
    EXPECT_TRUE(
        capture.contains(Level::ERROR, "Failed to execute database query for table 'pumps'"));
    EXPECT_FALSE(capture.anyLineContains("Sent "));
}

}  // namespace
