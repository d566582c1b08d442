// The plugin works in its own schema; a same-named table elsewhere in the database is not its.
#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

class SchemaIsolationTest : public PluginE2ETest {};

TEST_F(SchemaIsolationTest, SameNamedTableInPublicIsLeftAlone) {
    emulator.execute(
        "CREATE TABLE public.\"e2e_shared_name\" (id integer, note text);"
        "INSERT INTO public.\"e2e_shared_name\" VALUES (1, 'public row');");
    const Columns publicColumns = reportedColumns("public", "e2e_shared_name");
    ASSERT_EQ(publicColumns, (Columns{{"id", "NUMBER"}, {"note", "TEXT"}}));

    PLUGIN_HANDLE plugin = startInstance();
    Batch first;
    first.add(ReadingBuilder("e2e_shared_name").integer("level", 5).text("note", "mine").build());
    ASSERT_EQ(send(plugin, first), 1u);
    // A new datapoint: the column goes to the plugin's table too.
    Batch second;
    second.add(ReadingBuilder("e2e_shared_name").integer("level", 6).real("extra", 0.5).build());
    ASSERT_EQ(send(plugin, second), 1u);

    EXPECT_EQ(reportedColumns("e2e_shared_name"), (Columns{{"asset_code", "TEXT"},
                                                           {"user_ts", "TIMESTAMP_TZ"},
                                                           {"ts", "TIMESTAMP_TZ"},
                                                           {"tolvane", "TEXT"},
                                                           {"level", "NUMBER"},
                                                           {"note", "TEXT"},
                                                           {"extra", "FLOAT"}}));
    EXPECT_EQ(query("SELECT asset_code, level::text, note, extra::text FROM " +
                    tableRef("e2e_shared_name") + " AS r ORDER BY r.level"),
              (Rows{{text("e2e_shared_name"), text("5"), text("mine"), null()},
                    {text("e2e_shared_name"), text("6"), null(), text("0.5")}}));

    EXPECT_EQ(reportedColumns("public", "e2e_shared_name"), publicColumns);
    EXPECT_EQ(query("SELECT id::text, note FROM public.\"e2e_shared_name\""),
              (Rows{{text("1"), text("public row")}}));
}

// The other way round: the plugin's table already exists and public holds a wider one.
TEST_F(SchemaIsolationTest, ColumnsOfSameNamedTableElsewhereAreNotTakenForOwn) {
    emulator.execute(
        "CREATE TABLE public.\"e2e_shadowed\" (asset_code text, user_ts timestamptz,"
        " ts timestamptz, tolvane text, level bigint, unit text)");
    PLUGIN_HANDLE first = startInstance();
    Batch created;
    created.add(ReadingBuilder("e2e_shadowed").integer("level", 1).build());
    ASSERT_EQ(send(first, created), 1u);
    stopInstance(first);

    // A fresh instance must find that its table lacks "unit" and add it.
    PLUGIN_HANDLE second = startInstance();
    Batch widened;
    widened.add(ReadingBuilder("e2e_shadowed").integer("level", 2).text("unit", "bar").build());
    ASSERT_EQ(send(second, widened), 1u);

    EXPECT_EQ(query("SELECT level::text, unit FROM " + tableRef("e2e_shadowed") +
                    " AS r ORDER BY r.level"),
              (Rows{{text("1"), null()}, {text("2"), text("bar")}}));
    EXPECT_EQ(scalar("SELECT count(*)::text FROM public.\"e2e_shadowed\""), text("0"));
}

}  // namespace
}  // namespace test
}  // namespace varnholt
