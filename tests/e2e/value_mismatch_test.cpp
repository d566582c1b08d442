// Datapoints whose kind no longer matches the column they land in.
#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

class ValueMismatchTest : public PluginE2ETest {};

TEST_F(ValueMismatchTest, TextInNumericColumnIsConvertedOrRejectedNeverRun) {
    PLUGIN_HANDLE plugin = startInstance();
    const auto sendOne = [&](int64_t seq, const std::string& count) {
        Batch batch;
        batch.add(ReadingBuilder("e2e_mismatch").integer("seq", seq).text("count", count).build());
        return send(plugin, batch);
    };
    Batch created;
    created.add(ReadingBuilder("e2e_mismatch").integer("seq", 1).integer("count", 10).build());
    ASSERT_EQ(send(plugin, created), 1u);

    EXPECT_EQ(sendOne(2, "12"), 1u);
    EXPECT_EQ(sendOne(3, ""), 1u);
    // Text that would be SQL of its own, or a word, is no number: the reading is kept in the
    // reject table before anything is written (no SQLSTATE: the database was not asked), and
    // its batch counts as delivered.
    EXPECT_EQ(sendOne(4, "1); DROP TABLE \"e2e_mismatch\"; --"), 1u);
    EXPECT_EQ(sendOne(5, "twelve"), 1u);
    // The refused statements leave the session usable.
    EXPECT_EQ(sendOne(6, "-7"), 1u);
    EXPECT_EQ(
        query("SELECT target_table, sqlstate, message FROM " + tableRef("_varnholt_rejects") +
              " WHERE target_table = 'e2e_mismatch' ORDER BY reading"),
        (Rows{{text("e2e_mismatch"), null(),
               text("Numeric value '1); DROP TABLE \"e2e_mismatch\"; --' is not recognized")},
              {text("e2e_mismatch"), null(), text("Numeric value 'twelve' is not recognized")}}));

    EXPECT_EQ(storedColumns("e2e_mismatch").at(5),
              (std::pair<std::string, std::string>("count", "bigint")));
    EXPECT_EQ(query("SELECT seq::text, count::text FROM " + tableRef("e2e_mismatch") +
                    " AS r ORDER BY r.seq"),
              (Rows{{text("1"), text("10")},
                    {text("2"), text("12")},
                    {text("3"), null()},
                    {text("6"), text("-7")}}));
}

}  // namespace
}  // namespace test
}  // namespace varnholt
