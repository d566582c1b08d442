// Datapoints that appear after a table was created become new columns.
#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

class SchemaEvolutionTest : public PluginE2ETest {};

TEST_F(SchemaEvolutionTest, NewDatapointsAddColumnsAcrossAndWithinBatches) {
    PLUGIN_HANDLE plugin = startInstance();

    Batch first;
    first.add(ReadingBuilder("e2e_evolving").integer("seq", 1).integer("a", 10).build());
    first.add(ReadingBuilder("e2e_evolving").integer("seq", 2).integer("a", 11).build());
    ASSERT_EQ(send(plugin, first), 2u);

    // New columns in the middle of a batch: the rows before and after lack them.
    Batch second;
    second.add(ReadingBuilder("e2e_evolving").integer("seq", 3).integer("a", 12).build());
    second.add(ReadingBuilder("e2e_evolving")
                   .integer("seq", 4)
                   .integer("a", 13)
                   .text("b", "new")
                   .real("c", 1.5)
                   .build());
    second.add(ReadingBuilder("e2e_evolving").integer("seq", 5).integer("a", 14).build());
    ASSERT_EQ(send(plugin, second), 3u);

    // A later batch whose rows lack an older column and bring yet another one.
    Batch third;
    third.add(ReadingBuilder("e2e_evolving").integer("seq", 6).text("b", "late").build());
    third.add(ReadingBuilder("e2e_evolving").integer("seq", 7).integer("d", -1).build());
    ASSERT_EQ(send(plugin, third), 2u);

    EXPECT_EQ(reportedColumns("e2e_evolving"), (Columns{{"asset_code", "TEXT"},
                                                        {"user_ts", "TIMESTAMP_TZ"},
                                                        {"ts", "TIMESTAMP_TZ"},
                                                        {"tolvane", "TEXT"},
                                                        {"seq", "NUMBER"},
                                                        {"a", "NUMBER"},
                                                        {"b", "TEXT"},
                                                        {"c", "FLOAT"},
                                                        {"d", "NUMBER"}}));
    EXPECT_EQ(storedColumns("e2e_evolving").at(6),
              (std::pair<std::string, std::string>("b", "character varying(256)")));
    EXPECT_EQ(storedColumns("e2e_evolving").at(7),
              (std::pair<std::string, std::string>("c", "double precision")));

    EXPECT_EQ(query("SELECT seq::text, a::text, b, c::text, d::text FROM " +
                    tableRef("e2e_evolving") + " AS r ORDER BY r.seq"),
              (Rows{{text("1"), text("10"), null(), null(), null()},
                    {text("2"), text("11"), null(), null(), null()},
                    {text("3"), text("12"), null(), null(), null()},
                    {text("4"), text("13"), text("new"), text("1.5"), null()},
                    {text("5"), text("14"), null(), null(), null()},
                    {text("6"), null(), text("late"), null(), null()},
                    {text("7"), null(), null(), null(), text("-1")}}));
}

}  // namespace
}  // namespace test
}  // namespace varnholt
