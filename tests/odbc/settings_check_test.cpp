// The settings check with the scripted driver playing Snowflake: every item it reports, and
// what it says to fix when Snowflake refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/odbc/scripted_connector.h"

namespace varnholt {
namespace test {
namespace {

using Row = std::vector<std::optional<std::string>>;

StatementScript answer(const std::string& match, std::vector<std::string> columns,
                       std::vector<Row> rows) {
    StatementScript script;
    script.match = match;
    script.columns = std::move(columns);
    script.rows = std::move(rows);
    return script;
}

StatementScript refusal(const std::string& match, const DiagRecord& diag) {
    StatementScript script;
    script.match = match;
    script.returnCode = SQL_ERROR;
    script.diagnostics = {diag};
    return script;
}

// A Snowflake session in TOLVANE_DB.TOLVANE with a warehouse, unless a case says otherwise.
void snowflakeSession(ScriptedDriver& driver) {
    driver.setDbmsName("Snowflake");
    driver.addStatement(answer("SELECT CURRENT_DATABASE(), CURRENT_SCHEMA()", {"d", "s"},
                               {{std::string("TOLVANE_DB"), std::string("TOLVANE")}}));
    driver.addStatement(answer("SELECT CURRENT_WAREHOUSE(), CURRENT_ROLE()", {"w", "r"},
                               {{std::string("TOLVANE_WH"), std::string("TOLVANE_LOADER")}}));
    driver.addStatement(answer(
        "SHOW PARAMETERS IN SESSION", {"key", "value", "default"},
        {{std::string("QUOTED_IDENTIFIERS_IGNORE_CASE"), std::string("true"), std::string("false")},
         {std::string("ABORT_DETACHED_QUERY"), std::string("false"), std::string("false")},
         {std::string("TIMEZONE"), std::string("UTC"), std::string("America/Los_Angeles")}}));
}

struct CheckCase {
    const char* name;
    // Changes to the Snowflake session above, added before it (the first match answers).
    std::function<void(ScriptedDriver&)> script;
    // Each item reported, in order, with whether it passed.
    std::vector<std::pair<std::string, bool>> items;
    // A piece of the failed item's result and of its fix (empty when all pass).
    std::string result;
    std::string fix;
};

class SettingsCheckItems : public ScriptedConnectorTest<::testing::TestWithParam<CheckCase>> {};

TEST_P(SettingsCheckItems, ReportsEachItemAndWhatToFix) {
    const CheckCase& param = GetParam();
    if (param.script) {
        param.script(driver());
    }
    snowflakeSession(driver());

    const std::vector<CheckItem> items = connector->check();

    std::vector<std::pair<std::string, bool>> verdicts;
    for (const CheckItem& item : items) {
        verdicts.emplace_back(item.name, item.passed);
        EXPECT_EQ(item.fix.empty(), item.passed) << item.name;
    }
    EXPECT_EQ(verdicts, param.items);
    if (!param.result.empty()) {
        const auto failed =
            std::find_if(items.begin(), items.end(), [](const CheckItem& i) { return !i.passed; });
        ASSERT_NE(failed, items.end());
        EXPECT_NE(failed->result.find(param.result), std::string::npos) << failed->result;
        EXPECT_NE(failed->fix.find(param.fix), std::string::npos) << failed->fix;
    }
    // Only the check's own table is ever written, and once made it is dropped again.
    const bool made = std::any_of(items.begin(), items.end(), [](const CheckItem& item) {
        return item.name == "create tables" && item.passed;
    });
    size_t dropped = 0;
    for (const std::string& statement : driver().journal()) {
        if (statement.rfind("CREATE TABLE", 0) == 0 || statement.rfind("INSERT", 0) == 0) {
            EXPECT_EQ(statement.find("\"_varnholt_check_"), statement.find('"')) << statement;
        }
        dropped += statement.rfind("DROP TABLE IF EXISTS \"_varnholt_check_", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(dropped, made ? 1u : 0u);
    EXPECT_EQ(driver().openHandles(), 0) << "the check leaves its connection closed";
}

const std::vector<std::pair<std::string, bool>> ALL_WELL = {
    {"connection", true},       {"database", true},      {"session", true}, {"warehouse", true},
    {"session settings", true}, {"create tables", true}, {"write", true},   {"clean-up", true}};

INSTANTIATE_TEST_SUITE_P(
    Snowflake, SettingsCheckItems,
    ::testing::Values(
        CheckCase{"AllWell", nullptr, ALL_WELL, "", ""},
        CheckCase{"DriverNotRegistered",
                  [](ScriptedDriver& d) {
                      d.setConnectResult(SQL_ERROR, {"IM002", 0, "Data source name not found"});
                  },
                  {{"connection", false}},
                  "SQLSTATE IM002",
                  "as SnowflakeDSIIDriver"},
        CheckCase{"LoginRefused",
                  [](ScriptedDriver& d) {
                      d.setConnectResult(SQL_ERROR, {"28000", 390100,
                                                     "Incorrect username or password was "
                                                     "specified."});
                  },
                  {{"connection", false}},
                  "native error 390100: Incorrect username or password was specified.",
                  "check the items user and password"},
        CheckCase{"Unreachable",
                  [](ScriptedDriver& d) {
                      d.setConnectResult(SQL_ERROR, {"HY000", 0, "Couldn't connect to server"});
                  },
                  {{"connection", false}},
                  "Couldn't connect to server",
                  "check the items server and port"},
        CheckCase{"NoDatabase",
                  [](ScriptedDriver& d) {
                      d.addStatement(answer("SELECT CURRENT_DATABASE(), CURRENT_SCHEMA()",
                                            {"d", "s"}, {{std::nullopt, std::nullopt}}));
                  },
                  {{"connection", true}, {"database", true}, {"session", false}},
                  "no database",
                  "GRANT USAGE ON DATABASE"},
        CheckCase{"NoSchema",
                  [](ScriptedDriver& d) {
                      d.addStatement(answer("SELECT CURRENT_DATABASE(), CURRENT_SCHEMA()",
                                            {"d", "s"},
                                            {{std::string("TOLVANE_DB"), std::nullopt}}));
                  },
                  {{"connection", true}, {"database", true}, {"session", false}},
                  "no schema: TOLVANE does not exist in database TOLVANE_DB",
                  "CREATE SCHEMA TOLVANE_DB.TOLVANE"},
        CheckCase{
            "NoWarehouse",
            [](ScriptedDriver& d) {
                d.addStatement(answer("SELECT CURRENT_WAREHOUSE(), CURRENT_ROLE()", {"w", "r"},
                                      {{std::nullopt, std::string("TOLVANE_LOADER")}}));
            },
            {{"connection", true}, {"database", true}, {"session", true}, {"warehouse", false}},
            "no warehouse in the session (role TOLVANE_LOADER)",
            "set the item warehouse"},
        CheckCase{"MayNotCreateTables",
                  [](ScriptedDriver& d) {
                      d.addStatement(
                          refusal("CREATE TABLE", {"42501", 3001,
                                                   "Insufficient privileges to operate on schema "
                                                   "'TOLVANE'"}));
                  },
                  {{"connection", true},
                   {"database", true},
                   {"session", true},
                   {"warehouse", true},
                   {"session settings", true},
                   {"create tables", false}},
                  "Insufficient privileges",
                  "GRANT USAGE, CREATE TABLE ON SCHEMA TOLVANE_DB.TOLVANE"},
        CheckCase{"WarehouseCannotRun",
                  [](ScriptedDriver& d) {
                      d.addStatement(
                          refusal("INSERT INTO", {"57P03", 606,
                                                  "No active warehouse selected in the current "
                                                  "session."}));
                  },
                  {{"connection", true},
                   {"database", true},
                   {"session", true},
                   {"warehouse", true},
                   {"session settings", true},
                   {"create tables", true},
                   {"write", false},
                   {"clean-up", true}},
                  "No active warehouse selected",
                  "set the item warehouse"}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

class SettingsCheckParameters : public ScriptedConnectorTest<> {};

// Only the session parameters that change how the plugin's statements are read are reported.
TEST_F(SettingsCheckParameters, AreThoseThatChangeHowStatementsAreRead) {
    snowflakeSession(driver());
    const std::vector<CheckItem> items = connector->check();
    const auto settings = std::find_if(items.begin(), items.end(), [](const CheckItem& item) {
        return item.name == "session settings";
    });
    ASSERT_NE(settings, items.end());
    EXPECT_EQ(settings->result, "QUOTED_IDENTIFIERS_IGNORE_CASE=true, TIMEZONE=UTC");
}

}  // namespace
}  // namespace test
}  // namespace varnholt
