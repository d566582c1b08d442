#include <gtest/gtest.h>

#include <pthread.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/log_capture.h"
#include "host/reading.h"
#include "mapping/reading_mapper.h"
#include "mapping/row_reader.h"
#include "sql/snowflake_sql_builder.h"
#include "tests/support/test_readings.h"

namespace {

using varnholt::test::Batch;
using varnholt::test::ReadingBuilder;
using Strings = std::vector<std::string>;
using Level = Logger::Level;

const char* const HINT = "snowflakeHint";
const char* const TIME = "2024-03-01 12:34:56.789012";
const char* const STAMP = "2024-03-01 12:34:56.789012+00:00";
const char* const PROCESSING = "Processing snowflakeHint hint datapoint";
const char* const INVALID_PREFIX = "Invalid hint JSON format: ";
const char* const UNSUPPORTED =
    "Image and databuffer datapoint types not supported - using null value";

DatapointValue dict(std::vector<Datapoint*> children) {
    return DatapointValue(std::move(children), true);
}

DatapointValue list(std::vector<Datapoint*> children) {
    return DatapointValue(std::move(children), false);
}

size_t linesStartingWith(const LogCapture& capture, Level level, const std::string& prefix) {
    size_t count = 0;
    for (const std::string& text : capture.texts(level)) {
        if (text.compare(0, prefix.size(), prefix) == 0) {
            ++count;
        }
    }
    return count;
}

class ReadingMapperTest : public ::testing::Test {
protected:
    SnowflakeSQLBuilder builder;
    ReadingMapper mapper{"edge1", &builder};
};

TEST(ReadingMapperSetupTest, ConstructorsAndAccessors) {
    ReadingMapper plain;
    EXPECT_EQ(plain.getTolvaneInstance(), "tolvaneInstance");
    EXPECT_EQ(plain.getSQLBuilder(), nullptr);

    ReadingMapper named("site7");
    EXPECT_EQ(named.getTolvaneInstance(), "site7");
    EXPECT_EQ(named.getSQLBuilder(), nullptr);

    SnowflakeSQLBuilder builder;
    ReadingMapper full("site8", &builder);
    EXPECT_EQ(full.getSQLBuilder(), &builder);
    full.setTolvaneInstance("other");
    EXPECT_EQ(full.getTolvaneInstance(), "other");
    full.setSQLBuilder(nullptr);
    EXPECT_EQ(full.getSQLBuilder(), nullptr);
}

TEST(ReadingMapperSetupTest, WithoutBuilderNothingIsSkipped) {
    ReadingMapper mapper;
    EXPECT_EQ(mapper.getHintName(), "");
    for (const char* name : {"snowflakeHint", "", "x"}) {
        EXPECT_FALSE(mapper.shouldSkipDatapoint(name)) << name;
    }
}

TEST_F(ReadingMapperTest, OnlyTheExactHintNameIsSkipped) {
    EXPECT_EQ(mapper.getHintName(), HINT);
    EXPECT_TRUE(mapper.shouldSkipDatapoint("snowflakeHint"));
    for (const char* name : {"SnowflakeHint", "snowflakehint", "snowflakeHint ", "", "hint"}) {
        EXPECT_FALSE(mapper.shouldSkipDatapoint(name)) << name;
    }
}

TEST_F(ReadingMapperTest, StandardColumnsComeFirst) {
    auto reading = ReadingBuilder("pump").at(TIME).real("temperature", 21.5).build();
    DatabaseRecord record = mapper.mapReadingToRecord(reading.get());

    EXPECT_EQ(record.getTableName(), "pump");
    EXPECT_EQ(record.getColumnNames(),
              (Strings{"asset_code", "user_ts", "ts", "tolvane", "temperature"}));
    EXPECT_EQ(record.getValues(), (Strings{"pump", STAMP, STAMP, "edge1", "21.500000"}));
    const Strings types{"VARCHAR(256)", "TIMESTAMP_TZ", "TIMESTAMP_TZ", "VARCHAR(256)", "REAL"};
    const std::vector<ColumnConstraint> constraints{NOT_NULL, NONE, NONE, NONE, NULLABLE};
    const Strings names = record.getColumnNames();
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(record.getSQLType(names[i]), types[i]) << names[i];
        EXPECT_EQ(record.getConstraints(names[i]), constraints[i]) << names[i];
    }
}

TEST_F(ReadingMapperTest, UserAndSystemTimestampsAreTakenApart) {
    auto reading = ReadingBuilder("pump").build();
    struct timeval user = {1700000000, 5};
    struct timeval system = {1700000100, 123456};
    reading->setUserTimestamp(user);
    reading->setTimestamp(system);
    DatabaseRecord record = mapper.mapReadingToRecord(reading.get());
    EXPECT_EQ(record.getValue("user_ts"), "2023-11-14 22:13:20.000005+00:00");
    EXPECT_EQ(record.getValue("ts"), "2023-11-14 22:15:00.123456+00:00");
}

TEST_F(ReadingMapperTest, ReadingWithoutDatapointsHasTheFourStandardColumns) {
    auto reading = ReadingBuilder("pump").build();
    DatabaseRecord record = mapper.mapReadingToRecord(reading.get());
    EXPECT_EQ(record.getColumnNames(), (Strings{"asset_code", "user_ts", "ts", "tolvane"}));
}

TEST_F(ReadingMapperTest, InstanceNameFollowsTheSetting) {
    mapper.setTolvaneInstance("renamed");
    auto reading = ReadingBuilder("pump").build();
    EXPECT_EQ(mapper.mapReadingToRecord(reading.get()).getValue("tolvane"), "renamed");
}

struct ValueCase {
    const char* name;
    DatapointValue value;
    std::string text;
    std::string sqlType;
    size_t unsupportedMessages;
};

class DatapointValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(DatapointValueTest, RendersTheValueAndItsType) {
    SnowflakeSQLBuilder builder;
    ReadingMapper mapper("edge1", &builder);
    const ValueCase& c = GetParam();
    LogCapture capture;

    EXPECT_EQ(mapper.datapointValueToString(c.value), c.text);
    EXPECT_EQ(capture.count(Level::INFO, UNSUPPORTED), c.unsupportedMessages);
    capture.clear();

    auto reading = ReadingBuilder("pump").value("v", c.value).build();
    DatabaseRecord record = mapper.mapReadingToRecord(reading.get());
    EXPECT_EQ(record.getValue("v"), c.text);
    EXPECT_EQ(record.getSQLType("v"), c.sqlType);
    EXPECT_EQ(record.getConstraints("v"), NULLABLE);
    EXPECT_EQ(capture.count(Level::INFO, UNSUPPORTED), c.unsupportedMessages);
    EXPECT_EQ(capture.lines().size(), c.unsupportedMessages);
}

const double NAN_VALUE = std::numeric_limits<double>::quiet_NaN();
const double INF_VALUE = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Tags, DatapointValueTest,
    ::testing::Values(
        ValueCase{"Text", DatapointValue("plain"), "plain", "VARCHAR(256)", 0},
        ValueCase{"TextKeptRaw", DatapointValue("say \"hi\" c:\\x 'q'"), "say \"hi\" c:\\x 'q'",
                  "VARCHAR(256)", 0},
        ValueCase{"EmptyText", DatapointValue(""), "", "VARCHAR(256)", 0},
        ValueCase{"TextNull", DatapointValue("null"), "null", "VARCHAR(256)", 0},
        ValueCase{"Zero", DatapointValue(int64_t{0}), "0", "BIGINT", 0},
        ValueCase{"Negative", DatapointValue(int64_t{-42}), "-42", "BIGINT", 0},
        ValueCase{"Int64Min", DatapointValue(std::numeric_limits<int64_t>::min()),
                  "-9223372036854775808", "BIGINT", 0},
        ValueCase{"Int64Max", DatapointValue(std::numeric_limits<int64_t>::max()),
                  "9223372036854775807", "BIGINT", 0},
        ValueCase{"Fixed", DatapointValue(21.5), "21.500000", "REAL", 0},
        ValueCase{"FixedNegative", DatapointValue(-3.25), "-3.250000", "REAL", 0},
        ValueCase{"FixedTenth", DatapointValue(0.1), "0.100000", "REAL", 0},
        ValueCase{"FixedZero", DatapointValue(0.0), "0.000000", "REAL", 0},
        ValueCase{"FixedNegativeZero", DatapointValue(-0.0), "-0.000000", "REAL", 0},
        ValueCase{"FixedLarge", DatapointValue(1e22), "10000000000000000000000.000000", "REAL", 0},
        // Snowflake's numbers hold 38 digits: beyond, the exponent form is a FLOAT literal.
        ValueCase{"FixedAt38Digits", DatapointValue(5e31),
                  "50000000000000002683081102196736.000000", "REAL", 0},
        ValueCase{"ExponentPast38Digits", DatapointValue(1e32), "1e+32", "REAL", 0},
        ValueCase{"LargestFloat", DatapointValue(3.4028234663852886e38), "3.4028234663852886e+38",
                  "REAL", 0},
        ValueCase{"LargestDoubleNegative", DatapointValue(-1.7976931348623157e308),
                  "-1.7976931348623157e+308", "REAL", 0},
        ValueCase{"Tiny", DatapointValue(1e-7), "1e-07", "REAL", 0},
        ValueCase{"Precise", DatapointValue(0.123456789), "0.123456789", "REAL", 0},
        ValueCase{"SeventhDecimal", DatapointValue(21.0000001), "21.0000001", "REAL", 0},
        ValueCase{"Denormal", DatapointValue(5e-324), "5e-324", "REAL", 0},
        ValueCase{"NaN", DatapointValue(NAN_VALUE), "null", "REAL", 0},
        ValueCase{"Infinity", DatapointValue(INF_VALUE), "null", "REAL", 0},
        ValueCase{"MinusInfinity", DatapointValue(-INF_VALUE), "null", "REAL", 0},
        ValueCase{"FloatArray", DatapointValue(std::vector<double>{1.5, 2.0}), "[1.5,2]",
                  "VARCHAR(256)", 0},
        ValueCase{"FloatArrayShortestForms",
                  DatapointValue(std::vector<double>{1e-7, 0.1, -21.25, 1e300, 5e-324}),
                  "[1e-07,0.1,-21.25,1e+300,5e-324]", "VARCHAR(256)", 0},
        ValueCase{"FloatArrayNonFinite",
                  DatapointValue(std::vector<double>{NAN_VALUE, 1.0, INF_VALUE, -INF_VALUE}),
                  "[null,1,null,null]", "VARCHAR(256)", 0},
        ValueCase{"FloatArrayEmpty", DatapointValue(std::vector<double>{}), "[]", "VARCHAR(256)",
                  0},
        ValueCase{"Dict",
                  dict({new Datapoint("a", DatapointValue(int64_t{1})),
                        new Datapoint("b", DatapointValue("x\"y"))}),
                  "{\"a\":1,\"b\":\"x\\\"y\"}", "VARCHAR(256)", 0},
        ValueCase{"List",
                  list({new Datapoint("a", DatapointValue(2.5)),
                        new Datapoint("b", DatapointValue("s"))}),
                  "[2.5,\"s\"]", "VARCHAR(256)", 0},
        ValueCase{"Image", DatapointValue::image({1, 2, 3}), "null", "VARCHAR(256)", 1},
        ValueCase{"DataBuffer", DatapointValue::dataBuffer({4}), "null", "VARCHAR(256)", 1}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return info.param.name; });

TEST_F(ReadingMapperTest, FixedTextIsKeptOnlyWhenItReadsBackExactly) {
    for (double number : {21.5, 0.1, 1e-7, 0.123456789, 123456.789, 1e-6, 1e300, -2.5e-5,
                          3.4028234663852886e38, -1.7976931348623157e308}) {
        const std::string text = mapper.datapointValueToString(DatapointValue(number));
        double back = 0.0;
        auto result = std::from_chars(text.data(), text.data() + text.size(), back);
        ASSERT_EQ(result.ec, std::errc()) << text;
        EXPECT_EQ(result.ptr, text.data() + text.size()) << text;
        EXPECT_EQ(back, number) << text;
    }
    EXPECT_EQ(mapper.datapointValueToString(DatapointValue(1e-6)), "0.000001");
    EXPECT_EQ(mapper.datapointValueToString(DatapointValue(123456.789)), "123456.789000");
}

TEST_F(ReadingMapperTest, EachImageDatapointLogsOnce) {
    LogCapture capture;
    auto reading = ReadingBuilder("cam")
                       .value("front", DatapointValue::image({1}))
                       .value("rear", DatapointValue::image({2}))
                       .value("raw", DatapointValue::dataBuffer({3}))
                       .value("array", DatapointValue(std::vector<double>{1.0}))
                       .build();
    DatabaseRecord record = mapper.mapReadingToRecord(reading.get());
    EXPECT_EQ(capture.count(Level::INFO, UNSUPPORTED), 3u);
    EXPECT_EQ(record.getValue("front"), "null");
    EXPECT_EQ(record.getValue("array"), "[1]");
}

TEST_F(ReadingMapperTest, DatapointReplacesAStandardColumnInPlace) {
    auto reading = ReadingBuilder("pump")
                       .at(TIME)
                       .integer("ts", 17)
                       .text("asset_code", "override")
                       .real("extra", 1.5)
                       .build();
    DatabaseRecord record = mapper.mapReadingToRecord(reading.get());
    EXPECT_EQ(record.getColumnNames(),
              (Strings{"asset_code", "user_ts", "ts", "tolvane", "extra"}));
    EXPECT_EQ(record.getValues(), (Strings{"override", STAMP, "17", "edge1", "1.500000"}));
    EXPECT_EQ(record.getSQLType("ts"), "BIGINT");
    EXPECT_EQ(record.getConstraints("ts"), NULLABLE);
    EXPECT_EQ(record.getSQLType("asset_code"), "VARCHAR(256)");
    EXPECT_EQ(record.getConstraints("asset_code"), NULLABLE);
    EXPECT_EQ(record.getTableName(), "pump");
}

TEST_F(ReadingMapperTest, LaterDatapointOfTheSameNameWins) {
    auto reading = ReadingBuilder("pump").integer("v", 1).text("w", "x").real("v", 2.5).build();
    DatabaseRecord record = mapper.mapReadingToRecord(reading.get());
    EXPECT_EQ(record.getColumnNames(),
              (Strings{"asset_code", "user_ts", "ts", "tolvane", "v", "w"}));
    EXPECT_EQ(record.getValue("v"), "2.500000");
    EXPECT_EQ(record.getSQLType("v"), "REAL");
}

TEST_F(ReadingMapperTest, NulBytesLeaveNamesAndEmptyDatapointNamesLeaveTheRow) {
    using namespace std::string_literals;
    LogCapture capture;
    auto reading = ReadingBuilder("nul\0asset"s)
                       .integer("a\0b"s, 1)
                       .integer("", 2)
                       .integer("\0"s, 3)
                       .integer("c", 4)
                       .build();
    DatabaseRecord record = mapper.mapReadingToRecord(reading.get());
    EXPECT_EQ(record.getTableName(), "nulasset");
    EXPECT_EQ(record.getColumnNames(),
              (Strings{"asset_code", "user_ts", "ts", "tolvane", "ab", "c"}));
    EXPECT_EQ(record.getValue("ab"), "1");
    // The value itself is kept as it is; literals drop NUL bytes where they are written.
    EXPECT_EQ(record.getValue("asset_code"), "nul\0asset"s);
    EXPECT_EQ(capture.count(Level::WARN,
                            "Datapoint without a name left out of a row for table 'nulasset'"),
              2u);
}

// The row reader renders without records: it must find the record's columns and values.
TEST_F(ReadingMapperTest, RowReaderReadsWhatTheRecordHolds) {
    using namespace std::string_literals;
    std::vector<std::unique_ptr<Reading>> readings;
    readings.push_back(ReadingBuilder("pump")
                           .at("2024-03-01 12:34:56.000001")
                           .integer("n", -7)
                           .real("t", 0.1)
                           .text("s", "O'Brien \\ x")
                           .value(HINT, DatapointValue(std::string("{\"tablename\":\"x\"}")))
                           .build());
    // Same second, other microseconds; then another second.
    readings.push_back(ReadingBuilder("pump")
                           .at("2024-03-01 12:34:56.999999")
                           .integer("ts", 17)
                           .text("asset_code", "override")
                           .integer("v", 1)
                           .real("v", 2.5)
                           .build());
    readings.push_back(ReadingBuilder("pump")
                           .at("2024-03-01 12:34:57.000000")
                           .integer("a\0b"s, 1)
                           .integer("", 2)
                           .value("d", dict({new Datapoint("k", DatapointValue(int64_t{3}))}))
                           .value("l", list({new Datapoint("", DatapointValue(1.5))}))
                           .build());
    readings.push_back(ReadingBuilder("pump").at("2024-03-01 12:34:56.500000").build());
    RowReader reader(mapper);
    for (const auto& reading : readings) {
        const DatabaseRecord record = mapper.mapReadingToRecord(reading.get());
        Strings names;
        std::vector<int> sources;
        size_t unnamed = 0;
        reader.readColumns(*reading, names, sources, unnamed);
        EXPECT_EQ(names, record.getColumnNames());
        Strings values;
        for (int source : sources) {
            values.push_back(reader.withValue(
                *reading, source,
                [](const char* text, size_t length) { return std::string(text, length); }));
        }
        EXPECT_EQ(values, record.getValues());
        EXPECT_EQ(unnamed, reading.get() == readings[2].get() ? 1u : 0u);
    }
}

struct IdentifierCaseCase {
    const char* name;
    ReadingMapper::IdentifierCase identifierCase;
    std::string sent;
    std::string stored;
};

class IdentifierCaseTest : public ::testing::TestWithParam<IdentifierCaseCase> {};

TEST_P(IdentifierCaseTest, NamesTheIdentifier) {
    ReadingMapper mapper;
    mapper.setIdentifierCase(GetParam().identifierCase);
    EXPECT_EQ(mapper.identifierFor(GetParam().sent), GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(
    Names, IdentifierCaseTest,
    ::testing::Values(
        IdentifierCaseCase{"AsSent", ReadingMapper::IdentifierCase::AS_SENT, "Pump_1", "Pump_1"},
        IdentifierCaseCase{"Upper", ReadingMapper::IdentifierCase::UPPER, "pump_1$z", "PUMP_1$Z"},
        IdentifierCaseCase{"UpperAlready", ReadingMapper::IdentifierCase::UPPER, "PUMP", "PUMP"},
        // Only a-z: other characters, letters of other scripts included, stay as they are.
        IdentifierCaseCase{"UpperAsciiOnly", ReadingMapper::IdentifierCase::UPPER,
                           "temp \xc3\xa4 [\"x\"] `{}`", "TEMP \xc3\xa4 [\"X\"] `{}`"},
        IdentifierCaseCase{"UpperEmpty", ReadingMapper::IdentifierCase::UPPER, "", ""}),
    [](const ::testing::TestParamInfo<IdentifierCaseCase>& info) { return info.param.name; });

// With UPPER every name made for a reading is upper case; values and the hint's name are not.
TEST_F(ReadingMapperTest, UpperCaseNamesTablesAndColumnsButNotValues) {
    mapper.setIdentifierCase(ReadingMapper::IdentifierCase::UPPER);
    std::unique_ptr<Reading> plain =
        ReadingBuilder("Pump1").at(TIME).real("Temp", 1.5).real("temp", 2.5).build();
    std::unique_ptr<Reading> hinted =
        ReadingBuilder("Pump1")
            .at(TIME)
            .value(HINT, DatapointValue(std::string("{\"tablename\":\"Pressure_Log\"}")))
            .build();

    EXPECT_EQ(mapper.tableNameFor(plain.get()), "PUMP1");
    EXPECT_EQ(mapper.tableNameFor(hinted.get()), "PRESSURE_LOG");
    EXPECT_EQ(mapper.extractTableName(hinted.get()), "Pressure_Log");
    const DatabaseRecord record = mapper.mapReadingToRecord(plain.get());
    EXPECT_EQ(record.getTableName(), "PUMP1");
    EXPECT_EQ(record.getColumnNames(), (Strings{"ASSET_CODE", "USER_TS", "TS", "TOLVANE", "TEMP"}));
    EXPECT_EQ(record.getValues(), (Strings{"Pump1", STAMP, STAMP, "edge1", "2.500000"}));
    EXPECT_EQ(mapper.mapReadingToRecord(hinted.get()).getColumnNames(),
              (Strings{"ASSET_CODE", "USER_TS", "TS", "TOLVANE"}));
    // The row reader names the columns as the record does.
    RowReader reader(mapper);
    Strings names;
    std::vector<int> sources;
    size_t unnamed = 0;
    reader.readColumns(*plain, names, sources, unnamed);
    EXPECT_EQ(names, record.getColumnNames());
}

struct JSONCase {
    const char* name;
    std::function<DatapointValue()> value;
    std::string json;
};

class DatapointJSONTest : public ::testing::TestWithParam<JSONCase> {};

TEST_P(DatapointJSONTest, WritesValidJSON) {
    EXPECT_EQ(ReadingMapper::datapointValueToJSON(GetParam().value()), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DatapointJSONTest,
    ::testing::Values(JSONCase{"Text", [] { return DatapointValue("say \"hi\" \\ \n"); },
                               "\"say \\\"hi\\\" \\\\ \\n\""},
                      JSONCase{"Integer", [] { return DatapointValue(int64_t{-42}); }, "-42"},
                      JSONCase{"Float", [] { return DatapointValue(21.5); }, "21.5"},
                      JSONCase{"NaN", [] { return DatapointValue(std::nan("")); }, "null"},
                      JSONCase{"FloatArray",
                               [] {
                                   return DatapointValue(std::vector<double>{
                                       0.1, -1e300, std::numeric_limits<double>::infinity()});
                               },
                               "[0.1,-1e300,null]"},
                      JSONCase{"Nested",
                               [] {
                                   return dict(
                                       {new Datapoint("a\"", DatapointValue(int64_t{1})),
                                        new Datapoint("l",
                                                      list({new Datapoint("", DatapointValue("x")),
                                                            new Datapoint("", dict({}))}))});
                               },
                               "{\"a\\\"\":1,\"l\":[\"x\",{}]}"},
                      JSONCase{"Image",
                               [] {
                                   return DatapointValue::image({1, 2});
                               },
                               "null"}),
    [](const ::testing::TestParamInfo<JSONCase>& info) { return info.param.name; });

TEST_F(ReadingMapperTest, NullReadingIsReportedAndGivesAnEmptyRecord) {
    LogCapture capture;
    EXPECT_EQ(mapper.extractTableName(nullptr), "");
    DatabaseRecord record = mapper.mapReadingToRecord(nullptr);
    EXPECT_EQ(record.getTableName(), "");
    EXPECT_TRUE(record.getColumnNames().empty());
    EXPECT_EQ(
        capture.lines(),
        (std::vector<LogCapture::Line>{{Level::ERROR, "Cannot process null reading - skipping"}}));
}

TEST(ReadingMapperSetupTest, MappingWithoutBuilderGivesNoRowAndOneError) {
    ReadingMapper mapper("edge1");
    auto hinted = ReadingBuilder("pump")
                      .integer("n", 1)
                      .value(HINT, DatapointValue("{\"tablename\":\"other\"}"))
                      .build();
    LogCapture capture;
    EXPECT_EQ(mapper.extractTableName(hinted.get()), "pump");
    EXPECT_TRUE(capture.lines().empty());

    DatabaseRecord record = mapper.mapReadingToRecord(hinted.get());
    EXPECT_EQ(record.getTableName(), "");
    EXPECT_TRUE(record.getColumnNames().empty());
    EXPECT_EQ(
        capture.lines(),
        (std::vector<LogCapture::Line>{{Level::ERROR, "Cannot map reading: no SQL builder set"}}));

    Batch batch;
    batch.add(ReadingBuilder("a").build());
    batch.add(ReadingBuilder("b").build());
    EXPECT_TRUE(mapper.mapReadingsToRecords(batch.pointers()).empty());
}

// Hint routing: the hint datapoint's value, the table it leads to, and whether the hint text
// is reported as invalid JSON (with the cleaned text).
struct HintCase {
    const char* name;
    DatapointValue hint;
    std::string table;
    bool invalid;
    std::string reportedText;
};

class HintTest : public ::testing::TestWithParam<HintCase> {};

TEST_P(HintTest, RoutesTheReading) {
    SnowflakeSQLBuilder builder;
    ReadingMapper mapper("edge1", &builder);
    const HintCase& c = GetParam();
    auto reading = ReadingBuilder("asset").integer("n", 1).value(HINT, c.hint).build();
    LogCapture capture;

    EXPECT_EQ(mapper.extractTableName(reading.get()), c.table);
    EXPECT_EQ(capture.count(Level::DEBUG, PROCESSING), 1u);
    EXPECT_EQ(linesStartingWith(capture, Level::DEBUG, INVALID_PREFIX), c.invalid ? 1u : 0u);
    if (c.invalid) {
        EXPECT_TRUE(capture.contains(Level::DEBUG, INVALID_PREFIX + c.reportedText));
    }
    EXPECT_EQ(capture.lines().size(), c.invalid ? 2u : 1u);

    capture.clear();
    DatabaseRecord record = mapper.mapReadingToRecord(reading.get());
    EXPECT_EQ(record.getTableName(), c.table);
    EXPECT_FALSE(record.hasColumn(HINT));
    EXPECT_EQ(record.getColumnNames(), (Strings{"asset_code", "user_ts", "ts", "tolvane", "n"}));
    EXPECT_EQ(record.getValue("asset_code"), "asset");
}

DatapointValue hintObject(std::vector<Datapoint*> members) {
    return dict(std::move(members));
}

INSTANTIATE_TEST_SUITE_P(
    Hints, HintTest,
    ::testing::Values(
        // A text value's host text is quoted with its inner quotes escaped.
        HintCase{"QuotedText", DatapointValue("{\"tablename\":\"pressure_log\"}"), "pressure_log",
                 false, ""},
        HintCase{"ObjectValue",
                 hintObject({new Datapoint("tablename", DatapointValue("pressure_log"))}),
                 "pressure_log", false, ""},
        HintCase{"OtherMembersIgnored",
                 DatapointValue("{\"x\":[1,{}],\"tablename\":\"t1\",\"y\":null}"), "t1", false, ""},
        HintCase{"KeptVerbatim", DatapointValue("{\"tablename\":\" Mixed Case.$x \"}"),
                 " Mixed Case.$x ", false, ""},
        HintCase{"SpacesAround", DatapointValue("  {\"tablename\":\"w\"} "), "w", false, ""},
        HintCase{"FirstOfRepeatedKey",
                 DatapointValue("{\"tablename\":\"first\",\"tablename\":\"second\"}"), "first",
                 false, ""},
        HintCase{"BackslashesRemovedEverywhere", DatapointValue("{\"table\\name\":\"n\\\\x\"}"),
                 "nx", false, ""},
        HintCase{"EmptyTableName", DatapointValue("{\"tablename\":\"\"}"), "asset", false, ""},
        HintCase{"NoTableName", DatapointValue("{\"table\":\"x\"}"), "asset", false, ""},
        HintCase{"KeyIsCaseSensitive", DatapointValue("{\"TableName\":\"x\"}"), "asset", false, ""},
        HintCase{"NumberTableName",
                 hintObject({new Datapoint("tablename", DatapointValue(int64_t{5}))}), "asset",
                 false, ""},
        HintCase{"ObjectTableName", DatapointValue("{\"tablename\":{\"a\":\"b\"}}"), "asset", false,
                 ""},
        HintCase{"NullTableName", DatapointValue("{\"tablename\":null}"), "asset", false, ""},
        HintCase{"ArrayRoot", DatapointValue("[{\"tablename\":\"x\"}]"), "asset", false, ""},
        HintCase{"StringRoot", DatapointValue("\"x\""), "asset", false, ""},
        HintCase{"NumberRoot", DatapointValue(int64_t{42}), "asset", false, ""},
        HintCase{"TrueRoot", DatapointValue("true"), "asset", false, ""},
        HintCase{"NullRoot", DatapointValue("null"), "asset", false, ""},
        HintCase{"Empty", DatapointValue(""), "asset", true, ""},
        HintCase{"Word", DatapointValue("sensors"), "asset", true, "sensors"},
        HintCase{"EscapedQuoteInName", DatapointValue("{\"tablename\":\"a\\\"b\"}"), "asset", true,
                 "{\"tablename\":\"a\"b\"}"},
        HintCase{"OnePairStrippedOnly", DatapointValue("\"{\"tablename\":\"x\"}\""), "asset", true,
                 "\"{\"tablename\":\"x\"}\""},
        HintCase{"TrailingText", DatapointValue("{\"tablename\":\"x\"} y"), "asset", true,
                 "{\"tablename\":\"x\"} y"},
        HintCase{"TwoRoots", DatapointValue("{\"tablename\":\"x\"}{}"), "asset", true,
                 "{\"tablename\":\"x\"}{}"},
        HintCase{"TrailingNul", DatapointValue(std::string("{\"tablename\":\"x\"}\0", 18)), "asset",
                 true, "{\"tablename\":\"x\"}"},
        HintCase{"TextAfterNul", DatapointValue(std::string("{\"tablename\":\"x\"}\0 junk", 23)),
                 "asset", true, "{\"tablename\":\"x\"}"},
        HintCase{"Comment", DatapointValue("{\"tablename\":\"x\"} // c"), "asset", true,
                 "{\"tablename\":\"x\"} // c"},
        HintCase{"TrailingComma", DatapointValue("{\"tablename\":\"x\",}"), "asset", true,
                 "{\"tablename\":\"x\",}"},
        HintCase{"NaNLiteral", DatapointValue("{\"tablename\":\"x\",\"v\":NaN}"), "asset", true,
                 "{\"tablename\":\"x\",\"v\":NaN}"},
        HintCase{"SingleQuotes", DatapointValue("{'tablename':'x'}"), "asset", true,
                 "{'tablename':'x'}"},
        HintCase{"VerticalTabIsNotWhitespace", DatapointValue("\v{\"tablename\":\"x\"}"), "asset",
                 true, "\v{\"tablename\":\"x\"}"}),
    [](const ::testing::TestParamInfo<HintCase>& info) { return info.param.name; });

// Hostile hints: nesting deeper than any stack allows recursion for, and texts beyond the size
// a table name needs. The table is chosen on a thread with a small stack, where a parser that
// recursed once per nesting level would overflow it long before the size cap.
struct HostileHintCase {
    const char* name;
    std::string text;
    std::string table;
    std::string debugLine;  // empty: none
};

std::string nested(size_t depth, const std::string& inner) {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

const std::string NAMED = "{\"tablename\":\"deep\",\"x\":";
const std::string SMALL = "{\"tablename\":\"t\"}";
const size_t CAP = ReadingMapper::MAX_HINT_BYTES;

const HostileHintCase HOSTILE_HINTS[] = {
    {"MillionOpenBrackets", std::string(1000000, '['), "asset",
     INVALID_PREFIX + std::string(CAP, '[') + "..."},
    {"MillionBalancedBrackets", nested(500000, ""), "asset",
     INVALID_PREFIX + std::string(CAP, '[') + "..."},
    {"OpenBracketsUpToTheCap", std::string(CAP, '['), "asset",
     INVALID_PREFIX + std::string(CAP, '[')},
    {"NestingUpToTheCapKeepsItsTable", NAMED + nested((CAP - NAMED.size() - 3) / 2, "1") + "}",
     "deep", ""},
    {"PaddedToExactlyTheCap", SMALL + std::string(CAP - SMALL.size(), ' '), "t", ""},
    {"OneByteOverTheCap", SMALL + std::string(CAP - SMALL.size() + 1, ' '), "asset",
     INVALID_PREFIX + SMALL + std::string(CAP - SMALL.size(), ' ') + "..."},
};

std::ostream& operator<<(std::ostream& out, const HostileHintCase& c) {
    return out << c.name;
}

// Runs `task` on a new thread with a stack of `bytes`.
void onSmallStack(size_t bytes, std::function<void()> task) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, bytes), 0);
    pthread_t thread;
    auto run = [](void* argument) -> void* {
        (*static_cast<std::function<void()>*>(argument))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, &task), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

class HostileHint : public ::testing::TestWithParam<HostileHintCase> {};

TEST_P(HostileHint, NeverCrashesAndFallsBackToTheAsset) {
    const HostileHintCase& c = GetParam();
    SnowflakeSQLBuilder builder;
    ReadingMapper mapper("edge1", &builder);
    auto reading =
        ReadingBuilder("asset").integer("n", 1).value(HINT, DatapointValue(c.text)).build();
    LogCapture capture;

    std::string table;
    onSmallStack(128 * 1024, [&] { table = mapper.extractTableName(reading.get()); });

    EXPECT_EQ(table, c.table);
    std::vector<LogCapture::Line> expected = {{Level::DEBUG, PROCESSING}};
    if (!c.debugLine.empty()) {
        expected.emplace_back(Level::DEBUG, c.debugLine);
    }
    EXPECT_EQ(capture.lines(), expected);
}

INSTANTIATE_TEST_SUITE_P(Hints, HostileHint, ::testing::ValuesIn(HOSTILE_HINTS),
                         [](const ::testing::TestParamInfo<HostileHintCase>& info) {
                             return info.param.name;
                         });

TEST_F(ReadingMapperTest, ReadingWithoutHintKeepsItsAssetAndLogsNothing) {
    auto reading = ReadingBuilder("pump")
                       .text("SnowflakeHint", "{\"tablename\":\"x\"}")
                       .text("tablename", "y")
                       .build();
    LogCapture capture;
    DatabaseRecord record = mapper.mapReadingToRecord(reading.get());
    EXPECT_EQ(record.getTableName(), "pump");
    EXPECT_TRUE(record.hasColumn("SnowflakeHint"));
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(ReadingMapperTest, ReadingWithOnlyAHint) {
    auto reading = ReadingBuilder("pump").text(HINT, "{\"tablename\":\"pressure_log\"}").build();
    DatabaseRecord record = mapper.mapReadingToRecord(reading.get());
    EXPECT_EQ(record.getTableName(), "pressure_log");
    EXPECT_EQ(record.getColumnNames(), (Strings{"asset_code", "user_ts", "ts", "tolvane"}));
}

TEST_F(ReadingMapperTest, EmptyBatch) {
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords({});
    EXPECT_TRUE(records.empty());
    EXPECT_TRUE(mapper.groupRecordsByTable(records).empty());
}

TEST_F(ReadingMapperTest, NullEntriesAndUnnamedRowsAreDroppedSilently) {
    Batch batch;
    batch.add(ReadingBuilder("first").integer("i", 1).build());
    batch.addNull();
    batch.add(ReadingBuilder("").integer("i", 2).build());
    batch.add(ReadingBuilder("").integer("i", 3).text(HINT, "{\"tablename\":\"\"}").build());
    batch.add(ReadingBuilder("last").integer("i", 4).build());
    LogCapture capture;
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(batch.pointers());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].getTableName(), "first");
    EXPECT_EQ(records[1].getTableName(), "last");
    EXPECT_EQ(records[1].getValue("i"), "4");
    EXPECT_EQ(capture.texts(Level::ERROR), Strings{});
    EXPECT_EQ(capture.texts(Level::INFO), Strings{});
    EXPECT_EQ(capture.texts(Level::WARN), Strings{});
}

TEST_F(ReadingMapperTest, EmptyAssetRoutedByHintIsKept) {
    Batch batch;
    batch.add(ReadingBuilder("").text(HINT, "{\"tablename\":\"routed\"}").build());
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(batch.pointers());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].getTableName(), "routed");
    EXPECT_EQ(records[0].getValue("asset_code"), "");
}

Strings groupNames(const std::map<std::string, std::vector<DatabaseRecord>>& groups) {
    Strings names;
    for (const auto& group : groups) {
        names.push_back(group.first);
    }
    return names;
}

TEST_F(ReadingMapperTest, GroupsInByteOrderAndKeepsBatchOrder) {
    Batch batch;
    batch.add(ReadingBuilder("b").integer("seq", 1).build());
    batch.add(ReadingBuilder("a").integer("seq", 2).build());
    batch.add(ReadingBuilder("b").integer("seq", 3).build());
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(batch.pointers());
    auto groups = mapper.groupRecordsByTable(records);

    EXPECT_EQ(groupNames(groups), (Strings{"a", "b"}));
    ASSERT_EQ(groups["a"].size(), 1u);
    EXPECT_EQ(groups["a"][0].getValue("seq"), "2");
    ASSERT_EQ(groups["b"].size(), 2u);
    EXPECT_EQ(groups["b"][0].getValue("seq"), "1");
    EXPECT_EQ(groups["b"][1].getValue("seq"), "3");
    for (const DatabaseRecord& record : records) {
        EXPECT_EQ(record.getTableName(), "");
        EXPECT_TRUE(record.getColumnNames().empty());
    }
}

TEST_F(ReadingMapperTest, HintedTablesGroupByExactName) {
    Batch batch;
    for (const char* table : {"pressure_log", "Pressure_Log", "pressure_log", "pressure_lo",
                              "z\xc3\xa9", "zeta", "Pressure_Log"}) {
        batch.add(ReadingBuilder("asset")
                      .text(HINT, std::string("{\"tablename\":\"") + table + "\"}")
                      .build());
    }
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(batch.pointers());
    auto groups = mapper.groupRecordsByTable(records);
    // Upper case before lower case, a prefix before its extensions, bytes above 127 last.
    EXPECT_EQ(groupNames(groups),
              (Strings{"Pressure_Log", "pressure_lo", "pressure_log", "zeta", "z\xc3\xa9"}));
    EXPECT_EQ(groups["Pressure_Log"].size(), 2u);
    EXPECT_EQ(groups["pressure_log"].size(), 2u);
}

TEST_F(ReadingMapperTest, GroupingLeavesUnnamedRecordsInPlace) {
    std::vector<DatabaseRecord> records;
    records.emplace_back("t");
    records.back().addColumn("a", "1", "BIGINT", NONE);
    records.emplace_back();
    records.back().addColumn("orphan", "2", "BIGINT", NONE);
    records.emplace_back("t");
    auto groups = mapper.groupRecordsByTable(records);
    EXPECT_EQ(groupNames(groups), (Strings{"t"}));
    EXPECT_EQ(groups["t"].size(), 2u);
    EXPECT_EQ(groups["t"][0].getValue("a"), "1");
    EXPECT_EQ(records[1].getValue("orphan"), "2");
}

// A full-size batch: 100,000 readings of 10 datapoints each, mapped and grouped. Records can
// only be moved, so this compiles only if no step copies one.
TEST_F(ReadingMapperTest, LargeBatchIsMappedAndGrouped) {
    constexpr int READINGS = 100000;
    const char* const assets[] = {"pump", "valve", "tank"};
    Batch batch;
    for (int i = 0; i < READINGS; ++i) {
        ReadingBuilder reading(assets[i % 3]);
        reading.integer("seq", i);
        for (int d = 1; d < 10; ++d) {
            if (d % 3 == 0) {
                reading.text("s" + std::to_string(d), "value");
            } else if (d % 3 == 1) {
                reading.real("r" + std::to_string(d), i * 0.5);
            } else {
                reading.integer("i" + std::to_string(d), i + d);
            }
        }
        batch.add(reading.build());
    }

    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(batch.pointers());
    ASSERT_EQ(records.size(), static_cast<size_t>(READINGS));
    auto groups = mapper.groupRecordsByTable(records);

    ASSERT_EQ(groupNames(groups), (Strings{"pump", "tank", "valve"}));
    size_t total = 0;
    for (const auto& group : groups) {
        long previous = -1;
        for (const DatabaseRecord& record : group.second) {
            ASSERT_EQ(record.columnNameList().size(), 14u);
            const long seq = std::stol(record.getValue("seq"));
            ASSERT_GT(seq, previous);
            previous = seq;
        }
        total += group.second.size();
    }
    EXPECT_EQ(total, static_cast<size_t>(READINGS));
    const DatabaseRecord& sample = groups["valve"][0];
    EXPECT_EQ(sample.getValue("seq"), "1");
    EXPECT_EQ(sample.getValue("r1"), "0.500000");
    EXPECT_EQ(sample.getValue("i2"), "3");
    EXPECT_EQ(sample.getValue("s3"), "value");
}

}  // namespace
