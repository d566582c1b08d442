// A fresh table per asset: its columns, their types and the rows as sent.
#include <sys/time.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

class TableCreationTest : public PluginE2ETest {};

struct timeval parsedTime(const std::string& text) {
    struct timeval tv {};
    if (!Reading::parseTimestamp(text, tv)) {
        throw std::invalid_argument("bad timestamp " + text);
    }
    return tv;
}

TEST_F(TableCreationTest, CreatesTableWithStandardAndDatapointColumns) {
    PLUGIN_HANDLE plugin = startInstance("e2e-creator");
    Batch batch;
    auto first = ReadingBuilder("e2e_created_pump")
                     .integer("count", 42)
                     .real("temperature", 21.5)
                     .text("status", "running")
                     .at("2024-03-01 12:34:56.123456")
                     .build();
    // Distinct user and system times show that neither column takes the other's.
    first->setUserTimestamp(parsedTime("2024-02-29 23:59:59.000001"));
    batch.add(std::move(first));
    batch.addNull();
    batch.add(
        ReadingBuilder("e2e_created_pump").integer("count", 7).at("2024-03-02 00:00:00.5").build());
    batch.add(ReadingBuilder("e2e_created_valve")
                  .text("position", "open")
                  .at("2024-03-03 01:02:03")
                  .build());

    // The null entry counts: the host hears of the whole batch.
    ASSERT_EQ(send(plugin, batch), 4u);

    EXPECT_EQ(reportedColumns("e2e_created_pump"), (Columns{{"asset_code", "TEXT"},
                                                            {"user_ts", "TIMESTAMP_TZ"},
                                                            {"ts", "TIMESTAMP_TZ"},
                                                            {"tolvane", "TEXT"},
                                                            {"count", "NUMBER"},
                                                            {"temperature", "FLOAT"},
                                                            {"status", "TEXT"}}));
    EXPECT_EQ(storedColumns("e2e_created_pump"),
              (Columns{{"asset_code", "character varying(256) NOT NULL"},
                       {"user_ts", "timestamp_tz"},
                       {"ts", "timestamp_tz"},
                       {"tolvane", "character varying(256)"},
                       {"count", "bigint"},
                       {"temperature", "double precision"},
                       {"status", "character varying(256)"}}));
    EXPECT_EQ(query("SELECT asset_code, " + utcInstant("user_ts") + ", " + utcInstant("ts") +
                    ", tolvane, count::text, temperature::text, status FROM " +
                    tableRef("e2e_created_pump") + " AS r ORDER BY r.count DESC"),
              (Rows{{text("e2e_created_pump"), text("2024-02-29 23:59:59.000001"),
                     text("2024-03-01 12:34:56.123456"), text("e2e-creator"), text("42"),
                     text("21.5"), text("running")},
                    {text("e2e_created_pump"), text("2024-03-02 00:00:00.500000"),
                     text("2024-03-02 00:00:00.500000"), text("e2e-creator"), text("7"), null(),
                     null()}}));

    EXPECT_EQ(reportedColumns("e2e_created_valve"), (Columns{{"asset_code", "TEXT"},
                                                             {"user_ts", "TIMESTAMP_TZ"},
                                                             {"ts", "TIMESTAMP_TZ"},
                                                             {"tolvane", "TEXT"},
                                                             {"position", "TEXT"}}));
    EXPECT_EQ(query("SELECT asset_code, " + utcInstant("ts") + ", tolvane, position FROM " +
                    tableRef("e2e_created_valve")),
              (Rows{{text("e2e_created_valve"), text("2024-03-03 01:02:03.000000"),
                     text("e2e-creator"), text("open")}}));
}

// Integers and floats arrive with their value, whatever their size or precision.
TEST_F(TableCreationTest, NumbersKeepTheirValue) {
    struct Case {
        int64_t sequence;
        double real;
        int64_t integer;
        Value storedReal;  // PostgreSQL's text of the stored value
    };
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Case> cases = {
        {1, 21.5, 0, text("21.5")},
        {2, -0.25, -42, text("-0.25")},
        // "%f" would write 0.000000 for these two.
        {3, 1.5e-7, std::numeric_limits<int64_t>::max(), text("1.5e-07")},
        {4, -2.5e-10, std::numeric_limits<int64_t>::min(), text("-2.5e-10")},
        {5, 1e20, 1, text("1e+20")},
        {6, 123456.0, -1, text("123456")},
        // Not representable in SQL: stored as NULL rather than failing the batch.
        {7, std::nan(""), 2, null()},
        {8, inf, 3, null()},
        {9, -inf, 4, null()},
        // Needs more than 32 bits, as Snowflake's REAL has.
        {10, 123456789.125, 5, text("123456789.125")},
    };
    Batch batch;
    for (const Case& c : cases) {
        batch.add(ReadingBuilder("e2e_numbers")
                      .integer("sequence", c.sequence)
                      .real("reading", c.real)
                      .integer("counter", c.integer)
                      .build());
    }
    PLUGIN_HANDLE plugin = startInstance();
    ASSERT_EQ(send(plugin, batch), cases.size());

    const Rows rows = query("SELECT sequence::text, reading::text, counter::text FROM " +
                            tableRef("e2e_numbers") + " AS r ORDER BY r.sequence");
    ASSERT_EQ(rows.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("sequence " + std::to_string(cases[i].sequence));
        EXPECT_EQ(rows[i],
                  (Emulator::Row{text(std::to_string(cases[i].sequence)), cases[i].storedReal,
                                 text(std::to_string(cases[i].integer))}));
    }
}

}  // namespace
}  // namespace test
}  // namespace varnholt
