// Columns typed so that every value of the batch that makes them fits, and float arrays kept.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

using Level = Logger::Level;

class ColumnTypeTest : public PluginE2ETest {
protected:
    // One reading of the asset with its sequence number and the datapoint "v".
    static std::unique_ptr<Reading> reading(const std::string& asset, int64_t seq,
                                            const DatapointValue& value) {
        return ReadingBuilder(asset).integer("seq", seq).value("v", value).build();
    }

    std::string typeOf(const std::string& table, const std::string& column) const {
        for (const auto& entry : reportedColumns(table)) {
            if (entry.first == column) {
                return entry.second;
            }
        }
        return std::string();
    }

    Rows values(const std::string& table) const {
        return query("SELECT v::text FROM " + tableRef(table) + " AS r ORDER BY r.seq");
    }

    Value rejectsOf(const std::string& table) const {
        return scalar("SELECT COUNT(*)::text FROM " + tableRef("_varnholt_rejects") +
                      " WHERE target_table = " + quoteLiteral(table));
    }
};

TEST_F(ColumnTypeTest, WholeNumbersAndFractionsInTheFirstBatchMakeAFloatColumn) {
    PLUGIN_HANDLE plugin = startInstance();
    Batch batch;
    batch.add(reading("e2e_temps", 1, DatapointValue(21)));
    batch.add(reading("e2e_temps", 2, DatapointValue(21.5)));
    batch.add(reading("e2e_temps", 3, DatapointValue(22)));

    ASSERT_EQ(send(plugin, batch), 3u);

    EXPECT_EQ(typeOf("e2e_temps", "v"), "FLOAT");
    EXPECT_EQ(values("e2e_temps"), (Rows{{text("21")}, {text("21.5")}, {text("22")}}));
    EXPECT_EQ(rejectsOf("e2e_temps"), text("0"));
}

TEST_F(ColumnTypeTest, WordsAmongNumbersMakeATextColumn) {
    PLUGIN_HANDLE plugin = startInstance();
    Batch batch;
    batch.add(reading("e2e_status", 1, DatapointValue(1)));
    batch.add(reading("e2e_status", 2, DatapointValue(2)));
    batch.add(reading("e2e_status", 3, DatapointValue("N/A")));
    batch.add(reading("e2e_status", 4, DatapointValue(3)));

    ASSERT_EQ(send(plugin, batch), 4u);

    EXPECT_EQ(typeOf("e2e_status", "v"), "TEXT");
    EXPECT_EQ(values("e2e_status"), (Rows{{text("1")}, {text("2")}, {text("N/A")}, {text("3")}}));
    EXPECT_EQ(rejectsOf("e2e_status"), text("0"));
}

// Sources that print whole values as integers: with integerType REAL, the fractions that come
// later land too.
TEST_F(ColumnTypeTest, WithIntegerTypeRealLaterFractionsLand) {
    PLUGIN_HANDLE plugin = startInstance("e2e-real", {{"integerType", "REAL"}});
    Batch whole;
    whole.add(reading("e2e_room", 1, DatapointValue(21)));
    whole.add(reading("e2e_room", 2, DatapointValue(22)));
    ASSERT_EQ(send(plugin, whole), 2u);
    Batch fractions;
    fractions.add(reading("e2e_room", 3, DatapointValue(21.5)));
    fractions.add(reading("e2e_room", 4, DatapointValue(-0.25)));

    ASSERT_EQ(send(plugin, fractions), 2u);

    EXPECT_EQ(typeOf("e2e_room", "v"), "FLOAT");
    EXPECT_EQ(values("e2e_room"),
              (Rows{{text("21")}, {text("22")}, {text("21.5")}, {text("-0.25")}}));
    EXPECT_EQ(rejectsOf("e2e_room"), text("0"));
}

// Every number of a float array comes back as the same double; a long array lengthens its
// column like any long text.
TEST_F(ColumnTypeTest, FloatArraysReadBackEqual) {
    std::vector<double> spectrum;
    for (int i = 0; i < 2000; ++i) {
        spectrum.push_back(std::sin(i * 0.37) * std::pow(10.0, (i % 21) - 10));
    }
    const std::vector<std::vector<double>> arrays = {
        {1e-7, 0.1, -21.25, 1e300, -0.0}, {}, {NAN, 1.0, INFINITY}, spectrum};
    PLUGIN_HANDLE plugin = startInstance();
    Batch batch;
    for (size_t i = 0; i < arrays.size(); ++i) {
        batch.add(reading("e2e_spectra", static_cast<int64_t>(i), DatapointValue(arrays[i])));
    }

    ASSERT_EQ(send(plugin, batch), arrays.size());

    const Rows stored = values("e2e_spectra");
    ASSERT_EQ(stored.size(), arrays.size());
    for (size_t i = 0; i < arrays.size(); ++i) {
        ASSERT_TRUE(stored[i].front().has_value());
        const std::string& json = *stored[i].front();
        ASSERT_GE(json.size(), 2u);
        std::vector<double> back;
        size_t at = 1;
        while (at < json.size() - 1) {
            size_t end = json.find(',', at);
            end = end == std::string::npos ? json.size() - 1 : end;
            const std::string number = json.substr(at, end - at);
            double value = NAN;
            if (number != "null") {
                auto parsed = std::from_chars(number.data(), number.data() + number.size(), value);
                ASSERT_EQ(parsed.ptr, number.data() + number.size()) << number;
            }
            back.push_back(value);
            at = end + 1;
        }
        ASSERT_EQ(back.size(), arrays[i].size()) << json.substr(0, 80);
        for (size_t j = 0; j < back.size(); ++j) {
            if (std::isfinite(arrays[i][j])) {
                EXPECT_EQ(back[j], arrays[i][j]) << i << "/" << j;
            } else {
                EXPECT_TRUE(std::isnan(back[j])) << i << "/" << j;
            }
        }
    }
}

// However many readings a batch rejects, the log gets one warning per table and cause, and few
// errors; every reading is still in the reject table.
TEST_F(ColumnTypeTest, ManyRejectsOfABatchLogAFewLines) {
    PLUGIN_HANDLE plugin = startInstance();
    Batch whole;
    whole.add(reading("e2e_counts", 0, DatapointValue(1)));
    ASSERT_EQ(send(plugin, whole), 1u);
    Batch batch;
    for (int64_t seq = 1; seq <= 600; ++seq) {
        batch.add(reading("e2e_counts", seq,
                          seq % 100 == 0 ? DatapointValue("many") : DatapointValue(seq + 0.5)));
    }
    LogCapture capture;

    ASSERT_EQ(send(plugin, batch), 600u);

    EXPECT_EQ(rejectsOf("e2e_counts"), text("600"));
    std::vector<std::string> warnings = capture.texts(Level::WARN);
    std::sort(warnings.begin(), warnings.end());
    ASSERT_EQ(warnings.size(), 2u) << ::testing::PrintToString(warnings);
    const std::string first = "the first from asset 'e2e_counts' at ";
    EXPECT_EQ(warnings[0].rfind("594 readings rejected from table 'e2e_counts', " + first, 0), 0u)
        << warnings[0];
    EXPECT_NE(warnings[0].find("type conflict in column 'v' of type BIGINT ("), std::string::npos);
    EXPECT_NE(warnings[0].find("integerType REAL"), std::string::npos);
    EXPECT_EQ(warnings[1].rfind("6 readings rejected from table 'e2e_counts', " + first, 0), 0u)
        << warnings[1];
    EXPECT_NE(
        warnings[1].find("type conflict in column 'v' of type BIGINT: a value it cannot read"),
        std::string::npos);
    EXPECT_LE(capture.texts(Level::ERROR).size(), 2u);
}

}  // namespace
}  // namespace test
}  // namespace varnholt
