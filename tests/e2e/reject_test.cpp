// A reading the database cannot take whole is kept in the reject table with the reason; the
// rest of its batch lands once and the batch counts as delivered. A long text widens its column
// instead.
#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "mapping/reading_parser.h"
#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

struct Field {
    std::string name;
    DatapointValue value;
};

// A reading of a case; each also carries an integer "seq", unique within its case.
struct Sent {
    std::string asset;
    std::vector<Field> fields;
};

struct RejectCase {
    std::string name;
    // Sent first, in a batch of its own, to give the tables their columns.
    std::vector<Sent> earlier;
    std::vector<Sent> batch;
    // Positions in `batch` of the readings that must become rejects.
    std::set<size_t> rejected;
    // What every reject of the case records (SQLSTATE NULL: found before writing).
    Emulator::Value sqlstate;
    std::string reasonFragment;
};

// Failure messages name the case rather than dump its bytes.
void PrintTo(const RejectCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

Field integer(const std::string& name, int64_t value) {
    return Field{name, DatapointValue(value)};
}
Field real(const std::string& name, double value) {
    return Field{name, DatapointValue(value)};
}
Field word(const std::string& name, const std::string& value) {
    return Field{name, DatapointValue(value)};
}

std::string letters(size_t count) {
    std::string result;
    for (size_t i = 0; i < count; ++i) {
        result += static_cast<char>('a' + i % 26);
    }
    return result;
}

const std::vector<RejectCase>& rejectCases() {
    static const std::vector<RejectCase> cases = {
        {"Text300Characters",
         {{"rj_text300", {word("note", "short")}}},
         {{"rj_text300", {word("note", letters(300))}}},
         {},
         null(),
         ""},
        {"Text100000Characters",
         {},
         {{"rj_text100k", {word("note", "short")}},
          {"rj_text100k", {word("note", letters(100000))}}},
         {},
         null(),
         ""},
        {"WordIntoIntegerColumn",
         {{"rj_word", {integer("level", 3)}}},
         {{"rj_word", {integer("level", 4)}}, {"rj_word", {word("level", "high")}}},
         {1},
         null(),
         "Numeric value 'high' is not recognized"},
        // The database would store 22 without a word.
        {"FractionIntoBigintColumn",
         {{"rj_fraction", {integer("temp", 21)}}},
         {{"rj_fraction", {real("temp", 21.5)}}, {"rj_fraction", {integer("temp", 23)}}},
         {0},
         null(),
         "is not a whole number"},
        // A name PostgreSQL keeps for a column of its own, in a new table and in an existing one.
        {"SystemColumnName",
         {{"rj_sysname_old", {integer("level", 1)}}},
         {{"rj_sysname_new", {integer("xmin", 5)}},
          {"rj_sysname_new", {integer("level", 2)}},
          {"rj_sysname_old", {integer("level", 2), integer("xmin", 6)}}},
         {0, 2},
         text("42701"),
         "conflicts with a system column name"},
        // The column exists as BIGINT: in a new table the batch's word would make it text.
        {"OneBadReadingAmongAssets",
         {{"rj_mix_b", {integer("level", 0), word("state", "idle")}}},
         {{"rj_mix_a", {integer("level", 1)}},
          {"rj_mix_b", {integer("level", 1), word("state", "on")}},
          {"rj_mix_c", {real("flow", 0.5)}},
          {"rj_mix_a", {integer("level", 2)}},
          {"rj_mix_b", {word("level", "high"), word("state", "off")}},
          {"rj_mix_c", {real("flow", 0.75)}},
          {"rj_mix_b", {integer("level", 3)}},
          {"rj_mix_a", {integer("level", 3)}}},
         {4},
         null(),
         "Numeric value 'high' is not recognized"},
    };
    return cases;
}

class RejectTest : public PluginE2ETest, public ::testing::WithParamInterface<RejectCase> {
protected:
    static std::string timestampOf(int64_t seq) {
        char text[40];
        std::snprintf(text, sizeof(text), "2024-05-01 12:%02d:%02d.%06d",
                      static_cast<int>(seq / 60), static_cast<int>(seq % 60),
                      static_cast<int>(seq * 1001));
        return text;
    }

    static void fill(Batch& batch, const std::vector<Sent>& readings, int64_t firstSeq) {
        for (size_t i = 0; i < readings.size(); ++i) {
            const int64_t seq = firstSeq + static_cast<int64_t>(i);
            ReadingBuilder builder(readings[i].asset);
            builder.integer("seq", seq).at(timestampOf(seq));
            for (const Field& field : readings[i].fields) {
                builder.value(field.name, field.value);
            }
            batch.add(builder.build());
        }
    }

    static void expectSameReading(const Reading& back, const Reading& sent) {
        EXPECT_EQ(back.getAssetName(), sent.getAssetName());
        EXPECT_EQ(back.getAssetDateUserTime(0, true), sent.getAssetDateUserTime(0, true));
        ASSERT_EQ(back.getReadingData().size(), sent.getReadingData().size());
        for (size_t i = 0; i < sent.getReadingData().size(); ++i) {
            const Datapoint& expected = *sent.getReadingData()[i];
            const Datapoint& actual = *back.getReadingData()[i];
            EXPECT_EQ(actual.getName(), expected.getName());
            ASSERT_EQ(actual.getData().getType(), expected.getData().getType()) << actual.getName();
            EXPECT_EQ(actual.getData().toStringValue(), expected.getData().toStringValue());
            EXPECT_EQ(actual.getData().toInt(), expected.getData().toInt());
            EXPECT_EQ(actual.getData().toDouble(), expected.getData().toDouble());
        }
    }
};

TEST_P(RejectTest, RejectedReadingsKeptAndTheRestLandsOnce) {
    const RejectCase& testCase = GetParam();
    constexpr int64_t EARLIER_SEQ = 100;
    PLUGIN_HANDLE plugin = startInstance();
    if (!testCase.earlier.empty()) {
        Batch earlier;
        fill(earlier, testCase.earlier, EARLIER_SEQ);
        ASSERT_EQ(send(plugin, earlier), earlier.size());
    }

    Batch batch;
    fill(batch, testCase.batch, 1);
    LogCapture capture;
    ASSERT_EQ(send(plugin, batch), batch.size());

    // Each table holds the earlier readings and the kept ones, once each.
    std::map<std::string, Rows> expectedSeqs;
    for (size_t i = 0; i < testCase.earlier.size(); ++i) {
        expectedSeqs[testCase.earlier[i].asset].push_back(
            {text(std::to_string(EARLIER_SEQ + static_cast<int64_t>(i)))});
    }
    std::map<int64_t, const Reading*> rejectedBySeq;
    for (size_t i = 0; i < testCase.batch.size(); ++i) {
        const std::string& table = testCase.batch[i].asset;
        const int64_t seq = static_cast<int64_t>(i) + 1;
        if (testCase.rejected.count(i)) {
            rejectedBySeq[seq] = batch.pointers()[i];
            expectedSeqs.emplace(table, Rows());
            continue;
        }
        expectedSeqs[table].push_back({text(std::to_string(seq))});
        for (const Field& field : testCase.batch[i].fields) {
            if (field.value.getType() != DatapointValue::T_STRING) {
                continue;
            }
            EXPECT_EQ(scalar("SELECT " + quoteIdentifier(field.name) + " FROM " + tableRef(table) +
                             " WHERE seq = " + std::to_string(seq)),
                      text(field.value.toStringValue()))
                << table << "." << field.name;
            // The column was lengthened, not turned into one without a limit.
            const size_t length = field.value.toStringValue().size();
            for (const auto& column : storedColumns(table)) {
                if (column.first == field.name && length > 256) {
                    unsigned declared = 0;
                    ASSERT_EQ(
                        std::sscanf(column.second.c_str(), "character varying(%u)", &declared), 1)
                        << column.second;
                    EXPECT_GE(declared, length);
                }
            }
        }
    }
    std::string tables;
    for (const auto& entry : expectedSeqs) {
        Rows seqs = entry.second;
        std::sort(seqs.begin(), seqs.end(), [](const Emulator::Row& a, const Emulator::Row& b) {
            return std::stoll(*a.front()) < std::stoll(*b.front());
        });
        if (tableExists(emulator.schema(), entry.first)) {
            EXPECT_EQ(
                query("SELECT seq::text FROM " + tableRef(entry.first) + " AS r ORDER BY r.seq"),
                seqs)
                << entry.first;
        } else {
            EXPECT_TRUE(seqs.empty()) << entry.first;
        }
        tables += (tables.empty() ? "" : ", ") + quoteLiteral(entry.first);
    }

    const Rows rejects = query("SELECT target_table, asset_code, sqlstate, message, reading, " +
                               utcInstant("user_ts") + " FROM " + tableRef("_varnholt_rejects") +
                               " WHERE target_table IN (" + tables + ")");
    ASSERT_EQ(rejects.size(), rejectedBySeq.size());
    std::set<int64_t> seen;
    for (const Emulator::Row& reject : rejects) {
        const std::string& message = reject.at(3).value_or("");
        EXPECT_NE(message.find(testCase.reasonFragment), std::string::npos) << message;
        EXPECT_EQ(reject.at(2), testCase.sqlstate);
        const auto back = ReadingParser::parse(reject.at(4).value_or(""));
        ASSERT_EQ(back.size(), 1u) << *reject.at(4);
        const Datapoint* seq = back.front()->getDatapoint("seq");
        ASSERT_NE(seq, nullptr);
        ASSERT_EQ(rejectedBySeq.count(seq->getData().toInt()), 1u) << *reject.at(4);
        EXPECT_TRUE(seen.insert(seq->getData().toInt()).second);
        const Reading& sent = *rejectedBySeq[seq->getData().toInt()];
        expectSameReading(*back.front(), sent);
        EXPECT_EQ(reject.at(0), text(sent.getAssetName()));
        EXPECT_EQ(reject.at(1), text(sent.getAssetName()));
        EXPECT_EQ(reject.at(5), text(sent.getAssetDateUserTime(0, true)));
        EXPECT_EQ(capture.count(Logger::Level::DEBUG, "Reading rejected from table '" +
                                                          sent.getAssetName() + "' (asset '" +
                                                          sent.getAssetName() + "'): " + message),
                  1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Readings, RejectTest, ::testing::ValuesIn(rejectCases()),
                         [](const ::testing::TestParamInfo<RejectCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace test
}  // namespace varnholt
