// A reject row stays well within a request whatever its reading: the reading's JSON whole up to
// the bound, else its size, fingerprint and start; asset, target table and reason cut.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <memory>
#include <string>

#include "delivery/rejected_reading.h"
#include "mapping/reading_parser.h"
#include "tests/support/test_readings.h"

namespace {

using varnholt::test::ReadingBuilder;

std::string repeat(const std::string& unit, size_t count) {
    std::string text;
    while (text.size() < count) {
        text += unit;
    }
    return text;
}

bool validUTF8Cut(const std::string& text) {
    // No character split at the end.
    size_t i = text.size();
    size_t continuation = 0;
    while (i > 0 && (static_cast<unsigned char>(text[i - 1]) & 0xC0) == 0x80) {
        --i;
        ++continuation;
    }
    if (i == 0) {
        return continuation == 0;
    }
    const unsigned char lead = static_cast<unsigned char>(text[i - 1]);
    const size_t expected = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    return continuation == expected;
}

struct BoundCase {
    const char* name;
    std::string text;  // of the reading's one text datapoint
    bool whole;
};

class BoundedRejectTest : public ::testing::TestWithParam<BoundCase> {};

TEST_P(BoundedRejectTest, KeepsTheReadingWholeOrItsSizeFingerprintAndStart) {
    const BoundCase& c = GetParam();
    auto reading =
        ReadingBuilder("pumps").text("note", c.text).at("2024-05-06 07:08:09.123456").build();
    const std::string whole = RejectedReading::toJSON(*reading);
    const std::string kept = RejectedReading::keptJSON(*reading);
    EXPECT_LE(kept.size(), RejectedReading::MAX_READING_BYTES);
    if (c.whole) {
        EXPECT_EQ(kept, whole);
        EXPECT_EQ(RejectedReading::partKept(kept), "");
        return;
    }
    rapidjson::Document document;
    document.Parse(kept.c_str(), kept.size());
    ASSERT_FALSE(document.HasParseError());
    EXPECT_EQ(std::string(document["asset"].GetString()), "pumps");
    EXPECT_EQ(std::string(document["user_ts"].GetString()), "2024-05-06 07:08:09.123456");
    const rapidjson::Value& part = document["kept_in_part"];
    EXPECT_EQ(part["bytes"].GetUint64(), whole.size());
    const std::string hash = part["xxh128"].GetString();
    EXPECT_EQ(hash.size(), 32u);
    const std::string start(part["head"].GetString(), part["head"].GetStringLength());
    // As much as fits: the escapes of the start take the rest of the room.
    EXPECT_GT(start.size(), RejectedReading::MAX_READING_BYTES / 8);
    EXPECT_EQ(whole.compare(0, start.size(), start), 0);
    EXPECT_TRUE(validUTF8Cut(start));
    EXPECT_EQ(RejectedReading::partKept(kept), "only its first " + std::to_string(start.size()) +
                                                   " of " + std::to_string(whole.size()) +
                                                   " bytes were kept (xxh128 " + hash + ")");
    // The same reading has the same fingerprint; another one another.
    auto other =
        ReadingBuilder("pumps").text("note", c.text + "x").at("2024-05-06 07:08:09.123456").build();
    rapidjson::Document again;
    const std::string otherKept = RejectedReading::keptJSON(*other);
    again.Parse(otherKept.c_str(), otherKept.size());
    EXPECT_NE(std::string(again["kept_in_part"]["xxh128"].GetString()), hash);
    EXPECT_EQ(RejectedReading::keptJSON(*reading), kept);
    // The replay cannot rebuild it.
    EXPECT_THROW(ReadingParser::parse(kept), ReadingParseError);
}

INSTANTIATE_TEST_SUITE_P(
    Readings, BoundedRejectTest,
    ::testing::Values(BoundCase{"Short", "21.5 degrees", true},
                      BoundCase{"JustWithinTheBound",
                                std::string(RejectedReading::MAX_READING_BYTES - 200, 'a'), true},
                      BoundCase{"JustBeyondTheBound",
                                std::string(RejectedReading::MAX_READING_BYTES, 'a'), false},
                      BoundCase{"OnePointFiveMegabytes", std::string(1500000, 'a'), false},
                      // Escaped twice: as JSON of the reading, then as the start's JSON string.
                      BoundCase{"QuotesAndBackslashes", repeat("\"\\", 300000), false},
                      BoundCase{"ControlCharacters", repeat("\x01\x1f", 300000), false},
                      BoundCase{"MultiByteCharacters",
                                repeat("\xc3\xa4\xe6\x9d\xb1\xf0\x9f\x9a\x80", 300000), false}),
    [](const ::testing::TestParamInfo<BoundCase>& info) { return info.param.name; });

TEST(BoundedRejectRow, AssetTargetTableAndReasonAreCutAtACharacter) {
    const std::string longAsset = repeat("\xc3\xa4", 10000);
    auto reading = ReadingBuilder(longAsset).integer("n", 1).build();
    const Reject reject(std::string(9000, 't'), reading.get(),
                        StatementError{"22018", 100038, repeat("\xe6\x9d\xb1", 20000)});
    const SQLBuilder::RejectRow row = RejectedReading::toRow(reject, "edge1");
    for (const std::string* text : {&row.asset, &row.targetTable, &row.message}) {
        EXPECT_LE(text->size(), RejectedReading::MAX_TEXT_BYTES);
        EXPECT_GT(text->size(), RejectedReading::MAX_TEXT_BYTES - 8);
        ASSERT_EQ(text->compare(text->size() - 3, 3, "..."), 0);
        EXPECT_TRUE(validUTF8Cut(text->substr(0, text->size() - 3)));
    }
    EXPECT_EQ(row.instance, "edge1");
    EXPECT_EQ(row.sqlState, "22018");
    EXPECT_LE(row.readingJSON.size(), RejectedReading::MAX_READING_BYTES);
}

}  // namespace
