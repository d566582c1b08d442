#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "client/odbc_client.h"
#include "host/log_capture.h"
#include "mapping/reading_mapper.h"
#include "schema/schema_manager.h"
#include "sql/snowflake_sql_builder.h"

namespace {

using Level = Logger::Level;
using Rows = std::vector<std::vector<std::string>>;
using Schema = SchemaManager::TableSchema;

// Answers statements from a table instead of a database and records what it was sent.
class TableClient : public ODBCClient {
public:
    struct Answer {
        std::string prefix;
        Rows rows;
        bool fails = false;   // throws as the real client does for a rejected statement
        bool success = true;  // what a derived client might report without throwing
        int times = -1;       // -1: every matching statement
    };

    QueryResult executeQuery(const std::string& query) override {
        statements.push_back(query);
        for (Answer& answer : answers) {
            if (answer.times == 0 || query.rfind(answer.prefix, 0) != 0) {
                continue;
            }
            if (answer.times > 0) {
                --answer.times;
            }
            if (answer.fails) {
                throw std::runtime_error("Failed to execute query.");
            }
            return QueryResult{answer.success, answer.rows};
        }
        return QueryResult{true, {}};
    }

    std::vector<Answer> answers;
    std::vector<std::string> statements;
};

// Records the arguments of the column query, otherwise the Snowflake dialect.
class RecordingBuilder : public SnowflakeSQLBuilder {
public:
    std::string buildInformationSchemaQuery(const std::string& schema,
                                            const std::string& table) const override {
        calls.emplace_back(schema, table);
        return SnowflakeSQLBuilder::buildInformationSchemaQuery(schema, table);
    }
    mutable std::vector<std::pair<std::string, std::string>> calls;
};

struct Column {
    std::string name;
    std::string type;
    ColumnConstraint constraint;
};

DatabaseRecord makeRecord(const std::string& table, const std::vector<Column>& columns) {
    DatabaseRecord record(table);
    for (const Column& column : columns) {
        record.addColumn(column.name, "v", column.type, column.constraint);
    }
    return record;
}

// The row a reading of one floating-point datapoint becomes.
DatabaseRecord pumpRecord(const std::string& table = "pumps") {
    return makeRecord(table, {{"asset_code", "VARCHAR(256)", NOT_NULL},
                              {"user_ts", "TIMESTAMP_TZ", NONE},
                              {"ts", "TIMESTAMP_TZ", NONE},
                              {"tolvane", "VARCHAR(256)", NONE},
                              {"temperature", "REAL", NULLABLE}});
}

const char* const PUMPS_CREATE =
    "CREATE TABLE \"pumps\" (\"asset_code\" VARCHAR(256) NOT NULL, \"user_ts\" TIMESTAMP_TZ, "
    "\"ts\" TIMESTAMP_TZ, \"tolvane\" VARCHAR(256), \"temperature\" REAL NULL)";

const Schema PUMPS_DECLARED = {{"asset_code", "VARCHAR(256) NOT NULL"},
                               {"user_ts", "TIMESTAMP_TZ"},
                               {"ts", "TIMESTAMP_TZ"},
                               {"tolvane", "VARCHAR(256)"},
                               {"temperature", "REAL NULL"}};

class SchemaManagerTest : public ::testing::Test {
protected:
    SchemaManagerTest() : manager(&client, "PLANT_DB") { manager.setSQLBuilder(&builder); }

    std::string columnQuery(const std::string& table) const {
        return SnowflakeSQLBuilder().buildInformationSchemaQuery("PLANT_DB", table);
    }

    // Puts the table in the cache the way the pipeline does on first sight.
    void createPumps() {
        ASSERT_FALSE(manager.checkTableExists("pumps", pumpRecord()));
        ASSERT_TRUE(manager.createTable("pumps", pumpRecord()));
        client.statements.clear();
    }

    TableClient client;
    RecordingBuilder builder;
    SchemaManager manager;
};

TEST_F(SchemaManagerTest, NewTableIsLookedUpCreatedAndThenKnownFromTheCache) {
    LogCapture log;
    DatabaseRecord record = pumpRecord();
    EXPECT_FALSE(manager.checkTableExists("pumps", record));
    EXPECT_TRUE(manager.getCachedSchema("pumps").empty());
    EXPECT_TRUE(manager.createTable("pumps", record));
    EXPECT_EQ(client.statements, (std::vector<std::string>{columnQuery("pumps"), PUMPS_CREATE}));
    EXPECT_EQ(manager.getCachedSchema("pumps"), PUMPS_DECLARED);

    EXPECT_TRUE(manager.checkTableExists("pumps", record));
    EXPECT_FALSE(manager.checkTableSchema("pumps", record));
    EXPECT_EQ(client.statements.size(), 2u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(SchemaManagerTest, ColumnQueryGetsTheConfiguredDatabaseName) {
    manager.checkTableExists("Pumps", pumpRecord());
    manager.setDatabaseName("OTHER_DB");
    manager.checkTableExists("Pumps", pumpRecord());
    EXPECT_EQ(builder.calls, (std::vector<std::pair<std::string, std::string>>{
                                 {"PLANT_DB", "Pumps"}, {"OTHER_DB", "Pumps"}}));
}

TEST_F(SchemaManagerTest, ExistingTableIsCachedWithNormalisedSnowflakeTypes) {
    client.answers.push_back({columnQuery("pumps"),
                              {{"asset_code", "TEXT"},
                               {"count", "NUMBER"},
                               {"scaled", "NUMBER(38,0)"},
                               {"temperature", "FLOAT"},
                               {"ts", "TIMESTAMP_TZ"},
                               {"flag", "BOOLEAN"}}});
    EXPECT_TRUE(manager.checkTableExists("pumps", pumpRecord()));
    EXPECT_EQ(manager.getCachedSchema("pumps"), (Schema{{"asset_code", "VARCHAR(256)"},
                                                        {"count", "BIGINT"},
                                                        {"scaled", "BIGINT"},
                                                        {"temperature", "REAL"},
                                                        {"ts", "TIMESTAMP_TZ"},
                                                        {"flag", ""}}));
    EXPECT_TRUE(manager.checkTableExists("pumps", pumpRecord()));
    EXPECT_EQ(client.statements, std::vector<std::string>{columnQuery("pumps")});
}

TEST_F(SchemaManagerTest, TableNamesAreCaseSensitive) {
    createPumps();
    DatabaseRecord upper = pumpRecord("Pumps");
    EXPECT_FALSE(manager.checkTableExists("Pumps", upper));
    EXPECT_TRUE(manager.createTable("Pumps", upper));
    ASSERT_EQ(client.statements.size(), 2u);
    EXPECT_EQ(client.statements[0], columnQuery("Pumps"));
    EXPECT_EQ(client.statements[1].rfind("CREATE TABLE \"Pumps\" (", 0), 0u);
    EXPECT_EQ(manager.getCachedSchema("pumps"), PUMPS_DECLARED);
    EXPECT_EQ(manager.getCachedSchema("Pumps"), PUMPS_DECLARED);
    EXPECT_TRUE(manager.getCachedSchema("PUMPS").empty());
}

TEST_F(SchemaManagerTest, ColumnNamesAreCaseSensitive) {
    client.answers.push_back({columnQuery("pumps"), {{"Temperature", "FLOAT"}}});
    DatabaseRecord record = makeRecord("pumps", {{"temperature", "REAL", NULLABLE}});
    ASSERT_TRUE(manager.checkTableExists("pumps", record));
    EXPECT_TRUE(manager.checkTableSchema("pumps", record));
    EXPECT_TRUE(manager.alterTable("pumps", record));
    EXPECT_EQ(client.statements.back(),
              "ALTER TABLE \"pumps\" ADD COLUMN \"temperature\" REAL NULL");
    EXPECT_EQ(manager.getCachedSchema("pumps"),
              (Schema{{"Temperature", "REAL"}, {"temperature", "REAL NULL"}}));
}

TEST_F(SchemaManagerTest, MissingColumnsAreAddedInRecordOrderAndAppended) {
    createPumps();
    DatabaseRecord record = pumpRecord();
    record.addColumn("x", "1", "BIGINT", NULLABLE);
    record.addColumn("y", "a", "VARCHAR(256)", NULLABLE);
    EXPECT_TRUE(manager.checkTableSchema("pumps", record));
    EXPECT_TRUE(manager.alterTable("pumps", record));
    EXPECT_EQ(client.statements, (std::vector<std::string>{
                                     "ALTER TABLE \"pumps\" ADD COLUMN \"x\" BIGINT NULL",
                                     "ALTER TABLE \"pumps\" ADD COLUMN \"y\" VARCHAR(256) NULL",
                                 }));
    Schema expected = PUMPS_DECLARED;
    expected.emplace_back("x", "BIGINT NULL");
    expected.emplace_back("y", "VARCHAR(256) NULL");
    EXPECT_EQ(manager.getCachedSchema("pumps"), expected);
    EXPECT_FALSE(manager.checkTableSchema("pumps", record));
}

TEST_F(SchemaManagerTest, OneAlterPerMissingColumnAcrossRecords) {
    createPumps();
    std::vector<DatabaseRecord> records;
    for (int i = 0; i < 3; ++i) {
        records.push_back(pumpRecord());
        records.back().addColumn("humidity", std::to_string(i), "BIGINT", NULLABLE);
    }
    records.push_back(pumpRecord());
    records.back().addColumn("pressure", "7", "REAL", NULLABLE);
    records.back().addColumn("humidity", "9", "BIGINT", NULLABLE);

    for (const DatabaseRecord& record : records) {
        ASSERT_TRUE(manager.checkTableExists("pumps", record));
        if (manager.checkTableSchema("pumps", record)) {
            manager.alterTable("pumps", record);
        }
    }
    EXPECT_EQ(client.statements, (std::vector<std::string>{
                                     "ALTER TABLE \"pumps\" ADD COLUMN \"humidity\" BIGINT NULL",
                                     "ALTER TABLE \"pumps\" ADD COLUMN \"pressure\" REAL NULL",
                                 }));
    Schema schema = manager.getCachedSchema("pumps");
    ASSERT_EQ(schema.size(), PUMPS_DECLARED.size() + 2);
    EXPECT_EQ(schema[5], std::make_tuple(std::string("humidity"), std::string("BIGINT NULL")));
    EXPECT_EQ(schema[6], std::make_tuple(std::string("pressure"), std::string("REAL NULL")));
}

TEST_F(SchemaManagerTest, KnownColumnWithAnotherTypeIsNotAltered) {
    createPumps();
    DatabaseRecord record = makeRecord("pumps", {{"temperature", "VARCHAR(256)", NULLABLE}});
    EXPECT_FALSE(manager.checkTableSchema("pumps", record));
    EXPECT_FALSE(manager.alterTable("pumps", record));
    EXPECT_TRUE(client.statements.empty());
    EXPECT_EQ(manager.getCachedSchema("pumps"), PUMPS_DECLARED);
}

TEST_F(SchemaManagerTest, RecordWithoutNewColumnsSendsNothing) {
    createPumps();
    DatabaseRecord empty("pumps");
    EXPECT_FALSE(manager.checkTableSchema("pumps", empty));
    EXPECT_FALSE(manager.alterTable("pumps", pumpRecord()));
    EXPECT_FALSE(manager.alterTable("pumps", empty));
    EXPECT_TRUE(client.statements.empty());
}

TEST_F(SchemaManagerTest, UncachedTableNeedsCheckingAndCannotBeAltered) {
    LogCapture log;
    EXPECT_TRUE(manager.checkTableSchema("pumps", pumpRecord()));
    EXPECT_FALSE(manager.alterTable("pumps", pumpRecord()));
    EXPECT_TRUE(client.statements.empty());
    EXPECT_EQ(log.lines(), (std::vector<LogCapture::Line>{
                               {Level::ERROR, "Table 'pumps' not found in cache for alteration"}}));
    EXPECT_TRUE(manager.getCachedSchema("pumps").empty());
}

TEST_F(SchemaManagerTest, FailingColumnQueryLeavesNoEntry) {
    client.answers.push_back({columnQuery("pumps"), {}, true});
    EXPECT_THROW(manager.checkTableExists("pumps", pumpRecord()), std::runtime_error);
    EXPECT_TRUE(manager.getCachedSchema("pumps").empty());
}

TEST_F(SchemaManagerTest, RejectedCreateLeavesNoEntry) {
    client.answers.push_back({"CREATE TABLE", {}, true});
    EXPECT_FALSE(manager.checkTableExists("pumps", pumpRecord()));
    EXPECT_THROW(manager.createTable("pumps", pumpRecord()), std::runtime_error);
    EXPECT_TRUE(manager.getCachedSchema("pumps").empty());
    EXPECT_TRUE(manager.checkTableSchema("pumps", pumpRecord()));
}

TEST_F(SchemaManagerTest, CreateReportedUnsuccessfulLeavesNoEntry) {
    client.answers.push_back({"CREATE TABLE", {}, false, false});
    LogCapture log;
    EXPECT_FALSE(manager.createTable("pumps", pumpRecord()));
    EXPECT_EQ(log.lines(),
              (std::vector<LogCapture::Line>{{Level::ERROR, "Failed to create table 'pumps'"}}));
    EXPECT_TRUE(manager.getCachedSchema("pumps").empty());
}

TEST_F(SchemaManagerTest, RejectedAlterKeepsTheColumnsAddedBeforeIt) {
    createPumps();
    client.answers.push_back({"ALTER TABLE \"pumps\" ADD COLUMN \"y\"", {}, true, true, 1});
    DatabaseRecord record = pumpRecord();
    record.addColumn("x", "1", "BIGINT", NULLABLE);
    record.addColumn("y", "2", "BIGINT", NULLABLE);
    record.addColumn("z", "3", "BIGINT", NULLABLE);
    EXPECT_THROW(manager.alterTable("pumps", record), std::runtime_error);
    Schema expected = PUMPS_DECLARED;
    expected.emplace_back("x", "BIGINT NULL");
    EXPECT_EQ(manager.getCachedSchema("pumps"), expected);

    // The next record carrying them sends the failed ones again.
    client.statements.clear();
    EXPECT_TRUE(manager.checkTableSchema("pumps", record));
    EXPECT_TRUE(manager.alterTable("pumps", record));
    EXPECT_EQ(client.statements, (std::vector<std::string>{
                                     "ALTER TABLE \"pumps\" ADD COLUMN \"y\" BIGINT NULL",
                                     "ALTER TABLE \"pumps\" ADD COLUMN \"z\" BIGINT NULL",
                                 }));
}

TEST_F(SchemaManagerTest, AlterReportedUnsuccessfulStopsAtThatColumn) {
    createPumps();
    client.answers.push_back({"ALTER TABLE", {}, false, false});
    DatabaseRecord record = pumpRecord();
    record.addColumn("x", "1", "BIGINT", NULLABLE);
    record.addColumn("y", "2", "BIGINT", NULLABLE);
    LogCapture log;
    EXPECT_FALSE(manager.alterTable("pumps", record));
    EXPECT_EQ(client.statements.size(), 1u);
    EXPECT_EQ(log.lines(), (std::vector<LogCapture::Line>{
                               {Level::ERROR, "Failed to add column 'x' to table 'pumps'"}}));
    EXPECT_EQ(manager.getCachedSchema("pumps"), PUMPS_DECLARED);
}

TEST_F(SchemaManagerTest, CreateReplacesAnEntryReadFromTheDatabase) {
    client.answers.push_back({columnQuery("pumps"), {{"asset_code", "TEXT"}}});
    ASSERT_TRUE(manager.checkTableExists("pumps", pumpRecord()));
    EXPECT_TRUE(manager.createTable("pumps", pumpRecord()));
    EXPECT_EQ(manager.getCachedSchema("pumps"), PUMPS_DECLARED);
}

TEST_F(SchemaManagerTest, ShortRowsAreSkipped) {
    client.answers.push_back(
        {columnQuery("pumps"),
         {{"asset_code", "TEXT"}, {"lonely"}, {}, {"temperature", "FLOAT", "extra"}}});
    ASSERT_TRUE(manager.checkTableExists("pumps", pumpRecord()));
    EXPECT_EQ(manager.getCachedSchema("pumps"),
              (Schema{{"asset_code", "VARCHAR(256)"}, {"temperature", "REAL"}}));
}

TEST_F(SchemaManagerTest, OnlyShortRowsMeanTheTableIsMissing) {
    client.answers.push_back({columnQuery("pumps"), {{"lonely"}, {}}});
    EXPECT_FALSE(manager.checkTableExists("pumps", pumpRecord()));
    EXPECT_TRUE(manager.getCachedSchema("pumps").empty());
}

TEST_F(SchemaManagerTest, TextsEndAtTheirFirstZeroByte) {
    Rows rows = {{std::string("name\0tail", 9), std::string("FLOAT\0TEXT", 10)}, {"NULL", "NULL"}};
    EXPECT_EQ(manager.extractColumnInfo(rows), (Schema{{"name", "REAL"}, {"NULL", ""}}));
}

TEST_F(SchemaManagerTest, CreateStatementCarriesTypesWithConstraintClauses) {
    DatabaseRecord record = makeRecord("pumps", {{"asset_code", "VARCHAR(256)", NOT_NULL},
                                                 {"ts", "TIMESTAMP_TZ", NONE},
                                                 {"temperature", "REAL", NULLABLE},
                                                 {"id", "BIGINT", NOT_NULL | PRIMARY_KEY}});
    EXPECT_EQ(manager.buildCreateTableSQL("pumps", record),
              "CREATE TABLE \"pumps\" (\"asset_code\" VARCHAR(256) NOT NULL, \"ts\" TIMESTAMP_TZ, "
              "\"temperature\" REAL NULL, \"id\" BIGINT NOT NULL PRIMARY KEY)");
    EXPECT_EQ(manager.buildAlterTableSQL("pumps", "humidity", "BIGINT NULL"),
              "ALTER TABLE \"pumps\" ADD COLUMN \"humidity\" BIGINT NULL");
}

TEST(SchemaManager, WithoutClientNothingIsCreatedOrAltered) {
    TableClient client;
    SnowflakeSQLBuilder builder;
    SchemaManager manager(&client, "PLANT_DB");
    manager.setSQLBuilder(&builder);
    ASSERT_TRUE(manager.createTable("pumps", pumpRecord()));
    manager.setClient(nullptr);
    EXPECT_EQ(manager.getClient(), nullptr);

    LogCapture log;
    EXPECT_FALSE(manager.checkTableExists("tanks", pumpRecord("tanks")));
    EXPECT_FALSE(manager.createTable("tanks", pumpRecord("tanks")));
    DatabaseRecord record = pumpRecord();
    record.addColumn("x", "1", "BIGINT", NULLABLE);
    EXPECT_FALSE(manager.alterTable("pumps", record));
    EXPECT_EQ(manager.executeQuery("SELECT 1").success, false);
    EXPECT_EQ(log.lines(), (std::vector<LogCapture::Line>{
                               {Level::ERROR, "Database client not initialized"},
                               {Level::ERROR, "Database client not initialized"},
                               {Level::ERROR, "Failed to create table 'tanks'"},
                               {Level::ERROR, "Database client not initialized"},
                               {Level::ERROR, "Failed to add column 'x' to table 'pumps'"},
                               {Level::ERROR, "Database client not initialized"},
                           }));
    EXPECT_TRUE(manager.getCachedSchema("tanks").empty());
    EXPECT_EQ(manager.getCachedSchema("pumps"), PUMPS_DECLARED);
    EXPECT_EQ(client.statements.size(), 1u);
}

TEST(SchemaManager, WithoutBuilderFailsWithAnExceptionInsteadOfCrashing) {
    TableClient client;
    SchemaManager manager(&client);
    EXPECT_EQ(manager.getSQLBuilder(), nullptr);
    EXPECT_THROW(manager.checkTableExists("pumps", pumpRecord()), std::logic_error);
    EXPECT_THROW(manager.createTable("pumps", pumpRecord()), std::logic_error);
    EXPECT_TRUE(client.statements.empty());
}

TEST(SchemaManager, ToLowerCaseChangesOnlyAsciiLetters) {
    SchemaManager manager;
    EXPECT_EQ(manager.toLowerCase("PumpS_01-\xC3\x84"), "pumps_01-\xC3\x84");
}

}  // namespace
