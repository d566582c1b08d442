#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/odbc_client.h"
#include "config/default_config.h"
#include "config/snowflake_odbc_config.h"
#include "host/config_category.h"
#include "mapping/reading_mapper.h"
#include "schema/schema_manager.h"
#include "sql/snowflake_sql_builder.h"
#include "tests/support/case_names.h"
#include "tests/support/scripted_driver.h"

namespace {

using varnholt::test::ScriptedDriver;
using varnholt::test::StatementScript;
using varnholt::test::textNames;
using Schema = SchemaManager::TableSchema;

DatabaseRecord pumpRecord() {
    DatabaseRecord record("pumps");
    record.addColumn("asset_code", "pump1", "VARCHAR(256)", NOT_NULL);
    record.addColumn("ts", "2024-01-01 00:00:00.000000+00:00", "TIMESTAMP_TZ", NONE);
    record.addColumn("temperature", "21.5", "REAL", NULLABLE);
    return record;
}

class SchemaManagerODBC : public ::testing::Test {
protected:
    void SetUp() override {
        driver().reset();
        client = std::make_unique<ODBCClient>();
        client->Init();
        ASSERT_EQ(client->Connect(ScriptedDriver::connectionString()), TOLVANE_ODBC_SUCCESS);
        manager = std::make_unique<SchemaManager>(client.get(), "PLANT_DB");
        manager->setSQLBuilder(&builder);
        driver().clearJournal();
    }

    void TearDown() override {
        manager.reset();
        client.reset();
        EXPECT_EQ(driver().openHandles(), 0);
    }

    static ScriptedDriver& driver() { return ScriptedDriver::instance(); }

    std::string columnQuery(const std::string& table) const {
        return builder.buildInformationSchemaQuery("PLANT_DB", table);
    }

    void scriptColumns(const std::string& table,
                       const std::vector<std::vector<std::optional<std::string>>>& rows) {
        StatementScript script;
        script.match = columnQuery(table);
        script.prefix = false;
        script.columns = {"COLUMN_NAME", "DATA_TYPE"};
        script.rows = rows;
        driver().addStatement(script);
    }

    void scriptRejection(const std::string& prefix) {
        StatementScript script;
        script.match = prefix;
        script.returnCode = SQL_ERROR;
        script.diagnostics = {{"42S21", 1430, "column already exists"}};
        script.times = 1;
        driver().addStatement(script);
    }

    SnowflakeSQLBuilder builder;
    std::unique_ptr<ODBCClient> client;
    std::unique_ptr<SchemaManager> manager;
};

TEST_F(SchemaManagerODBC, MissingTableIsCreatedOnceAndThenServedFromTheCache) {
    scriptColumns("pumps", {});
    DatabaseRecord record = pumpRecord();
    EXPECT_FALSE(manager->checkTableExists("pumps", record));
    EXPECT_TRUE(manager->createTable("pumps", record));
    EXPECT_TRUE(manager->checkTableExists("pumps", record));
    EXPECT_FALSE(manager->checkTableSchema("pumps", record));
    EXPECT_EQ(driver().journal(),
              (std::vector<std::string>{
                  columnQuery("pumps"),
                  "CREATE TABLE \"pumps\" (\"asset_code\" VARCHAR(256) NOT NULL, \"ts\" "
                  "TIMESTAMP_TZ, \"temperature\" REAL NULL)",
              }));
    EXPECT_EQ(manager->getCachedSchema("pumps"), (Schema{{"asset_code", "VARCHAR(256) NOT NULL"},
                                                         {"ts", "TIMESTAMP_TZ"},
                                                         {"temperature", "REAL NULL"}}));
}

TEST_F(SchemaManagerODBC, ExistingTableIsReadFromTheInformationSchema) {
    scriptColumns("pumps", {{"asset_code", "TEXT"},
                            {"count", "NUMBER(38,0)"},
                            {"temperature", "FLOAT"},
                            {"ts", "TIMESTAMP_TZ"},
                            {"flag", "BOOLEAN"},
                            {"unknown", std::nullopt}});
    EXPECT_TRUE(manager->checkTableExists("pumps", pumpRecord()));
    EXPECT_EQ(manager->getCachedSchema("pumps"), (Schema{{"asset_code", "VARCHAR(256)"},
                                                         {"count", "BIGINT"},
                                                         {"temperature", "REAL"},
                                                         {"ts", "TIMESTAMP_TZ"},
                                                         {"flag", ""},
                                                         {"unknown", ""}}));
    EXPECT_TRUE(manager->checkTableExists("pumps", pumpRecord()));
    EXPECT_EQ(driver().journal(), std::vector<std::string>{columnQuery("pumps")});
}

TEST_F(SchemaManagerODBC, RejectedAlterLeavesTheFailedColumnOutOfTheCache) {
    scriptColumns("pumps", {{"asset_code", "TEXT"}, {"ts", "TIMESTAMP_TZ"}});
    scriptRejection("ALTER TABLE \"pumps\" ADD COLUMN \"humidity\"");
    DatabaseRecord record = pumpRecord();
    record.addColumn("humidity", "40", "BIGINT", NULLABLE);

    ASSERT_TRUE(manager->checkTableExists("pumps", record));
    ASSERT_TRUE(manager->checkTableSchema("pumps", record));
    EXPECT_THROW(manager->alterTable("pumps", record), std::runtime_error);
    EXPECT_EQ(manager->getCachedSchema("pumps"), (Schema{{"asset_code", "VARCHAR(256)"},
                                                         {"ts", "TIMESTAMP_TZ"},
                                                         {"temperature", "REAL NULL"}}));

    // The rejection was scripted once: the next record adds the column.
    EXPECT_TRUE(manager->alterTable("pumps", record));
    EXPECT_EQ(driver().journal(), (std::vector<std::string>{
                                      columnQuery("pumps"),
                                      "ALTER TABLE \"pumps\" ADD COLUMN \"temperature\" REAL NULL",
                                      "ALTER TABLE \"pumps\" ADD COLUMN \"humidity\" BIGINT NULL",
                                      "ALTER TABLE \"pumps\" ADD COLUMN \"humidity\" BIGINT NULL",
                                  }));
    EXPECT_FALSE(manager->checkTableSchema("pumps", record));
}

TEST_F(SchemaManagerODBC, RejectedCreateLeavesNoEntry) {
    scriptRejection("CREATE TABLE");
    EXPECT_FALSE(manager->checkTableExists("pumps", pumpRecord()));
    EXPECT_THROW(manager->createTable("pumps", pumpRecord()), std::runtime_error);
    EXPECT_TRUE(manager->getCachedSchema("pumps").empty());
    EXPECT_EQ(driver().journal().size(), 2u);
}

TEST_F(SchemaManagerODBC, FailingColumnQueryLeavesNoEntry) {
    StatementScript script;
    script.match = columnQuery("pumps");
    script.prefix = false;
    script.returnCode = SQL_ERROR;
    script.diagnostics = {{"08S01", 0, "communication link failure"}};
    driver().addStatement(script);
    EXPECT_THROW(manager->checkTableExists("pumps", pumpRecord()), std::runtime_error);
    EXPECT_TRUE(manager->getCachedSchema("pumps").empty());
    EXPECT_TRUE(manager->checkTableSchema("pumps", pumpRecord()));
}

// The Snowflake connection string, braces and all, reaches the driver registered under the
// Snowflake driver's name through the driver manager.
class SnowflakeConnectionString : public ::testing::TestWithParam<std::string> {};

TEST_P(SnowflakeConnectionString, ConnectsThroughTheDriverManager) {
    ScriptedDriver& driver = ScriptedDriver::instance();
    driver.reset();
    ConfigCategory category("varnholt", defaultConfiguration());
    category.setValue("password", GetParam());
    category.setValue("additionalParams", R"({"role":"r;1","warehouse":"WH"})");
    SnowflakeODBCConfig config;
    config.configure(&category);
    {
        ODBCClient connection;
        connection.Init();
        EXPECT_EQ(connection.Connect(config.getConnectionString()), TOLVANE_ODBC_SUCCESS)
            << config.getConnectionString();
    }
    EXPECT_EQ(driver.connectCount(), 1);
    EXPECT_EQ(driver.lastConnectionString(), config.getConnectionString());
    EXPECT_EQ(driver.openHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Passwords, SnowflakeConnectionString,
                         ::testing::Values("kvzq", "s3cr;et}", "p;Driver={NoSuchDriver}",
                                           " spaced "),
                         textNames());

}  // namespace
