// Readings that no statement could ever carry as they are, on Snowflake's terms (the scripted
// driver refuses a request over 1 MiB as Snowflake's advice bounds it): a row too long for a
// request, names longer than Snowflake holds. None of them stalls its batch.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/default_config.h"
#include "delivery/rejected_reading.h"
#include "host/config_category.h"
#include "host/log_capture.h"
#include "mapping/name_limit.h"
#include "sql/snowflake_sql_builder.h"
#include "tests/odbc/scripted_connector.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/test_readings.h"

namespace {

using varnholt::test::Batch;
using varnholt::test::ReadingBuilder;
using varnholt::test::StatementScript;
using Level = Logger::Level;
using Strings = std::vector<std::string>;

const char* const TIME = "2024-05-06 07:08:09.123456";

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The statements of the last transaction that committed, begun and committed by statements.
Strings committed(const Strings& journal) {
    Strings last;
    Strings open;
    bool inside = false;
    for (const std::string& statement : journal) {
        if (statement == "BEGIN") {
            inside = true;
            open.clear();
        } else if (statement == "COMMIT" && inside) {
            last = open;
            inside = false;
        } else if (statement == "ROLLBACK") {
            inside = false;
        } else if (inside) {
            open.push_back(statement);
        }
    }
    return last;
}

// Every double-quoted identifier of a statement, quotes doubled inside it taken as one.
Strings identifiers(const std::string& statement) {
    Strings names;
    bool literal = false;
    for (size_t i = 0; i < statement.size(); ++i) {
        if (statement[i] == '\'') {
            literal = !literal;
        } else if (!literal && statement[i] == '"') {
            std::string name;
            for (++i; i < statement.size(); ++i) {
                if (statement[i] == '"' && i + 1 < statement.size() && statement[i + 1] == '"') {
                    name += '"';
                    ++i;
                } else if (statement[i] == '"') {
                    break;
                } else {
                    name += statement[i];
                }
            }
            names.push_back(name);
        }
    }
    return names;
}

size_t characters(const std::string& text) {
    size_t count = 0;
    for (unsigned char c : text) {
        count += (c & 0xC0) != 0x80;
    }
    return count;
}

class UnfitReadings : public varnholt::test::ScriptedConnectorTest<> {
protected:
    bool send(const Batch& batch) { return connector->send(batch.pointers()); }

    static std::unique_ptr<Reading> pump(int64_t level) {
        return ReadingBuilder("pumps").integer("level", level).at(TIME).build();
    }
};

TEST_F(UnfitReadings, RowLongerThanARequestIsABoundedRejectAndTheRestLands) {
    Batch batch;
    batch.add(pump(1));
    batch.add(pump(2));
    batch.add(ReadingBuilder("pumps")
                  .integer("level", 3)
                  .text("note", std::string(1500000, 'n'))
                  .at(TIME)
                  .build());
    batch.add(pump(4));
    LogCapture capture;

    ASSERT_TRUE(send(batch));

    const Strings written = committed(driver().journal());
    ASSERT_EQ(written.size(), 3u);
    EXPECT_TRUE(startsWith(written[0], "INSERT INTO \"pumps\" "));
    EXPECT_NE(written[0].find(", 1, NULL), ("), std::string::npos);
    EXPECT_NE(written[0].find(", 2, NULL), ("), std::string::npos);
    EXPECT_NE(written[0].find(", 4, NULL)"), std::string::npos);
    EXPECT_EQ(written[0].find(", 3, "), std::string::npos);
    EXPECT_LT(written[0].size(), 4096u);
    EXPECT_TRUE(startsWith(written[1], "INSERT INTO \"_varnholt_rejects\" "));
    EXPECT_LT(written[1].size(), 2 * RejectedReading::MAX_READING_BYTES + 16384);
    EXPECT_NE(written[1].find("\"kept_in_part\":{\"bytes\":15001"), std::string::npos);
    EXPECT_TRUE(startsWith(written[2], "INSERT INTO \"_varnholt_ledger\" "));
    EXPECT_TRUE(capture.contains(Level::WARN,
                                 "1 reading rejected from table 'pumps', the first from asset "
                                 "'pumps' at 2024-05-06 07:08:09.123456: row longer than one "
                                 "request may carry"));
    EXPECT_TRUE(capture.contains(
        Level::INFO, "Delivered 3 rows to 1 tables, 1 readings rejected, in 9 requests"));
}

TEST_F(UnfitReadings, LongNamesAreShortenedAndARestartFindsTheSameColumn) {
    // One character over, and as long as the asset_code column the plugin makes takes.
    const std::string asset(256, 'a');
    const std::string column = std::string(250, 'c') + "-\xc3\xa4-" + std::string(50, 'd');
    const std::string table = NameLimit::shorten(asset);
    const std::string shortColumn = NameLimit::shorten(column);
    // The column is typed for all of the batch's values, a fraction among them.
    Batch first;
    first.add(ReadingBuilder(asset).integer(column, 1).at(TIME).build());
    first.add(ReadingBuilder(asset).real(column, 2.5).at(TIME).build());

    ASSERT_TRUE(send(first));

    const Strings journal = driver().journal();
    size_t created = 0;
    for (const std::string& statement : journal) {
        for (const std::string& name : identifiers(statement)) {
            EXPECT_LE(characters(name), NameLimit::MAX_CHARACTERS) << statement.substr(0, 80);
        }
        created += startsWith(statement, "CREATE TABLE \"" + table + "\" (") &&
                   statement.find("\"" + shortColumn + "\" REAL NULL") != std::string::npos;
    }
    EXPECT_EQ(created, 1u);
    const Strings written = committed(journal);
    ASSERT_FALSE(written.empty());
    EXPECT_TRUE(startsWith(written[0], "INSERT INTO \"" + table + "\" ("));
    EXPECT_NE(written[0].find(", \"" + shortColumn + "\") VALUES ('" + asset + "', "),
              std::string::npos);
    // The values land in the shortened column.
    EXPECT_NE(written[0].find(", 1), ('"), std::string::npos);
    EXPECT_EQ(written[0].substr(written[0].size() - 11), ", 2.500000)");

    // A new instance finds the table and the column it made: nothing to create or add.
    startInstance();
    StatementScript columns;
    columns.match = SnowflakeSQLBuilder().buildInformationSchemaQuery("", table);
    columns.prefix = false;
    columns.columns = {"COLUMN_NAME", "DATA_TYPE"};
    columns.rows = {{std::string("asset_code"), std::string("TEXT")},
                    {std::string("user_ts"), std::string("TIMESTAMP_TZ")},
                    {std::string("ts"), std::string("TIMESTAMP_TZ")},
                    {std::string("tolvane"), std::string("TEXT")},
                    {shortColumn, std::string("FLOAT")}};
    driver().addStatement(columns);
    driver().clearJournal();
    Batch second;
    second.add(ReadingBuilder(asset).integer(column, 2).at(TIME).build());

    ASSERT_TRUE(send(second));

    for (const std::string& statement : driver().journal()) {
        EXPECT_FALSE(startsWith(statement, "CREATE TABLE \"" + table));
        EXPECT_FALSE(startsWith(statement, "ALTER TABLE \"" + table));
    }
    const Strings again = committed(driver().journal());
    ASSERT_FALSE(again.empty());
    EXPECT_NE(again[0].find(", \"" + shortColumn + "\") VALUES ('" + asset + "', "),
              std::string::npos);
    EXPECT_EQ(again[0].substr(again[0].size() - 4), ", 2)");
}

// Nowhere to go is no reason to vanish: a reading kept from the batch that counts as delivered.
TEST_F(UnfitReadings, ReadingWithoutATableIsKeptAsAReject) {
    Batch batch;
    batch.add(pump(1));
    batch.add(ReadingBuilder("")
                  .integer("level", 2)
                  .text("snowflakeHint", "{\"tablename\":\"\"}")
                  .at(TIME)
                  .build());
    LogCapture capture;

    ASSERT_TRUE(send(batch));

    const Strings written = committed(driver().journal());
    ASSERT_EQ(written.size(), 3u);
    EXPECT_TRUE(startsWith(written[0], "INSERT INTO \"pumps\" "));
    EXPECT_TRUE(startsWith(written[1], "INSERT INTO \"_varnholt_rejects\" "));
    EXPECT_NE(written[1].find("'the reading names no table: its asset name is empty'"),
              std::string::npos);
    EXPECT_TRUE(capture.contains(Level::WARN,
                                 "1 reading rejected from table '', the first from asset '' at "
                                 "2024-05-06 07:08:09.123456: the reading names no table: its "
                                 "asset name is empty"));
}

// The replay goes on with the rejects it can rebuild and names the ones kept in part.
TEST_F(UnfitReadings, ReplaySaysWhichRejectWasKeptInPart) {
    ConfigCategory category("varnholt", defaultConfiguration());
    category.setValue("replayRejects", "true");
    ASSERT_TRUE(connector->configure(&category));
    auto oversized =
        ReadingBuilder("pumps").text("note", std::string(100000, 'n')).at(TIME).build();
    const std::string kept = RejectedReading::keptJSON(*oversized);
    const std::string why = RejectedReading::partKept(kept);
    ASSERT_FALSE(why.empty());
    StatementScript rejects;
    rejects.match = "SELECT \"reject_id\", \"reading\" FROM";
    rejects.columns = {"reject_id", "reading"};
    rejects.rows = {{std::string("id-part"), kept},
                    {std::string("id-whole"), RejectedReading::toJSON(*pump(7))}};
    rejects.times = 1;
    driver().addStatement(rejects);
    Batch batch;
    batch.add(pump(1));
    LogCapture capture;

    ASSERT_TRUE(send(batch));

    EXPECT_EQ(capture.count(Level::WARN, "Rejected reading 'id-part' cannot be replayed: " + why),
              1u);
    const Strings written = committed(driver().journal());
    ASSERT_GE(written.size(), 3u);
    EXPECT_NE(written[0].find(", 1), ("), std::string::npos);
    EXPECT_NE(written[0].find(", 7)"), std::string::npos);
    EXPECT_NE(written[1].find("\"reject_id\" IN ('id-whole')"), std::string::npos);
    EXPECT_NE(written[2].find("\"reject_id\" IN ('id-part')"), std::string::npos);
    EXPECT_TRUE(capture.contains(
        Level::INFO, "Replayed 1 rejected readings: 1 delivered to their tables, 0 refused again"));
}

}  // namespace
