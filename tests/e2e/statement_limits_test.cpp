// Snowflake's limits on one statement at their boundaries: the emulator refuses what Snowflake
// refuses, and the plugin fills a request up to the byte limit and no further.
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

const size_t MAX_ROWS = 16384;
const size_t MAX_BYTES = 1024 * 1024;

class StatementLimitsTest : public PluginE2ETest {
protected:
    // The newest entry of the emulator's log of the INSERTs it let through.
    int64_t lastInsert() const {
        return std::stoll(
            scalar("SELECT coalesce(max(id), 0)::text FROM emulator.insert_log").value_or("0"));
    }

    // (rows, request bytes) of each INSERT into the table after log entry `after`, in order.
    Rows insertsInto(const std::string& table, int64_t after) const {
        return query(
            "SELECT row_count::text, request_bytes::text FROM emulator.insert_log"
            " WHERE table_schema = " +
            quoteLiteral(emulator.schema()) + " AND table_name = " + quoteLiteral(table) +
            " AND id > " + std::to_string(after) + " ORDER BY id");
    }
};

struct RefusalCase {
    const char* name;
    size_t rows;
    size_t bytes;         // 0: as built; else one literal is padded to make the statement this long
    std::string refusal;  // empty: the INSERT passes
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
    *out << c.name;
}

class EmulatorLimitTest : public StatementLimitsTest,
                          public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(EmulatorLimitTest, RefusesWhatSnowflakeRefuses) {
    const RefusalCase& c = GetParam();
    const std::string table = std::string("e2e_limit_") + c.name;
    emulator.execute("CREATE TABLE " + tableRef(table) + " (x VARCHAR(2000000))");
    // psql sends the statement with its ';'.
    std::string statement = "INSERT INTO " + tableRef(table) + " (x) VALUES ('')";
    for (size_t row = 1; row < c.rows; ++row) {
        statement += ",('')";
    }
    statement += ";";
    if (c.bytes != 0) {
        statement.insert(statement.size() - 3, c.bytes - statement.size(), 'x');
        ASSERT_EQ(statement.size(), c.bytes);
    }
    const int64_t before = lastInsert();
    if (c.refusal.empty()) {
        emulator.execute(statement);
        EXPECT_EQ(insertsInto(table, before),
                  (Rows{{text(std::to_string(c.rows)), text(std::to_string(statement.size()))}}));
    } else {
        try {
            emulator.execute(statement);
            ADD_FAILURE() << "the emulator took the INSERT";
        } catch (const std::runtime_error& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find("ERROR:  " + c.refusal), std::string::npos)
                << message.substr(0, message.find("\nSQL: "));
        }
        EXPECT_EQ(scalar("SELECT count(*)::text FROM " + tableRef(table)), text("0"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, EmulatorLimitTest,
    ::testing::Values(
        RefusalCase{"rows_at_limit", MAX_ROWS, 0, ""},
        RefusalCase{"rows_beyond", MAX_ROWS + 1, 0,
                    "maximum number of expressions in a list exceeded, expected at most 16,384, "
                    "got 16,385"},
        RefusalCase{"bytes_at_limit", 1, MAX_BYTES, ""},
        RefusalCase{"bytes_beyond", 1, MAX_BYTES + 1,
                    "maximum statement size exceeded, expected at most 1,048,576 bytes, got "
                    "1,048,577"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// The plugin's INSERT of a batch's rows may be exactly 1 MiB long; with one byte more the rows
// travel in two INSERTs. The readings' sizes are found from a first batch, whose statement grows
// byte for byte with the text the readings carry. The emulator refuses a request beyond 1 MiB, so
// a statement that was not split in time fails the batch.
TEST_F(StatementLimitsTest, PluginFillsAStatementToExactlyOneMebibyte) {
    const std::string table = "e2e_byte_limit";
    const int readings = 3500;
    const size_t shortest = 100;
    const size_t longest = 256;  // the VARCHAR(256) of a text column
    const auto batchOf = [&](size_t extra) {
        Batch batch;
        for (int seq = 0; seq < readings; ++seq) {
            const size_t grow = std::min(extra, longest - shortest);
            extra -= grow;
            batch.add(ReadingBuilder(table)
                          .integer("seq", seq)
                          .text("payload", std::string(shortest + grow, 'p'))
                          .at("2024-06-01 00:00:00.000001")
                          .build());
        }
        return batch;
    };
    // The sizes of the INSERTs into the table that a batch sent.
    const auto insertSizes = [&](const LogCapture& capture) {
        std::vector<size_t> sizes;
        for (const std::string& statement : statementsSent(capture)) {
            if (statement.rfind("INSERT INTO \"" + table + "\"", 0) == 0) {
                sizes.push_back(statement.size());
            }
        }
        return sizes;
    };
    PLUGIN_HANDLE plugin = startInstance();

    std::vector<size_t> sizes;
    {
        LogCapture capture;
        ASSERT_EQ(send(plugin, batchOf(0)), static_cast<uint32_t>(readings));
        sizes = insertSizes(capture);
    }
    ASSERT_EQ(sizes.size(), 1u);
    ASSERT_LT(sizes[0], MAX_BYTES);
    const size_t toLimit = MAX_BYTES - sizes[0];
    ASSERT_LT(toLimit, static_cast<size_t>(readings) * (longest - shortest));

    {
        LogCapture capture;
        EXPECT_EQ(send(plugin, batchOf(toLimit)), static_cast<uint32_t>(readings));
        EXPECT_EQ(insertSizes(capture), std::vector<size_t>{MAX_BYTES});
    }
    {
        LogCapture capture;
        const int64_t before = lastInsert();
        EXPECT_EQ(send(plugin, batchOf(toLimit + 1)), static_cast<uint32_t>(readings));
        EXPECT_EQ(insertSizes(capture).size(), 2u);
        const Rows split = insertsInto(table, before);
        ASSERT_EQ(split.size(), 2u);
        EXPECT_EQ(std::stoul(split[0][0].value_or("0")) + std::stoul(split[1][0].value_or("0")),
                  static_cast<size_t>(readings));
    }

    EXPECT_EQ(scalar("SELECT count(*)::text FROM " + tableRef(table)),
              text(std::to_string(3 * readings)));
}

}  // namespace
}  // namespace test
}  // namespace varnholt
