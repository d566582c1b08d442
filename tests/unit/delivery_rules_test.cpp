#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <cmath>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "delivery/batch_fingerprint.h"
#include "delivery/batch_renderer.h"
#include "delivery/rejected_reading.h"
#include "host/datapoint.h"
#include "host/reading.h"
#include "sql/snowflake_sql_builder.h"
#include "tests/support/test_readings.h"

namespace {

using varnholt::test::Batch;
using varnholt::test::ReadingBuilder;

const char* const TIME = "2024-01-01 00:00:00";

// Values the database would change without an error are found before they are written.
struct RoundingCase {
    const char* name;
    const char* value;
    const char* type;
    bool conflict;
    int scale = 0;  // digits a NUMBER column keeps after the point
};

class Rounding : public ::testing::TestWithParam<RoundingCase> {};

TEST_P(Rounding, IsFoundFromTheColumnTypeAlone) {
    const RoundingCase& row = GetParam();
    EXPECT_EQ(!BatchRenderer::roundingConflict(row.value, row.type, row.scale).empty(),
              row.conflict);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Rounding,
    ::testing::Values(RoundingCase{"FractionIntoInteger", "21.5", "BIGINT NULL", true},
                      RoundingCase{"WholeFloatIntoInteger", "21.000000", "BIGINT", false},
                      RoundingCase{"NegativeFraction", "-0.5", "BIGINT", true},
                      RoundingCase{"ExponentMakesItWhole", "1.5e1", "BIGINT", false},
                      RoundingCase{"ExponentLeavesAFraction", "1.25e1", "BIGINT", true},
                      RoundingCase{"SmallFraction", "1e-3", "NUMBER", true},
                      RoundingCase{"WholeWithNegativeExponent", "100e-2", "BIGINT", false},
                      RoundingCase{"IntegerBeyondTwoTo53", "9007199254740993", "REAL", true},
                      RoundingCase{"TwoTo53Exactly", "9007199254740992", "REAL NULL", false},
                      RoundingCase{"LargeButExact", "-9223372036854775808", "FLOAT", false},
                      RoundingCase{"SmallInteger", "123", "REAL", false},
                      RoundingCase{"FloatIntoFloat", "0.1", "REAL", false},
                      RoundingCase{"WordLeftToTheDatabase", "high", "BIGINT", false},
                      RoundingCase{"NullWord", "null", "BIGINT", false},
                      RoundingCase{"WithinTheScale", "1.25", "NUMBER", false, 2},
                      RoundingCase{"BeyondTheScale", "1.255", "NUMBER", true, 2},
                      RoundingCase{"TextColumn", "21.5", "VARCHAR(256)", false},
                      RoundingCase{"TimestampColumn", "21.5", "TIMESTAMP_TZ", false}),
    [](const ::testing::TestParamInfo<RoundingCase>& info) {
        return std::string(info.param.name);
    });

// Values a column refuses for certain are rejects before the request, with Snowflake's own
// answer; whatever a column may take goes to the database.
struct RefusalCase {
    const char* name;
    std::string value;
    const char* type;
    int scale;
    std::string message;  // empty: taken, as far as the plugin can tell
};

class ForeseenRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ForeseenRefusal, SpeaksTheDatabasesWords) {
    const RefusalCase& row = GetParam();
    const StatementError refusal = BatchRenderer::refusalFor(row.value, row.type, row.scale);
    EXPECT_EQ(refusal.message, row.message);
    EXPECT_EQ(refusal.sqlState, "");
    EXPECT_EQ(refusal.errorClass, row.message.empty() ? ErrorClass::Other : ErrorClass::Data);
}

const std::string LONG_WORD(150, 'w');

INSTANTIATE_TEST_SUITE_P(
    Cases, ForeseenRefusal,
    ::testing::Values(
        RefusalCase{"WordIntoReal", "high", "REAL NULL", -1,
                    "Numeric value 'high' is not recognized"},
        RefusalCase{"WordIntoInteger", "1); DROP TABLE t; --", "BIGINT", -1,
                    "Numeric value '1); DROP TABLE t; --' is not recognized"},
        RefusalCase{"DecimalComma", "1,5", "NUMBER(38,0)", -1,
                    "Numeric value '1,5' is not recognized"},
        RefusalCase{"PointAlone", ".", "FLOAT", -1, "Numeric value '.' is not recognized"},
        RefusalCase{"ExponentWithoutDigits", "1e", "FLOAT", -1,
                    "Numeric value '1e' is not recognized"},
        RefusalCase{"NaNIntoInteger", "NaN", "BIGINT", -1, "Numeric value 'NaN' is not recognized"},
        RefusalCase{"LongWordCutInTheMessage", LONG_WORD, "REAL", -1,
                    "Numeric value '" + std::string(100, 'w') + "...' is not recognized"},
        RefusalCase{"ThirtyNineDigits", "340282346638528859811704183484516925440.000000", "BIGINT",
                    -1,
                    "Numeric value '340282346638528859811704183484516925440.000000' is out of "
                    "range"},
        RefusalCase{"BeyondThePrecisionLeftByTheScale", "123456789012345678901234567890123456",
                    "NUMBER", 3,
                    "Numeric value '123456789012345678901234567890123456' is out of range"},
        RefusalCase{"BeyondTheLargestDouble", "1e309", "REAL", -1,
                    "Numeric value '1e309' is out of range"},
        RefusalCase{"JustBeyondTheLargestDouble", "1.8e308", "FLOAT", -1,
                    "Numeric value '1.8e308' is out of range"},
        RefusalCase{"WordIntoTimestamp", "soon", "TIMESTAMP_TZ", -1,
                    "Timestamp 'soon' is not recognized"},
        RefusalCase{"ThirtyEightDigits", "12345678901234567890123456789012345678", "BIGINT", -1,
                    ""},
        RefusalCase{"LeadingZerosDoNotCount", "000000000000000000000000000000000000000001",
                    "BIGINT", -1, ""},
        RefusalCase{"LargestDouble", "1.7976931348623157e308", "REAL", -1, ""},
        RefusalCase{"TinyExponent", "1e-400", "REAL", -1, ""},
        RefusalCase{"ZeroWithAHugeExponent", "0e999", "BIGINT", -1, ""},
        RefusalCase{"PointFirst", "-.5", "REAL", -1, ""},
        RefusalCase{"SpecialFloat", "-Infinity", "FLOAT", -1, ""},
        RefusalCase{"SurroundingBlanksLeftToTheDatabase", " 12 ", "BIGINT", -1, ""},
        RefusalCase{"EmptyIsNull", "", "BIGINT", -1, ""},
        RefusalCase{"NullWord", "NULL", "REAL", -1, ""},
        RefusalCase{"WordIntoText", "high", "VARCHAR(256)", -1, ""},
        RefusalCase{"TimestampText", "2024-05-06 07:08:09+00:00", "TIMESTAMP_TZ", -1, ""},
        RefusalCase{"EpochSecondsIntoTimestamp", "1700000000", "TIMESTAMP_TZ", -1, ""},
        RefusalCase{"EmptyTimestampLeftToTheDatabase", "", "TIMESTAMP_TZ", -1, ""},
        RefusalCase{"WordIntoUnknownType", "high", "VARIANT", -1, ""}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST(CharacterCount, CountsCharactersNotBytes) {
    EXPECT_EQ(BatchRenderer::characterCount(""), 0u);
    EXPECT_EQ(BatchRenderer::characterCount("abc"), 3u);
    EXPECT_EQ(BatchRenderer::characterCount("h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80"), 9u);
}

std::string fingerprintOf(std::unique_ptr<Reading> reading) {
    Batch batch;
    batch.add(std::move(reading));
    return BatchFingerprint::of(batch.pointers());
}

std::unique_ptr<Reading> basePump() {
    return ReadingBuilder("pump").integer("n", 1).at(TIME).build();
}

// The base reading with only its user timestamp, or only its system timestamp, a microsecond
// later.
std::unique_ptr<Reading> userTimestampLater() {
    auto reading = basePump();
    struct timeval time = reading->getUserTimestamp();
    time.tv_usec += 1;
    reading->setUserTimestamp(time);
    return reading;
}

std::unique_ptr<Reading> systemTimestampLater() {
    auto reading = basePump();
    struct timeval time = reading->getTimestamp();
    time.tv_usec += 1;
    reading->setTimestamp(time);
    return reading;
}

TEST(Fingerprint, IsTheSameForTheSameBatch) {
    const std::string fingerprint = fingerprintOf(basePump());
    EXPECT_EQ(fingerprint.size(), 32u);
    EXPECT_EQ(fingerprint.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(fingerprintOf(basePump()), fingerprint);
}

// Two batches that differ in one part of one reading are two batches: were they taken for one,
// the second would be dropped as delivered before.
struct ChangedPart {
    const char* name;
    std::unique_ptr<Reading> (*reading)();
};

std::ostream& operator<<(std::ostream& out, const ChangedPart& part) {
    return out << part.name;
}

class FingerprintChange : public ::testing::TestWithParam<ChangedPart> {};

TEST_P(FingerprintChange, ChangingOnlyThisPartChangesTheFingerprint) {
    EXPECT_NE(fingerprintOf(GetParam().reading()), fingerprintOf(basePump()));
}

INSTANTIATE_TEST_SUITE_P(
    Parts, FingerprintChange,
    ::testing::Values(
        ChangedPart{"Asset",
                    [] { return ReadingBuilder("pump2").integer("n", 1).at(TIME).build(); }},
        ChangedPart{"UserTimestamp", userTimestampLater},
        ChangedPart{"SystemTimestamp", systemTimestampLater},
        ChangedPart{"DatapointName",
                    [] { return ReadingBuilder("pump").integer("m", 1).at(TIME).build(); }},
        ChangedPart{"Value",
                    [] { return ReadingBuilder("pump").integer("n", 2).at(TIME).build(); }},
        ChangedPart{"KindFloat",
                    [] { return ReadingBuilder("pump").real("n", 1.0).at(TIME).build(); }},
        ChangedPart{"KindText",
                    [] { return ReadingBuilder("pump").text("n", "1").at(TIME).build(); }},
        ChangedPart{
            "AnotherDatapoint",
            [] {
                return ReadingBuilder("pump").integer("n", 1).integer("o", 1).at(TIME).build();
            }}),
    [](const ::testing::TestParamInfo<ChangedPart>& info) { return std::string(info.param.name); });

// A batch resent after an upgrade is looked up by the fingerprint the earlier version wrote:
// a batch's fingerprint never changes. The second batch holds texts longer than the blocks the
// hash is fed in, and pieces that cross from one block to the next.
TEST(Fingerprint, IsTheSameInEveryVersion) {
    const char* const time = "2024-03-01 12:34:56.789012";
    Batch small;
    small.add(
        ReadingBuilder("pump").integer("n", 1).text("s", "x").real("r", 2.5).at(time).build());
    EXPECT_EQ(BatchFingerprint::of(small.pointers()), "a8193f748ecd44aff26591d443f5083a");
    Batch large;
    for (int i = 0; i < 5; ++i) {
        large.add(ReadingBuilder("tank" + std::to_string(i))
                      .text("note", std::string(5000 + i, static_cast<char>('a' + i)))
                      .integer("n", i)
                      .at(time)
                      .build());
    }
    large.add(ReadingBuilder("tank")
                  .text("log", std::string(20000, 'z'))
                  .at("2024-03-01 12:34:57.000001")
                  .build());
    EXPECT_EQ(BatchFingerprint::of(large.pointers()), "b200065ac1c565f97251b751d56c5115");
}

TEST(Fingerprint, DependsOnTheOrderOfTheReadings) {
    Batch ab;
    ab.add(ReadingBuilder("a").integer("n", 1).at(TIME).build());
    ab.add(ReadingBuilder("b").integer("n", 1).at(TIME).build());
    Batch ba;
    ba.add(ReadingBuilder("b").integer("n", 1).at(TIME).build());
    ba.add(ReadingBuilder("a").integer("n", 1).at(TIME).build());
    EXPECT_NE(BatchFingerprint::of(ab.pointers()), BatchFingerprint::of(ba.pointers()));
}

TEST(RejectedReadingJSON, CarriesTheWholeReadingAsValidJSON) {
    auto reading = ReadingBuilder("pump \"7\"")
                       .text("status", "line\none\t\"quoted\" \\ end")
                       .integer("count", -9223372036854775807LL)
                       .real("level", 2.5)
                       .real("broken", std::numeric_limits<double>::quiet_NaN())
                       .at("2024-03-04 05:06:07.250000")
                       .build();
    rapidjson::Document json;
    json.Parse(RejectedReading::toJSON(*reading).c_str());
    ASSERT_FALSE(json.HasParseError());
    EXPECT_STREQ(json["asset"].GetString(), "pump \"7\"");
    EXPECT_STREQ(json["user_ts"].GetString(), "2024-03-04 05:06:07.250000");
    const auto& values = json["readings"];
    EXPECT_STREQ(values["status"].GetString(), "line\none\t\"quoted\" \\ end");
    EXPECT_EQ(values["count"].GetInt64(), -9223372036854775807LL);
    EXPECT_EQ(values["level"].GetDouble(), 2.5);
    EXPECT_TRUE(values["broken"].IsNull());
}

// Nested values as in a JSON column; images and data buffers, which a JSON column holds as
// null, as the text their row held.
TEST(RejectedReadingJSON, WritesNestedValuesAsJSONAndOpaqueOnesAsTheirText) {
    const std::vector<double> numbers = {1.5, std::numeric_limits<double>::infinity()};
    Datapoint* list =
        new Datapoint("b", DatapointValue({new Datapoint("", DatapointValue(numbers))}, false));
    auto reading =
        ReadingBuilder("pump")
            .value("state",
                   DatapointValue({new Datapoint("a", DatapointValue(int64_t{1})), list}, true))
            .value("photo", DatapointValue::image({1, 2, 3}))
            .value("raw", DatapointValue::dataBuffer({9}))
            .build();
    const std::string json = RejectedReading::toJSON(*reading);
    const std::string readings =
        "\"readings\":{\"state\":{\"a\":1,\"b\":[[1.5,null]]},"
        "\"photo\":\"\\\"__IMAGE:3\\\"\",\"raw\":\"\\\"__DATABUFFER:1\\\"\"}}";
    ASSERT_GE(json.size(), readings.size());
    EXPECT_EQ(json.substr(json.size() - readings.size()), readings);
}

// The SQL of the plugin's own tables and of a lengthened column, every name through the one
// quoting rule.
struct SQLCase {
    const char* name;
    std::string sql;
    std::string expected;
};

class DeliverySQL : public ::testing::TestWithParam<SQLCase> {};

TEST_P(DeliverySQL, IsWrittenExactly) {
    EXPECT_EQ(GetParam().sql, GetParam().expected);
}

const SnowflakeSQLBuilder builder;

INSTANTIATE_TEST_SUITE_P(
    Statements, DeliverySQL,
    ::testing::Values(
        SQLCase{"Widen", builder.buildWidenColumn("t\"1", "c\"2", 1024),
                "ALTER TABLE \"t\"\"1\" ALTER COLUMN \"c\"\"2\" SET DATA TYPE VARCHAR(1024)"},
        SQLCase{"LedgerRow", builder.buildLedgerInsert("_l", "gw 'a'", "00ff", 12),
                "INSERT INTO \"_l\" (\"instance\", \"fingerprint\", \"row_count\", "
                "\"delivered_at\") VALUES ('gw ''a''', '00ff', 12, CURRENT_TIMESTAMP)"},
        SQLCase{"LedgerLookup", builder.buildLedgerLookup("_l", "gw\\", "00ff"),
                "SELECT COUNT(*) FROM \"_l\" WHERE \"instance\" = 'gw\\\\' AND "
                "\"fingerprint\" = '00ff'"},
        SQLCase{"LedgerCleanup", builder.buildLedgerCleanup("_l", 7),
                "DELETE FROM \"_l\" WHERE \"delivered_at\" < CURRENT_TIMESTAMP - INTERVAL '7 "
                "days'"},
        SQLCase{"LedgerTable", builder.buildCreateLedgerTable("_l"),
                "CREATE TABLE IF NOT EXISTS \"_l\" (\"instance\" VARCHAR NOT NULL, "
                "\"fingerprint\" VARCHAR(32) NOT NULL, \"row_count\" BIGINT NOT NULL, "
                "\"delivered_at\" TIMESTAMP_TZ NOT NULL)"},
        SQLCase{
            "RejectRow",
            builder.buildRejectInsert("_r",
                                      {{"gw", "t", "a'", "2024-01-01 00:00:00.000000+00:00",
                                        "{\"x\":1}", "22P02", 7, "bad 'x'", "id-1", ""},
                                       {"gw", "t", "a", "", "{}", "", 0, "m", "id-2", "pass-1"}}),
            "INSERT INTO \"_r\" (\"rejected_at\", \"instance\", \"target_table\", "
            "\"asset_code\", \"user_ts\", \"reading\", \"sqlstate\", \"native_code\", "
            "\"message\", \"reject_id\", \"replay_pass\") VALUES (CURRENT_TIMESTAMP, 'gw', 't', "
            "'a''', '2024-01-01 00:00:00.000000+00:00', '{\"x\":1}', '22P02', 7, 'bad ''x''', "
            "'id-1', NULL), (CURRENT_TIMESTAMP, 'gw', 't', 'a', NULL, '{}', NULL, 0, 'm', 'id-2', "
            "'pass-1')"},
        SQLCase{"RejectIdBackfill", builder.buildRejectIdBackfill("_r", "gw 'a'"),
                "UPDATE \"_r\" SET \"reject_id\" = UUID_STRING() WHERE \"instance\" = 'gw ''a''' "
                "AND \"reject_id\" IS NULL"},
        SQLCase{"RejectReplaySelect", builder.buildRejectReplaySelect("_r", "gw\\", "p'1", 1000),
                "SELECT \"reject_id\", \"reading\" FROM \"_r\" WHERE \"instance\" = 'gw\\\\' AND "
                "\"reject_id\" IS NOT NULL AND (\"replay_pass\" IS NULL OR \"replay_pass\" <> "
                "'p''1') ORDER BY \"rejected_at\", \"reject_id\" LIMIT 1000"},
        SQLCase{"RejectDelete", builder.buildRejectDelete("_r", "gw", {"a", "b'"}),
                "DELETE FROM \"_r\" WHERE \"instance\" = 'gw' AND \"reject_id\" IN ('a', "
                "'b''')"},
        SQLCase{"RejectPassMark", builder.buildRejectPassMark("_r", "gw", "p", {"a"}),
                "UPDATE \"_r\" SET \"replay_pass\" = 'p' WHERE \"instance\" = 'gw' AND "
                "\"reject_id\" IN ('a')"},
        SQLCase{"ColumnLengths", builder.buildColumnLengthQuery("t$"),
                "SELECT column_name, character_maximum_length, numeric_scale FROM "
                "information_schema.columns "
                "WHERE table_name = 't$' AND table_schema = CURRENT_SCHEMA() ORDER BY "
                "ordinal_position"},
        SQLCase{"InsertPrefix", builder.buildInsertPrefix("t\"", {"a", "b\""}),
                "INSERT INTO \"t\"\"\" (\"a\", \"b\"\"\") VALUES "},
        SQLCase{"InsertSelectPrefix",
                builder.buildInsertSelectPrefix("t\"", {"a", "v\"", "b"}, {false, true, false}),
                "INSERT INTO \"t\"\"\" (\"a\", \"v\"\"\", \"b\") SELECT c1, PARSE_JSON(c2), c3 "
                "FROM (VALUES "},
        SQLCase{"InsertSelectSuffix", SQLBuilder::buildInsertSelectSuffix(3),
                ") AS v(c1, c2, c3)"}),
    [](const ::testing::TestParamInfo<SQLCase>& info) { return std::string(info.param.name); });

}  // namespace
