// The send path that maps each row just before it is written: wide records, mapping into a
// reused record, and schema checks skipped only where they could not change anything.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/default_config.h"
#include "connector/snowflake_odbc_connector.h"
#include "host/config_category.h"
#include "host/log_capture.h"
#include "mapping/reading_mapper.h"
#include "sql/snowflake_sql_builder.h"
#include "tests/support/case_names.h"
#include "tests/support/statement_client.h"
#include "tests/support/test_readings.h"

namespace {

using varnholt::test::Batch;
using varnholt::test::caseNames;
using varnholt::test::ReadingBuilder;
using Level = Logger::Level;
using Strings = std::vector<std::string>;

const char* const TIME = "2024-01-01 00:00:00";
const char* const UNSUPPORTED =
    "Image and databuffer datapoint types not supported - using null value";

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

size_t countStartingWith(const Strings& queries, const std::string& prefix) {
    size_t count = 0;
    for (const std::string& query : queries) {
        count += startsWith(query, prefix) ? 1 : 0;
    }
    return count;
}

// Wide rows

class WideRecord : public ::testing::TestWithParam<size_t> {};

TEST_P(WideRecord, FindsReplacesAndClearsEveryColumn) {
    const size_t width = GetParam();
    DatabaseRecord record("t");
    for (size_t i = 0; i < width; ++i) {
        record.addColumn("c" + std::to_string(i), "v" + std::to_string(i), "BIGINT", NULLABLE);
    }
    // A repeated name replaces in place, also once the record is wide.
    record.addColumn("c0", "first", "REAL", NOT_NULL);
    record.addColumn("c" + std::to_string(width - 1), "last", "REAL");
    ASSERT_EQ(record.getColumnNames().size(), width);
    EXPECT_EQ(*record.findValue("c0"), "first");
    EXPECT_EQ(record.getSQLType("c0"), "REAL");
    EXPECT_EQ(record.getConstraints("c0"), NOT_NULL);
    EXPECT_EQ(record.getValue("c" + std::to_string(width - 1)), "last");
    EXPECT_EQ(record.getConstraints("c" + std::to_string(width - 1)), NULLABLE);
    for (size_t i = 1; i + 1 < width; ++i) {
        const std::string name = "c" + std::to_string(i);
        ASSERT_TRUE(record.hasColumn(name)) << name;
        EXPECT_EQ(record.getValue(name), "v" + std::to_string(i));
        EXPECT_EQ(record.columnNameList()[i], name);
    }
    EXPECT_FALSE(record.hasColumn("c" + std::to_string(width)));

    DatabaseRecord moved(std::move(record));
    EXPECT_TRUE(moved.hasColumn("c1"));
    EXPECT_FALSE(record.hasColumn("c1"));

    moved.clear();
    EXPECT_FALSE(moved.hasColumn("c0"));
    moved.addColumn("c5", "again", "BIGINT");
    EXPECT_EQ(moved.getColumnNames(), Strings{"c5"});
    EXPECT_EQ(moved.findValue("c0"), nullptr);
}

// Around the width at which a record starts to keep a name index.
INSTANTIATE_TEST_SUITE_P(Widths, WideRecord, ::testing::Values(2, 32, 33, 34, 200),
                         caseNames([](size_t width) { return "Width " + std::to_string(width); }));

// Statement length worked out ahead

struct PrefixCase {
    const char* name;
    std::string table;
    Strings columns;
};

std::ostream& operator<<(std::ostream& out, const PrefixCase& row) {
    return out << row.name;
}

class InsertPrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(InsertPrefix, IsWhatBuildBulkInsertWritesBeforeTheRows) {
    const PrefixCase& row = GetParam();
    SnowflakeSQLBuilder builder;
    builder.setTableName(row.table);
    builder.setColumns(row.columns);
    builder.setValues(std::vector<Strings>{Strings(row.columns.size(), "1")});
    const std::string rows = "(" + std::string(row.columns.size() * 3 - 2, ' ') + ")";
    const std::string prefix = builder.buildInsertPrefix(row.table, row.columns);
    EXPECT_EQ(builder.buildBulkInsert().substr(0, prefix.size()), prefix);
    EXPECT_EQ(prefix.size(), builder.buildBulkInsert().size() - rows.size());
}

INSTANTIATE_TEST_SUITE_P(
    Names, InsertPrefix,
    ::testing::Values(PrefixCase{"Plain", "pumps", {"asset_code", "n"}},
                      PrefixCase{"QuoteInTable", "a\"b\"", {"x"}},
                      PrefixCase{"QuotesInColumns", "t", {"\"", "\"\"x", "y\"", ""}}),
    [](const ::testing::TestParamInfo<PrefixCase>& info) { return std::string(info.param.name); });

// Mapping into a reused record

void expectSameRecord(const DatabaseRecord& actual, const DatabaseRecord& expected) {
    EXPECT_EQ(actual.getTableName(), expected.getTableName());
    EXPECT_EQ(actual.getColumnNames(), expected.getColumnNames());
    EXPECT_EQ(actual.getValues(), expected.getValues());
    for (const std::string& name : expected.getColumnNames()) {
        EXPECT_EQ(actual.getSQLType(name), expected.getSQLType(name)) << name;
        EXPECT_EQ(actual.getConstraints(name), expected.getConstraints(name)) << name;
    }
}

std::unique_ptr<Reading> wideReading(size_t width, const std::string& repeated) {
    ReadingBuilder builder("pump");
    for (size_t i = 0; i < width; ++i) {
        builder.integer("c" + std::to_string(i), static_cast<int64_t>(i));
    }
    builder.text(repeated, "again");
    return builder.at(TIME).build();
}

class MapInto : public ::testing::Test {
protected:
    SnowflakeSQLBuilder builder;
    ReadingMapper mapper{"edge1", &builder};
};

TEST_F(MapInto, WithValuesGivesTheRecordOfMapReadingToRecord) {
    auto reading = ReadingBuilder("pump")
                       .integer("n", -4)
                       .real("t", 21.5)
                       .text("s", "it's")
                       .integer("ts", 7)
                       .at(TIME)
                       .build();
    const DatabaseRecord expected = mapper.mapReadingToRecord(reading.get());
    DatabaseRecord record("stale");
    record.addColumn("old", "x", "BIGINT");
    mapper.mapReadingInto(reading.get(), "pump", true, record);
    expectSameRecord(record, expected);
    EXPECT_FALSE(record.hasColumn("old"));
}

// One record refilled by rows whose columns grow, shrink, reorder, repeat a name or a standard
// column, and cross the wide-row width, holds exactly what a fresh mapping gives each time.
TEST_F(MapInto, AReusedRecordHoldsOnlyTheLatestRow) {
    std::vector<std::unique_ptr<Reading>> readings;
    readings.push_back(ReadingBuilder("pump").integer("a", 1).real("b", 2.5).at(TIME).build());
    readings.push_back(ReadingBuilder("pump").integer("a", 3).real("b", 4.5).at(TIME).build());
    readings.push_back(ReadingBuilder("pump").real("b", 5.5).integer("a", 6).at(TIME).build());
    readings.push_back(ReadingBuilder("pump").integer("a", 7).at(TIME).build());
    readings.push_back(
        ReadingBuilder("pump").integer("a", 8).text("a", "x").text("c", "y").at(TIME).build());
    readings.push_back(ReadingBuilder("pump").text("ts", "now").integer("a", 9).at(TIME).build());
    readings.push_back(wideReading(40, "c3"));
    readings.push_back(wideReading(40, "c39"));
    readings.push_back(wideReading(35, "extra"));
    readings.push_back(ReadingBuilder("pump").at(TIME).build());
    readings.push_back(ReadingBuilder("pump").integer("a", 10).at(TIME).build());

    DatabaseRecord record;
    for (size_t i = 0; i < readings.size(); ++i) {
        SCOPED_TRACE("reading " + std::to_string(i));
        mapper.mapReadingInto(readings[i].get(), "pump", true, record);
        expectSameRecord(record, mapper.mapReadingToRecord(readings[i].get()));
        EXPECT_FALSE(record.hasColumn("c" + std::to_string(100)));
    }
    // Lookups by name still work after the last refill.
    EXPECT_EQ(record.getValue("a"), "10");
    EXPECT_FALSE(record.hasColumn("b"));
}

TEST_F(MapInto, WithoutValuesKeepsTheColumnsAndRendersNothing) {
    auto reading = ReadingBuilder("pump")
                       .integer("n", 1)
                       .value("img", DatapointValue::image({1, 2}))
                       .at(TIME)
                       .build();
    LogCapture capture;
    DatabaseRecord record;
    mapper.mapReadingInto(reading.get(), "target", false, record);
    EXPECT_EQ(record.getTableName(), "target");
    EXPECT_EQ(record.getColumnNames(),
              (Strings{"asset_code", "user_ts", "ts", "tolvane", "n", "img"}));
    EXPECT_EQ(record.getValues(), Strings(6, ""));
    EXPECT_EQ(record.getSQLType("n"), "BIGINT");
    EXPECT_EQ(record.getConstraints("asset_code"), NOT_NULL);
    EXPECT_EQ(capture.count(Level::INFO, UNSUPPORTED), 0u);

    mapper.mapReadingInto(reading.get(), "target", true, record);
    EXPECT_EQ(capture.count(Level::INFO, UNSUPPORTED), 1u);
    EXPECT_EQ(record.getValue("img"), "null");
}

TEST_F(MapInto, NullReadingOrMissingBuilderLeavesTheRecordEmpty) {
    DatabaseRecord record("t");
    record.addColumn("a", "1", "BIGINT");
    mapper.mapReadingInto(nullptr, "t", true, record);
    EXPECT_TRUE(record.getColumnNames().empty());
    EXPECT_EQ(record.getTableName(), "");

    auto reading = ReadingBuilder("pump").integer("n", 1).build();
    ReadingMapper withoutBuilder;
    record.addColumn("a", "1", "BIGINT");
    withoutBuilder.mapReadingInto(reading.get(), "pump", true, record);
    EXPECT_TRUE(record.getColumnNames().empty());
}

// Schema checks of a batch

// The statements of a batch but those on the plugin's own tables and its session setting.
Strings readingTableStatements(const Strings& queries) {
    Strings result;
    for (const std::string& query : queries) {
        if (query.find("_varnholt_") == std::string::npos &&
            query != "ALTER SESSION SET MULTI_STATEMENT_COUNT = 0" &&
            query != "SELECT CURRENT_SESSION()") {
            result.push_back(query);
        }
    }
    return result;
}

// The last INSERT into a table.
std::string insertInto(const Strings& queries, const std::string& table) {
    for (auto it = queries.rbegin(); it != queries.rend(); ++it) {
        if (startsWith(*it, "INSERT INTO \"" + table + "\"")) {
            return *it;
        }
    }
    return std::string();
}

// Records every statement; "SELECT" finds no table, statements starting with a refused prefix
// fail without an exception, everything else succeeds.
class RecordingClient : public varnholt::test::StatementClient {
public:
    RecordingClient(Strings* queries, Strings refused)
        : queries(queries), refused(std::move(refused)) {}
    void Init() override {}
    int Connect(const std::string&) override { return TOLVANE_ODBC_SUCCESS; }
    bool isConnected() override { return true; }
    void Destroy() override {}
    QueryResult executeQuery(const std::string& query) override {
        queries->push_back(query);
        for (const std::string& prefix : refused) {
            if (startsWith(query, prefix)) {
                return QueryResult{false, {}};
            }
        }
        return QueryResult{true, {}};
    }

protected:
    bool transaction(const char* call) override {
        queries->push_back(call);
        return true;
    }

private:
    Strings* queries;
    Strings refused;
};

class StreamedSend : public ::testing::Test {
protected:
    std::unique_ptr<SnowflakeODBCConnector> connector(Strings refused = {}) {
        auto made = std::make_unique<SnowflakeODBCConnector>(
            new RecordingClient(&queries, std::move(refused)));
        ConfigCategory category("varnholt", defaultConfiguration());
        EXPECT_TRUE(made->configure(&category));
        made->connect();
        return made;
    }

    Strings queries;
};

TEST_F(StreamedSend, RowsOfOneLayoutCostOneLookupAndOneCreate) {
    auto plugin = connector();
    Batch batch;
    for (int i = 0; i < 50; ++i) {
        batch.add(ReadingBuilder(i % 2 ? "a" : "b").integer("n", i).at(TIME).build());
    }
    ASSERT_TRUE(plugin->send(batch.pointers()));
    const Strings statements = readingTableStatements(queries);
    ASSERT_EQ(statements.size(), 8u);
    EXPECT_TRUE(startsWith(statements[0], "SELECT column_name,data_type"));
    EXPECT_NE(statements[0].find("$$a$$"), std::string::npos);
    EXPECT_TRUE(startsWith(statements[1], "SELECT column_name,data_type"));
    EXPECT_TRUE(startsWith(statements[2], "CREATE TABLE \"a\""));
    EXPECT_TRUE(startsWith(statements[3], "CREATE TABLE \"b\""));
    EXPECT_EQ(statements[4], "[autocommit off]");
    EXPECT_TRUE(startsWith(statements[5], "INSERT INTO \"a\""));
    EXPECT_TRUE(startsWith(statements[6], "INSERT INTO \"b\""));
    EXPECT_EQ(statements[7], "[commit]");
}

TEST_F(StreamedSend, ARefusedColumnIsAskedForOnceMoreAloneAndItsRowsAreRejected) {
    auto plugin = connector({"ALTER TABLE \"p\""});
    Batch batch;
    batch.add(ReadingBuilder("p").integer("n", 1).at(TIME).build());
    for (int i = 0; i < 3; ++i) {
        batch.add(ReadingBuilder("p").integer("n", i).integer("extra", i).at(TIME).build());
    }
    EXPECT_TRUE(plugin->send(batch.pointers()));
    // Once with the batch's other changes, once alone to know it is this column.
    EXPECT_EQ(countStartingWith(queries, "ALTER TABLE \"p\" ADD COLUMN \"extra\""), 2u);
    ASSERT_EQ(countStartingWith(queries, "INSERT INTO \"p\""), 1u);
    EXPECT_EQ(insertInto(queries, "p").find("extra"), std::string::npos);
    EXPECT_EQ(countStartingWith(queries, "INSERT INTO \"_varnholt_rejects\""), 1u);
}

TEST_F(StreamedSend, AColumnAddedByALaterRowIsWrittenForEveryRow) {
    auto plugin = connector();
    Batch batch;
    batch.add(ReadingBuilder("p").integer("n", 1).at(TIME).build());
    batch.add(ReadingBuilder("p").integer("n", 2).integer("extra", 9).at(TIME).build());
    batch.add(ReadingBuilder("p").integer("n", 3).at(TIME).build());
    ASSERT_TRUE(plugin->send(batch.pointers()));
    EXPECT_EQ(countStartingWith(queries, "ALTER TABLE \"p\""), 1u);
    const std::string insert = insertInto(queries, "p");
    ASSERT_TRUE(startsWith(insert,
                           "INSERT INTO \"p\" (\"asset_code\", \"user_ts\", \"ts\", "
                           "\"tolvane\", \"n\", \"extra\") VALUES "));
    EXPECT_NE(insert.find(", 1, NULL), ("), std::string::npos) << insert;
    EXPECT_NE(insert.find(", 2, 9), ("), std::string::npos) << insert;
    EXPECT_NE(insert.find(", 3, NULL)"), std::string::npos) << insert;
}

TEST_F(StreamedSend, RowsInAnotherColumnOrderAreWrittenInTheTableOrder) {
    auto plugin = connector();
    Batch batch;
    batch.add(ReadingBuilder("p").integer("a", 1).integer("b", 2).at(TIME).build());
    batch.add(ReadingBuilder("p").integer("b", 4).integer("a", 3).at(TIME).build());
    batch.add(ReadingBuilder("p").integer("b", 6).integer("a", 5).at(TIME).build());
    ASSERT_TRUE(plugin->send(batch.pointers()));
    const std::string insert = insertInto(queries, "p");
    EXPECT_NE(insert.find(", 1, 2), ("), std::string::npos) << insert;
    EXPECT_NE(insert.find(", 3, 4), ("), std::string::npos) << insert;
    EXPECT_NE(insert.find(", 5, 6)"), std::string::npos) << insert;
}

}  // namespace
