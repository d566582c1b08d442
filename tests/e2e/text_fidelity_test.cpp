// Names and texts with characters that mean something to SQL arrive byte for byte.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/plugin_e2e_test.h"
#include "tests/support/case_names.h"

namespace varnholt {
namespace test {
namespace {

// (datapoint name, text value) pairs that each need care in a statement.
const std::vector<std::pair<std::string, std::string>>& oddTexts() {
    static const std::vector<std::pair<std::string, std::string>> texts = {
        {"it's", "O'Brien said ''hi''"},
        {"say \"hi\"", "\"quoted\" and \"\"doubled\"\""},
        {"back\\slash", "C:\\path\\to\\"},
        {"trailing", "ends in a backslash\\"},
        {"lone", "\\"},
        {"escape", "\\' and \\\\' and \\n"},
        {"dollar$$name", "$$not a quote$$ $tag$ $"},
        {"ünïcödé", "Grüße, 日本語 and 🚀"},
        {"control", "tab\there\nnew line\r\n"},
        {"empty", ""},
        {"word", "null"},
    };
    return texts;
}

class TextFidelityTest : public PluginE2ETest, public ::testing::WithParamInterface<std::string> {
protected:
    std::unique_ptr<Reading> oddReading(const std::string& asset, int64_t seq) const {
        ReadingBuilder builder(asset);
        builder.integer("seq", seq);
        for (const auto& entry : oddTexts()) {
            builder.text(entry.first, entry.second);
        }
        return builder.build();
    }
};

TEST_P(TextFidelityTest, NamesAndTextsReadBackUnchanged) {
    const std::string& table = GetParam();

    // The first instance creates the table, the second finds it by name.
    PLUGIN_HANDLE first = startInstance();
    Batch created;
    created.add(oddReading(table, 1));
    ASSERT_EQ(send(first, created), 1u);
    stopInstance(first);

    PLUGIN_HANDLE second = startInstance();
    Batch reused;
    reused.add(oddReading(table, 2));
    ASSERT_EQ(send(second, reused), 1u);

    Columns expectedColumns{{"asset_code", "TEXT"},
                            {"user_ts", "TIMESTAMP_TZ"},
                            {"ts", "TIMESTAMP_TZ"},
                            {"tolvane", "TEXT"},
                            {"seq", "NUMBER"}};
    std::string selectList = "asset_code";
    Emulator::Row expectedRow{text(table)};
    for (const auto& entry : oddTexts()) {
        expectedColumns.emplace_back(entry.first, "TEXT");
        selectList += ", " + quoteIdentifier(entry.first);
        expectedRow.push_back(text(entry.second));
    }
    EXPECT_EQ(reportedColumns(table), expectedColumns);
    EXPECT_EQ(query("SELECT " + selectList + " FROM " + tableRef(table) + " ORDER BY seq"),
              (Rows{expectedRow, expectedRow}));
}

INSTANTIATE_TEST_SUITE_P(OddTableNames, TextFidelityTest,
                         ::testing::Values("e2e_it's \"odd\"", "e2e_$$dollar$$", "e2e_trail$",
                                           "e2e_back\\slash\\", "e2e_grüße_日本"),
                         textNames());

class NulByteTest : public PluginE2ETest {};

TEST_F(NulByteTest, NulBytesAreLeftOut) {
    PLUGIN_HANDLE plugin = startInstance();
    Batch batch;
    batch.add(
        ReadingBuilder("e2e_nul_text").text("note", std::string("before\0after", 12)).build());
    ASSERT_EQ(send(plugin, batch), 1u);
    EXPECT_EQ(scalar("SELECT note FROM " + tableRef("e2e_nul_text")), text("beforeafter"));
}

}  // namespace
}  // namespace test
}  // namespace varnholt
