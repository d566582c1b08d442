#include <sys/time.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mapping/reading_parser.h"

namespace {

std::string wrap(const std::string& value) {
    return "{\"asset\": \"pump\", \"readings\": {\"v\": " + value + "}}";
}

struct KindCase {
    const char* name;
    const char* json;
    DatapointValue::dataTagType type;
    const char* text;  // the value's text form
};

class ReadingParsingKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(ReadingParsingKinds, JsonTypePicksTheDatapointKind) {
    const KindCase& test = GetParam();
    auto readings = ReadingParser::parse(wrap(test.json));
    ASSERT_EQ(readings.size(), 1u);
    ASSERT_EQ(readings[0]->getReadingData().size(), 1u);
    const DatapointValue& value = readings[0]->getReadingData()[0]->getData();
    EXPECT_EQ(value.getType(), test.type);
    EXPECT_EQ(value.toString(), test.text);
}

const KindCase KINDS[] = {
    {"Text", "\"x\"", DatapointValue::T_STRING, "\"x\""},
    {"EmptyText", "\"\"", DatapointValue::T_STRING, "\"\""},
    {"TextWithEscapes", "\"a\\\"b\\\\c\\u00e9\"", DatapointValue::T_STRING,
     "\"a\\\"b\\\\c\xc3\xa9\""},
    {"Integer", "3", DatapointValue::T_INTEGER, "3"},
    {"NegativeInteger", "-17", DatapointValue::T_INTEGER, "-17"},
    {"LargestInteger", "9223372036854775807", DatapointValue::T_INTEGER, "9223372036854775807"},
    {"SmallestInteger", "-9223372036854775808", DatapointValue::T_INTEGER, "-9223372036854775808"},
    {"Float", "21.5", DatapointValue::T_FLOAT, "21.5"},
    {"WholeNumberWrittenAsFloat", "3.0", DatapointValue::T_FLOAT, "3"},
    {"Exponent", "1e3", DatapointValue::T_FLOAT, "1000"},
    {"NegativeFraction", "-0.125", DatapointValue::T_FLOAT, "-0.125"},
    {"Object", "{\"a\": 1, \"b\": \"x\"}", DatapointValue::T_DP_DICT, "{\"a\":1,\"b\":\"x\"}"},
    {"EmptyObject", "{}", DatapointValue::T_DP_DICT, "{}"},
    {"NumberArray", "[1.5, 2]", DatapointValue::T_FLOAT_ARRAY, "[1.5, 2]"},
    {"IntegerArray", "[1, 2, 3]", DatapointValue::T_FLOAT_ARRAY, "[1, 2, 3]"},
    {"EmptyArray", "[]", DatapointValue::T_FLOAT_ARRAY, "[]"},
    // JSON has no NaN or infinity: null stands for a float without a value.
    {"Null", "null", DatapointValue::T_FLOAT, "nan"},
    {"NumberArrayWithNull", "[1.5, null]", DatapointValue::T_FLOAT_ARRAY, "[1.5, nan]"},
    {"MixedArray", "[1, \"a\"]", DatapointValue::T_DP_LIST, "[1,\"a\"]"},
    {"ArrayOfObjects", "[{\"a\": 1}]", DatapointValue::T_DP_LIST, "[{\"a\":1}]"},
    {"ArrayOfArrays", "[[1, 2], [\"x\"]]", DatapointValue::T_DP_LIST, "[[1, 2],[\"x\"]]"},
    {"NestedKinds", "{\"n\": {\"f\": 0.5, \"l\": [\"x\", 2]}}", DatapointValue::T_DP_DICT,
     "{\"n\":{\"f\":0.5,\"l\":[\"x\",2]}}"},
};

std::string kindName(const ::testing::TestParamInfo<KindCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Table, ReadingParsingKinds, ::testing::ValuesIn(KINDS), kindName);

TEST(ReadingParsing, NestedValuesKeepTheirKinds) {
    auto readings =
        ReadingParser::parse(wrap("{\"i\": 1, \"f\": 1.5, \"a\": [1], \"l\": [1, {}]}"));
    const auto& children = readings[0]->getReadingData()[0]->getData().getChildren();
    ASSERT_EQ(children.size(), 4u);
    EXPECT_EQ(children[0]->getName(), "i");
    EXPECT_EQ(children[0]->getData().getType(), DatapointValue::T_INTEGER);
    EXPECT_EQ(children[1]->getData().getType(), DatapointValue::T_FLOAT);
    EXPECT_EQ(children[2]->getData().getType(), DatapointValue::T_FLOAT_ARRAY);
    const auto& list = children[3]->getData().getChildren();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->getName(), "0");
    EXPECT_EQ(list[0]->getData().getType(), DatapointValue::T_INTEGER);
    EXPECT_EQ(list[1]->getName(), "1");
    EXPECT_EQ(list[1]->getData().getType(), DatapointValue::T_DP_DICT);
}

TEST(ReadingParsing, KeepsAssetAndDatapointOrder) {
    auto readings = ReadingParser::parse(
        "{\"readings\": {\"z\": 1, \"a\": \"t\", \"m\": 2.5}, \"asset\": \"boiler 7\"}");
    ASSERT_EQ(readings.size(), 1u);
    EXPECT_EQ(readings[0]->getAssetName(), "boiler 7");
    const auto& data = readings[0]->getReadingData();
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[0]->getName(), "z");
    EXPECT_EQ(data[1]->getName(), "a");
    EXPECT_EQ(data[2]->getName(), "m");
}

TEST(ReadingParsing, ReadingWithoutDatapoints) {
    auto readings = ReadingParser::parse("{\"asset\": \"a\", \"readings\": {}}");
    ASSERT_EQ(readings.size(), 1u);
    EXPECT_TRUE(readings[0]->getReadingData().empty());
}

struct FormatCase {
    const char* name;
    std::string input;
    std::vector<std::string> assets;
};

class ReadingParsingFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ReadingParsingFormats, YieldTheReadingsInOrder) {
    const FormatCase& test = GetParam();
    auto readings = ReadingParser::parse(test.input);
    std::vector<std::string> assets;
    for (const auto& reading : readings) {
        assets.push_back(reading->getAssetName());
    }
    EXPECT_EQ(assets, test.assets);
}

const std::string R1 = "{\"asset\": \"a\", \"readings\": {\"x\": 1}}";
const std::string R2 = "{\"asset\": \"b\", \"readings\": {\"x\": 2}}";
const std::string R3 = "{\"asset\": \"c\", \"readings\": {\"x\": 3}}";

const FormatCase FORMATS[] = {
    {"Empty", "", {}},
    {"WhitespaceOnly", " \n\t\r\n", {}},
    {"EmptyArray", "[]", {}},
    {"SingleObject", R1, {"a"}},
    {"Array", "[" + R1 + ", " + R2 + ", " + R3 + "]", {"a", "b", "c"}},
    {"JsonLines", R1 + "\n" + R2 + "\n" + R3 + "\n", {"a", "b", "c"}},
    {"JsonLinesWithCarriageReturnsAndBlankLines", R1 + "\r\n\r\n" + R2 + "\r\n", {"a", "b"}},
    {"JsonLinesWithoutFinalNewline", R1 + "\n" + R2, {"a", "b"}},
    {"PrettyPrintedObject",
     "{\n  \"asset\": \"a\",\n  \"readings\": {\n    \"x\": 1\n  }\n}\n",
     {"a"}},
    {"ObjectsBackToBack", R1 + R2, {"a", "b"}},
    {"ArraysOneAfterAnother", "[" + R1 + "]\n[" + R2 + ", " + R3 + "]", {"a", "b", "c"}},
};

std::string formatName(const ::testing::TestParamInfo<FormatCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Table, ReadingParsingFormats, ::testing::ValuesIn(FORMATS), formatName);

TEST(ReadingParsing, TimestampsAreTakenAsUtc) {
    auto readings = ReadingParser::parse(
        "{\"asset\": \"a\", \"user_ts\": \"2026-12-08 07:00:00.123456\", "
        "\"ts\": \"2026-12-08 07:00:01.5\", \"readings\": {}}");
    ASSERT_EQ(readings.size(), 1u);
    EXPECT_EQ(readings[0]->getAssetDateUserTime(0, true), "2026-12-08 07:00:00.123456");
    EXPECT_EQ(readings[0]->getAssetDateTime(0, true), "2026-12-08 07:00:01.500000");
}

TEST(ReadingParsing, MissingUserTimeFollowsTheSystemTime) {
    auto readings = ReadingParser::parse(
        "{\"asset\": \"a\", \"ts\": \"2026-01-01T00:00:00Z\", \"readings\": {}}");
    EXPECT_EQ(readings[0]->getAssetDateTime(0, true), "2026-01-01 00:00:00.000000");
    EXPECT_EQ(readings[0]->getAssetDateUserTime(0, true), "2026-01-01 00:00:00.000000");
}

TEST(ReadingParsing, MissingSystemTimeIsNow) {
    struct timeval before;
    gettimeofday(&before, nullptr);
    auto readings = ReadingParser::parse(
        "{\"asset\": \"a\", \"user_ts\": \"2020-02-29 23:59:59+00:00\", \"readings\": {}}");
    struct timeval after;
    gettimeofday(&after, nullptr);
    EXPECT_EQ(readings[0]->getAssetDateUserTime(0, true), "2020-02-29 23:59:59.000000");
    EXPECT_GE(readings[0]->getTimestamp().tv_sec, before.tv_sec);
    EXPECT_LE(readings[0]->getTimestamp().tv_sec, after.tv_sec);
}

TEST(ReadingParsing, BothTimesDefaultToTheSameNow) {
    auto readings = ReadingParser::parse(R1);
    EXPECT_EQ(readings[0]->getAssetDateTime(0, true), readings[0]->getAssetDateUserTime(0, true));
}

struct MalformedCase {
    const char* name;
    std::string input;
    const char* message;
};

class ReadingParsingRejects : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(ReadingParsingRejects, WithPositionAndReason) {
    const MalformedCase& test = GetParam();
    try {
        ReadingParser::parse(test.input);
        FAIL() << "accepted";
    } catch (const ReadingParseError& error) {
        EXPECT_EQ(std::string(error.what()), test.message);
    }
}

const MalformedCase MALFORMED[] = {
    {"UnclosedObject", "{\"asset\": \"a\", \"readings\": {\"x\": 1}",
     "line 1, column 36 (end of input): Missing a comma or '}' after an object member."},
    {"BrokenSecondLine", R1 + "\n{\"asset\": \"b\" \"readings\": {}}\n",
     "line 2, column 15: Missing a comma or '}' after an object member."},
    {"TrailingGarbage", R1 + " xyz", "line 1, column 38: Invalid value."},
    {"TrailingCommaInArray", "[" + R1 + ",]", "line 1, column 39: Invalid value."},
    {"NotJson", "asset=a", "line 1, column 1: Invalid value."},
    {"NulByte", R1 + std::string(1, '\0') + R2, "line 1, column 37: NUL byte in the input"},
    {"InvalidUtf8", "{\"asset\": \"\xff\", \"readings\": {}}",
     "line 1, column 12: Invalid encoding in string."},
    {"ReadingIsANumber", "5", "line 1, reading 1: a reading must be an object, not a number"},
    {"ReadingIsAString", "\"pump\"",
     "line 1, reading 1: a reading must be an object, not a string"},
    {"ArrayElementIsAnArray", "[" + R1 + ", [" + R2 + "]]",
     "line 1, reading 2: array element 1: a reading must be an object, not an array"},
    {"MissingAsset", "{\"readings\": {}}", "line 1, reading 1: member \"asset\" is missing"},
    {"EmptyAsset", "{\"asset\": \"\", \"readings\": {}}",
     "line 1, reading 1: \"asset\" must be a non-empty string"},
    {"NumericAsset", "{\"asset\": 5, \"readings\": {}}",
     "line 1, reading 1: \"asset\" must be a non-empty string"},
    {"MissingReadings", "{\"asset\": \"a\"}", "line 1, reading 1: member \"readings\" is missing"},
    {"ReadingsIsAnArray", "{\"asset\": \"a\", \"readings\": [1]}",
     "line 1, reading 1: \"readings\" must be an object, not an array"},
    {"UnknownMember", "{\"asset\": \"a\", \"readings\": {}, \"timestamp\": \"x\"}",
     "line 1, reading 1: unknown member \"timestamp\" (expected asset, readings, user_ts, ts)"},
    {"MemberTwice", "{\"asset\": \"a\", \"asset\": \"b\", \"readings\": {}}",
     "line 1, reading 1: member \"asset\" appears twice"},
    {"BooleanValue", wrap("true"),
     "line 1, reading 1: datapoint 'v' is a boolean, which no datapoint kind holds"},
    {"BooleanDeepInside", wrap("{\"a\": [1, {\"b\": false}]}"),
     "line 1, reading 1: datapoint 'v.a[1].b' is a boolean, which no datapoint kind holds"},
    {"DuplicateDatapoint", "{\"asset\": \"a\", \"readings\": {\"x\": 1, \"x\": 2}}",
     "line 1, reading 1: duplicate datapoint 'x'"},
    {"DuplicateNestedDatapoint", wrap("{\"y\": 1, \"y\": 2}"),
     "line 1, reading 1: duplicate datapoint 'v.y'"},
    {"IntegerBeyond64Bits", wrap("18446744073709551615"),
     "line 1, reading 1: datapoint 'v': integer 18446744073709551615 does not fit in 64 bits"},
    {"NumberBeyondDouble", wrap("1e400"),
     "line 1, column 37: Number too big to be stored in double."},
    {"TimeNotAString", "{\"asset\": \"a\", \"ts\": 5, \"readings\": {}}",
     "line 1, reading 1: \"ts\" must be a string, not a number"},
    {"TimeNotATime", "{\"asset\": \"a\", \"ts\": \"yesterday\", \"readings\": {}}",
     "line 1, reading 1: \"ts\" is not a time like \"2026-12-08 07:00:00.123456\": \"yesterday\""},
    {"UserTimeWithBadMonth",
     "{\"asset\": \"a\", \"user_ts\": \"2026-13-01 00:00:00\", \"readings\": {}}",
     "line 1, reading 1: \"user_ts\" is not a time like \"2026-12-08 07:00:00.123456\": "
     "\"2026-13-01 00:00:00\""},
    {"UserTimeWithOffset",
     "{\"asset\": \"a\", \"user_ts\": \"2026-12-01 00:00:00+01:00\", \"readings\": {}}",
     "line 1, reading 1: \"user_ts\" is not a time like \"2026-12-08 07:00:00.123456\": "
     "\"2026-12-01 00:00:00+01:00\""},
    {"CountsReadingsAcrossLines", R1 + "\n" + R2 + "\n\n{\"asset\": \"c\", \"readings\": 3}\n",
     "line 4, reading 3: \"readings\" must be an object, not a number"},
};

std::string malformedName(const ::testing::TestParamInfo<MalformedCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Table, ReadingParsingRejects, ::testing::ValuesIn(MALFORMED),
                         malformedName);

std::string nested(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += "{\"a\": ";
    }
    text += "1";
    for (int i = 0; i < depth; ++i) {
        text += "}";
    }
    return text;
}

TEST(ReadingParsing, AcceptsNestingUpToTheLimit) {
    auto readings = ReadingParser::parse(wrap(nested(ReadingParser::MAX_DEPTH - 1)));
    ASSERT_EQ(readings.size(), 1u);
}

TEST(ReadingParsing, RejectsNestingBeyondTheLimit) {
    try {
        ReadingParser::parse(wrap(nested(ReadingParser::MAX_DEPTH)));
        FAIL() << "accepted";
    } catch (const ReadingParseError& error) {
        EXPECT_NE(std::string(error.what()).find("is nested deeper than 64 levels"),
                  std::string::npos)
            << error.what();
    }
}

TEST(ReadingParsing, SurvivesInputNestedFarTooDeep) {
    const size_t depth = 200000;
    std::string open(depth, '[');
    EXPECT_THROW(ReadingParser::parse(open), ReadingParseError);
    EXPECT_THROW(ReadingParser::parse(wrap(open + std::string(depth, ']'))), ReadingParseError);
}

}  // namespace
