// A batch too big for one statement still lands whole.
#include <string>

#include "host/log_capture.h"
#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

class LargeBatchTest : public PluginE2ETest {};

size_t occurrences(const std::string& text, const std::string& fragment) {
    size_t count = 0;
    for (size_t at = text.find(fragment); at != std::string::npos;
         at = text.find(fragment, at + fragment.size())) {
        ++count;
    }
    return count;
}

TEST_F(LargeBatchTest, FortyThousandReadingsLandWhole) {
    const int64_t readings = 40000;
    Batch batch;
    for (int64_t seq = 0; seq < readings; ++seq) {
        batch.add(ReadingBuilder("e2e_bulk")
                      .integer("seq", seq)
                      .text("payload", "reading number " + std::to_string(seq))
                      .real("value", static_cast<double>(seq) / 4)
                      .build());
    }
    PLUGIN_HANDLE plugin = startInstance();
    LogCapture capture;
    ASSERT_EQ(send(plugin, batch), static_cast<uint32_t>(readings));

    EXPECT_EQ(query("SELECT count(*)::text, count(DISTINCT seq)::text, min(seq)::text,"
                    " max(seq)::text FROM " +
                    tableRef("e2e_bulk")),
              (Rows{{text("40000"), text("40000"), text("0"), text("39999")}}));
    EXPECT_EQ(query("SELECT payload, value::text FROM " + tableRef("e2e_bulk") +
                    " WHERE seq IN (0, 16384, 39999) ORDER BY seq"),
              (Rows{{text("reading number 0"), text("0")},
                    {text("reading number 16384"), text("4096")},
                    {text("reading number 39999"), text("9999.75")}}));

    // Split into statements of at most 16,384 rows and 1 MiB that together hold every row.
    size_t statements = 0;
    size_t rows = 0;
    for (const std::string& statement : statementsSent(capture)) {
        if (statement.compare(0, 22, "INSERT INTO \"e2e_bulk\"") != 0) {
            continue;
        }
        ++statements;
        const size_t statementRows = occurrences(statement, "('e2e_bulk', ");
        rows += statementRows;
        EXPECT_LE(statementRows, 16384u);
        EXPECT_LE(statement.size(), 1024u * 1024u);
    }
    EXPECT_GT(statements, 1u);
    EXPECT_EQ(rows, static_cast<size_t>(readings));
}

}  // namespace
}  // namespace test
}  // namespace varnholt
