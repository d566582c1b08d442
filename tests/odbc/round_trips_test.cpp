// What a batch costs with Snowflake's driver, counted where the scripted driver sees every call,
// and what a Snowflake session must be for the plugin's SQL to hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/log_capture.h"
#include "sql/snowflake_sql_builder.h"
#include "tests/odbc/scripted_connector.h"
#include "tests/support/case_names.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/test_readings.h"

namespace {

using varnholt::test::Batch;
using varnholt::test::caseNames;
using varnholt::test::DiagRecord;
using varnholt::test::MultiStatementMode;
using varnholt::test::ReadingBuilder;
using varnholt::test::ScriptedDriver;
using varnholt::test::StatementScript;
using Level = Logger::Level;
using Strings = std::vector<std::string>;

const char* const TIME = "2024-05-06 07:08:09.123456";
const std::string SESSION_SETTINGS = SnowflakeSQLBuilder().buildSessionSettings();

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

size_t countStartingWith(const Strings& journal, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(journal.begin(), journal.end(),
                                             [&](const auto& s) { return startsWith(s, prefix); }));
}

size_t linesContaining(const LogCapture& capture, const std::string& fragment) {
    size_t count = 0;
    for (const auto& line : capture.lines()) {
        count += line.second.find(fragment) != std::string::npos ? 1 : 0;
    }
    return count;
}

// A Snowflake session through the scripted driver: Snowflake's product name, the statement count
// as Snowflake's driver takes it.
class SnowflakeSession : public varnholt::test::ScriptedConnectorTest<> {
protected:
    void SetUp() override {
        ScriptedConnectorTest::SetUp();
        driver().setDbmsName("Snowflake");
        driver().setMultiStatementMode(MultiStatementMode::SNOWFLAKE);
    }

    bool send(const Batch& batch) { return connector->send(batch.pointers()); }

    // Every statement holding `text` fails with `diag`.
    static void refuse(const std::string& text, const DiagRecord& diag) {
        StatementScript script;
        script.match = text;
        script.contains = true;
        script.returnCode = SQL_ERROR;
        script.diagnostics = {diag};
        driver().addStatement(script);
    }
};

// The calls of a batch that are round trips with Snowflake's driver.
struct Calls {
    int execute;
    int moreResults;
    int fetches;
    int autocommit;
    int endTransaction;

    int total() const { return execute + moreResults + fetches + autocommit + endTransaction; }
};

Calls callsSince() {
    const ScriptedDriver& driver = ScriptedDriver::instance();
    return Calls{driver.callCount("SQLExecDirect"), driver.callCount("SQLMoreResults"),
                 driver.callCount("SQLFetch"),
                 driver.callCount("SQLSetConnectAttr(SQL_ATTR_AUTOCOMMIT)"),
                 driver.callCount("SQLEndTran")};
}

// A batch of 50 tables, 1,000 readings of 10 datapoints: one reading may carry a word where its
// column holds numbers, or a text the database refuses without the plugin being able to tell.
enum class Odd { Nothing, WordInNumberColumn, RefusedByTheDatabase };

struct BatchCase {
    const char* name;
    Odd odd;
    // Asserted where the count is a promise; the others are measured.
    std::optional<Calls> expected;
};

constexpr int TABLES = 50;
constexpr int READINGS = 1000;
constexpr int ODD_READING = 517;

Batch fiftyTables(Odd odd) {
    Batch batch;
    for (int i = 0; i < READINGS; ++i) {
        char asset[16];
        std::snprintf(asset, sizeof(asset), "t%02d", i % TABLES);
        ReadingBuilder reading(asset);
        for (int d = 0; d < 9; ++d) {
            const std::string name = "d" + std::to_string(d);
            if (i == ODD_READING && odd == Odd::WordInNumberColumn && d == 3) {
                reading.text(name, "high");
            } else {
                reading.real(name, i + d * 0.25);
            }
        }
        reading.text("state", i == ODD_READING && odd == Odd::RefusedByTheDatabase ? "refuse-me"
                                                                                   : "running");
        batch.add(reading.at(TIME).build());
    }
    return batch;
}

class BatchCost : public SnowflakeSession, public ::testing::WithParamInterface<BatchCase> {};

TEST_P(BatchCost, CountsTheRoundTripsOfABatch) {
    const BatchCase& row = GetParam();
    ASSERT_TRUE(send(fiftyTables(Odd::Nothing)));
    // The value ends its row; the reject row that quotes it does not match.
    refuse("'refuse-me')",
           {"22000", 100078, "String 'refuse-me' is too long and would be truncated"});
    const Batch batch = fiftyTables(row.odd);
    driver().clearJournal();
    driver().clearCallCounts();
    LogCapture capture;

    ASSERT_TRUE(send(batch));

    const Calls calls = callsSince();
    std::printf(
        "[ round trips ] %s: %d SQLExecDirect, %d SQLMoreResults, %d SQLFetch, %d autocommit "
        "switches, %d SQLEndTran: %d in all\n",
        row.name, calls.execute, calls.moreResults, calls.fetches, calls.autocommit,
        calls.endTransaction, calls.total());
    if (row.expected) {
        EXPECT_EQ(calls.execute, row.expected->execute);
        EXPECT_EQ(calls.moreResults, row.expected->moreResults);
        EXPECT_EQ(calls.fetches, row.expected->fetches);
        EXPECT_EQ(calls.autocommit, row.expected->autocommit);
        EXPECT_EQ(calls.endTransaction, row.expected->endTransaction);
    }
    // The request that committed: every table once.
    const Strings journal = driver().journal();
    const auto commit = std::find(journal.rbegin(), journal.rend(), "COMMIT");
    ASSERT_NE(commit, journal.rend());
    const auto begin = std::find(commit, journal.rend(), "BEGIN");
    ASSERT_NE(begin, journal.rend());
    EXPECT_EQ(countStartingWith(Strings(begin.base(), commit.base()), "INSERT INTO \"t"),
              static_cast<size_t>(TABLES));
    EXPECT_EQ(linesContaining(capture, "Reading rejected from table"),
              row.odd == Odd::Nothing ? 0u : 1u);
    if (row.odd == Odd::WordInNumberColumn) {
        // Rejected before the request, in the words Snowflake answers with; no SQLSTATE, as the
        // database was not asked.
        EXPECT_EQ(countStartingWith(journal, "INSERT INTO \"_varnholt_rejects\""), 1u);
        const auto reject = std::find_if(journal.begin(), journal.end(), [](const auto& s) {
            return startsWith(s, "INSERT INTO \"_varnholt_rejects\"");
        });
        ASSERT_NE(reject, journal.end());
        EXPECT_NE(reject->find("NULL, 0, 'Numeric value ''high'' is not recognized'"),
                  std::string::npos)
            << *reject;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Batches, BatchCost,
    ::testing::Values(BatchCase{"Steady", Odd::Nothing, Calls{1, 0, 0, 0, 0}},
                      BatchCase{"WordInANumberColumn", Odd::WordInNumberColumn,
                                Calls{1, 0, 0, 0, 0}},
                      BatchCase{"RefusalNobodyCouldForesee", Odd::RefusedByTheDatabase, {}}),
    caseNames([](const BatchCase& c) { return std::string(c.name); }));

// The session is set up at connect, on Snowflake alone, in one statement; a session lost while
// it is set up is tried again later, a setting refused leaves the account's own.
struct PinCase {
    const char* name;
    const char* product;
    std::optional<DiagRecord> refused;
    bool pinned;
    bool delivered;
};

class SessionPin : public SnowflakeSession, public ::testing::WithParamInterface<PinCase> {};

TEST_P(SessionPin, OnSnowflakeBeforeAnythingElse) {
    const PinCase& row = GetParam();
    driver().setDbmsName(row.product);
    driver().setMultiStatementMode(MultiStatementMode::POSTGRES);
    if (row.refused) {
        StatementScript refusal;
        refusal.match = SESSION_SETTINGS;
        refusal.prefix = false;
        refusal.returnCode = SQL_ERROR;
        refusal.diagnostics = {*row.refused};
        refusal.times = 1;
        driver().addStatement(refusal);
    }
    Batch batch;
    batch.add(ReadingBuilder("pumps").real("temperature", 1.5).at(TIME).build());
    LogCapture capture;

    EXPECT_EQ(send(batch), row.delivered);

    const Strings journal = driver().journal();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.front() == SESSION_SETTINGS, row.pinned) << journal.front();
    EXPECT_EQ(std::count(journal.begin(), journal.end(), SESSION_SETTINGS), row.pinned ? 1 : 0);
    // A session lost while it was set up also starts an outage, with a warning of its own.
    EXPECT_EQ(capture.texts(Level::WARN).size(),
              (row.refused ? 1u : 0u) + (row.delivered ? 0u : 1u));
    if (!row.delivered) {
        EXPECT_TRUE(capture.anyLineContains("Database connection lost at "));
        EXPECT_EQ(connector->state(), TOLVANE_ODBC_EAGAIN);
        EXPECT_EQ(driver().openHandles(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Products, SessionPin,
    ::testing::Values(PinCase{"Snowflake", "Snowflake", std::nullopt, true, true},
                      PinCase{"Emulator", "PostgreSQL", std::nullopt, false, true},
                      PinCase{"SettingRefused", "Snowflake",
                              DiagRecord{"22023", 1008,
                                         "invalid value ['X'] for parameter 'ROWS_PER_RESULTSET'"},
                              true, true},
                      PinCase{"SessionLost", "Snowflake",
                              DiagRecord{"HY000", 0, "Connection reset by peer"}, true, false},
                      PinCase{"SessionExpired", "Snowflake",
                              DiagRecord{"08001", 390114,
                                         "Authentication token has expired. The user must "
                                         "authenticate again."},
                              true, false}),
    caseNames([](const PinCase& c) { return std::string(c.name); }));

TEST(SessionSettings, PinWhatThePluginsSQLReliesOn) {
    EXPECT_EQ(SESSION_SETTINGS,
              "ALTER SESSION SET MULTI_STATEMENT_COUNT = 0 QUOTED_IDENTIFIERS_IGNORE_CASE = FALSE "
              "TIMESTAMP_INPUT_FORMAT = 'AUTO' ROWS_PER_RESULTSET = 0");
}

// Snowflake's SQLSTATE 22000: a refused value only with a 100xxx code. A session without a
// current schema fails the batch, rejects nothing, and the next batch comes on a new session.
struct StateCase {
    const char* name;
    const char* refusedStatement;
    DiagRecord diag;
    bool delivered;
    size_t rejects;
    bool newSession;
};

class GenericDataState : public SnowflakeSession,
                         public ::testing::WithParamInterface<StateCase> {};

TEST_P(GenericDataState, IsADataErrorOnlyWithADataCode) {
    const StateCase& row = GetParam();
    Batch warmUp;
    warmUp.add(ReadingBuilder("pumps").text("note", "fine").at(TIME).build());
    ASSERT_TRUE(send(warmUp));
    refuse(row.refusedStatement, row.diag);
    Batch batch;
    batch.add(ReadingBuilder("pumps").text("note", "fine").at(TIME).build());
    batch.add(ReadingBuilder("pumps").text("note", "culprit").at(TIME).build());
    batch.add(ReadingBuilder("valves").integer("open", 1).at(TIME).build());
    driver().clearJournal();
    LogCapture capture;

    EXPECT_EQ(send(batch), row.delivered);

    EXPECT_EQ(linesContaining(capture, "Reading rejected from table"), row.rejects);
    EXPECT_EQ(countStartingWith(driver().journal(), "INSERT INTO \"_varnholt_rejects\""),
              row.delivered ? (row.rejects > 0 ? 1u : 0u) : 0u);
    EXPECT_EQ(connector->state(),
              row.newSession ? TOLVANE_ODBC_NOTCONNECTED : TOLVANE_ODBC_SUCCESS);
}

const DiagRecord NO_SCHEMA{"22000", 90106,
                           "Cannot perform CREATE TABLE. This session does not have a current "
                           "schema. Call 'USE SCHEMA', or use a qualified name."};

INSTANTIATE_TEST_SUITE_P(
    Cases, GenericDataState,
    ::testing::Values(
        StateCase{"NoCurrentSchemaAtCreate", "CREATE TABLE \"valves\"", NO_SCHEMA, false, 0, true},
        StateCase{"NoCurrentSchemaAtInsert", "'culprit')", NO_SCHEMA, false, 0, true},
        StateCase{"NoCurrentSchemaOnlyInTheMessage",
                  "'culprit')",
                  {"22000", 0, "090106 (22000): " + NO_SCHEMA.message},
                  false,
                  0,
                  true},
        StateCase{"TextTooLong",
                  "'culprit')",
                  {"22000", 100078, "String 'culprit' is too long and would be truncated"},
                  true,
                  1,
                  false},
        StateCase{"NullIntoNotNull",
                  "'culprit')",
                  {"22000", 100072, "NULL result in a non-nullable column"},
                  true,
                  1,
                  false},
        StateCase{"NoCodeAtAll", "'culprit')", {"22000", 0, "Internal error"}, false, 0, false}),
    caseNames([](const StateCase& c) { return std::string(c.name); }));

// The reject table of an earlier version gains the columns it lacks, found by its column query;
// no ADD COLUMN IF NOT EXISTS, which not every account takes.
struct UpgradeCase {
    const char* name;
    Strings reported;
    Strings added;
};

class RejectTableUpgrade : public SnowflakeSession,
                           public ::testing::WithParamInterface<UpgradeCase> {};

TEST_P(RejectTableUpgrade, AddsOnlyTheMissingColumns) {
    const UpgradeCase& row = GetParam();
    StatementScript columns;
    columns.match = SnowflakeSQLBuilder().buildInformationSchemaQuery("", "_varnholt_rejects");
    columns.prefix = false;
    columns.columns = {"COLUMN_NAME", "DATA_TYPE"};
    for (const std::string& name : row.reported) {
        columns.rows.push_back({name, std::string("TEXT")});
    }
    driver().addStatement(columns);
    Batch batch;
    batch.add(ReadingBuilder("pumps").real("temperature", 1.5).at(TIME).build());

    ASSERT_TRUE(send(batch));

    Strings added;
    for (const std::string& statement : driver().journal()) {
        if (startsWith(statement, "ALTER TABLE \"_varnholt_rejects\"")) {
            added.push_back(statement);
        }
    }
    EXPECT_EQ(added, row.added);
}

const Strings EARLIER_COLUMNS = {"rejected_at", "instance", "target_table", "asset_code", "user_ts",
                                 "reading",     "sqlstate", "native_code",  "message"};

Strings with(Strings columns, const Strings& more) {
    columns.insert(columns.end(), more.begin(), more.end());
    return columns;
}

const std::string ADD = "ALTER TABLE \"_varnholt_rejects\" ADD COLUMN ";

INSTANTIATE_TEST_SUITE_P(
    Tables, RejectTableUpgrade,
    ::testing::Values(
        UpgradeCase{"JustMade", {}, {}},
        UpgradeCase{"EarlierVersion",
                    EARLIER_COLUMNS,
                    {ADD + "\"reject_id\" VARCHAR(36)", ADD + "\"replay_pass\" VARCHAR(36)"}},
        UpgradeCase{
            "HalfWay", with(EARLIER_COLUMNS, {"reject_id"}), {ADD + "\"replay_pass\" VARCHAR(36)"}},
        UpgradeCase{"Current", with(EARLIER_COLUMNS, {"reject_id", "replay_pass"}), {}}),
    caseNames([](const UpgradeCase& c) { return std::string(c.name); }));

}  // namespace
