#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/config_category.h"
#include "host/log_capture.h"
#include "host/logger.h"
#include "host/reading.h"
#include "tests/support/case_names.h"

namespace {

using varnholt::test::caseNames;
using Strings = std::vector<std::string>;
using Level = Logger::Level;

struct TextFormCase {
    const char* name;
    DatapointValue value;
    std::string text;
};

class DatapointTextFormTest : public ::testing::TestWithParam<TextFormCase> {};

TEST_P(DatapointTextFormTest, ToString) {
    EXPECT_EQ(GetParam().value.toString(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DatapointTextFormTest,
    ::testing::Values(
        TextFormCase{"Plain", DatapointValue("abc"), "\"abc\""},
        TextFormCase{"Empty", DatapointValue(""), "\"\""},
        TextFormCase{"QuotesAndBackslashes", DatapointValue("a\"b\\c"), "\"a\\\"b\\\\c\""},
        TextFormCase{"JsonText", DatapointValue("{\"tablename\":\"x\"}"),
                     "\"{\\\"tablename\\\":\\\"x\\\"}\""},
        TextFormCase{"Integer", DatapointValue(int64_t{-5}), "-5"},
        TextFormCase{"Float", DatapointValue(21.5), "21.5"},
        TextFormCase{"FloatShortest", DatapointValue(1e-7), "1e-07"},
        TextFormCase{"FloatArray", DatapointValue(std::vector<double>{1.5, 2.0}), "[1.5, 2]"},
        TextFormCase{"Dict",
                     DatapointValue({new Datapoint("a", DatapointValue(int64_t{1})),
                                     new Datapoint("b", DatapointValue("x"))},
                                    true),
                     "{\"a\":1,\"b\":\"x\"}"},
        TextFormCase{"List",
                     DatapointValue({new Datapoint("a", DatapointValue(int64_t{1})),
                                     new Datapoint("b", DatapointValue("x"))},
                                    false),
                     "[1,\"x\"]"},
        TextFormCase{"Image", DatapointValue::image({1, 2, 3}), "\"__IMAGE:3\""},
        TextFormCase{"DataBuffer", DatapointValue::dataBuffer({1}), "\"__DATABUFFER:1\""}),
    [](const ::testing::TestParamInfo<TextFormCase>& info) { return info.param.name; });

TEST(HostDatapointValueTest, TagsAndCopies) {
    DatapointValue nested({new Datapoint("a", DatapointValue(2.5))}, true);
    DatapointValue copy(nested);
    EXPECT_EQ(copy.getType(), DatapointValue::T_DP_DICT);
    ASSERT_EQ(copy.getChildren().size(), 1u);
    EXPECT_NE(copy.getChildren()[0].get(), nested.getChildren()[0].get());
    EXPECT_EQ(copy.toString(), nested.toString());
    EXPECT_EQ(DatapointValue(7).getType(), DatapointValue::T_INTEGER);
    EXPECT_EQ(DatapointValue("s").getType(), DatapointValue::T_STRING);
    EXPECT_EQ(DatapointValue(1.0).getType(), DatapointValue::T_FLOAT);
}

TEST(ReadingTest, TimestampsAreUtcTextWithMicroseconds) {
    Reading reading("pump", std::vector<Datapoint*>{});
    struct timeval user = {1709296496, 789012};  // 2024-03-01 12:34:56.789012 UTC
    struct timeval system = {0, 5};
    reading.setUserTimestamp(user);
    reading.setTimestamp(system);
    EXPECT_EQ(reading.getAssetDateUserTime(0, true), "2024-03-01 12:34:56.789012");
    EXPECT_EQ(reading.getAssetDateUserTime(0, false), "2024-03-01 12:34:56");
    EXPECT_EQ(reading.getAssetDateTime(0, true), "1970-01-01 00:00:00.000005");
}

struct ParseCase {
    std::string text;
    bool accepted;
    long seconds;
    long micros;
};

class ReadingParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ReadingParseTest, ParsesTimestamp) {
    struct timeval tv = {-1, -1};
    EXPECT_EQ(Reading::parseTimestamp(GetParam().text, tv), GetParam().accepted) << GetParam().text;
    if (GetParam().accepted) {
        EXPECT_EQ(tv.tv_sec, GetParam().seconds);
        EXPECT_EQ(tv.tv_usec, GetParam().micros);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReadingParseTest,
    ::testing::Values(ParseCase{"2024-03-01 12:34:56.789012", true, 1709296496, 789012},
                      ParseCase{"2024-03-01T12:34:56", true, 1709296496, 0},
                      ParseCase{"2024-03-01 12:34:56.5Z", true, 1709296496, 500000},
                      ParseCase{"2024-03-01 12:34:56.1234567+00:00", true, 1709296496, 123456},
                      ParseCase{"2024-13-01 00:00:00", false, 0, 0},
                      ParseCase{"2024-03-01 12:34:56.", false, 0, 0},
                      ParseCase{"2024-03-01 12:34:56+01:00", false, 0, 0},
                      ParseCase{"2024-02-31 00:00:00", false, 0, 0},
                      ParseCase{"2024-02-29 00:00:00", true, 1709164800, 0},
                      ParseCase{"2024-01-01 -1:00:00", false, 0, 0},
                      ParseCase{"yesterday", false, 0, 0}, ParseCase{"", false, 0, 0}),
    caseNames([](const ParseCase& c) { return c.text; }));

TEST(ReadingTest, DatapointLookupAndDeepCopy) {
    Reading reading("pump", {new Datapoint("a", DatapointValue(int64_t{1})),
                             new Datapoint("b", DatapointValue("x")),
                             new Datapoint("a", DatapointValue(int64_t{2}))});
    ASSERT_NE(reading.getDatapoint("a"), nullptr);
    EXPECT_EQ(reading.getDatapoint("a")->getData().toInt(), 1);
    EXPECT_EQ(reading.getDatapoint("A"), nullptr);
    EXPECT_EQ(reading.getDatapoint("missing"), nullptr);

    Reading copy(reading);
    ASSERT_EQ(copy.getReadingData().size(), 3u);
    EXPECT_NE(copy.getReadingData()[0], reading.getReadingData()[0]);
    EXPECT_EQ(copy.getAssetName(), "pump");
    EXPECT_EQ(copy.getReadingData()[1]->getData().toStringValue(), "x");
}

const char* const CATEGORY = R"({
    "server": {"type": "string", "default": "localhost", "value": "db.example"},
    "schema": {"type": "string", "default": "PUBLIC"},
    "port": {"type": "integer", "default": "443"},
    "count": {"type": "integer", "default": 5},
    "bad": {"type": "integer", "default": "12x"},
    "empty": {"type": "integer", "default": ""},
    "huge": {"type": "integer", "default": "99999999999999999999999"},
    "params": {"type": "kvlist", "default": "{\"warehouse\":\"WH\",\"role\":\"R\"}"},
    "paramsObject": {"type": "kvlist", "default": {"a": "1"}},
    "notList": {"type": "kvlist", "default": "[1,2]"},
    "numberInList": {"type": "kvlist", "default": "{\"a\":1}"},
    "brokenList": {"type": "kvlist", "default": "{"},
    "noList": {"type": "kvlist", "default": ""}
})";

TEST(ConfigCategoryTest, ValueWinsOverDefault) {
    ConfigCategory category("north", CATEGORY);
    EXPECT_EQ(category.getName(), "north");
    EXPECT_EQ(category.getValue("server"), "db.example");
    EXPECT_EQ(category.getValue("schema", "fallback"), "PUBLIC");
    EXPECT_EQ(category.getValue("missing", "fallback"), "fallback");
    EXPECT_EQ(category.getValue("missing"), "");
    EXPECT_EQ(category.getValue("count"), "5");
    EXPECT_EQ(category.getItemAttribute("server", "default"), "localhost");
    EXPECT_EQ(category.getItemAttribute("server", "nothing"), "");
    EXPECT_TRUE(category.itemExists("port"));
    EXPECT_FALSE(category.itemExists("Port"));
    EXPECT_EQ(category.itemNames().front(), "server");
}

TEST(ConfigCategoryTest, IntegerValues) {
    ConfigCategory category("north", CATEGORY);
    EXPECT_EQ(category.getIntegerValue("port", 1), 443);
    EXPECT_EQ(category.getIntegerValue("count"), 5);
    EXPECT_EQ(category.getIntegerValue("missing", 17), 17);
    for (const char* key : {"bad", "empty", "huge", "server"}) {
        EXPECT_THROW(category.getIntegerValue(key, 1), ConfigCategoryError) << key;
    }
}

TEST(ConfigCategoryTest, KeyValueLists) {
    ConfigCategory category("north", CATEGORY);
    EXPECT_EQ(category.getValueKVList("params"),
              (std::map<std::string, std::string>{{"role", "R"}, {"warehouse", "WH"}}));
    EXPECT_EQ(category.getValueKVList("paramsObject"),
              (std::map<std::string, std::string>{{"a", "1"}}));
    EXPECT_TRUE(category.getValueKVList("missing").empty());
    EXPECT_TRUE(category.getValueKVList("noList").empty());
    for (const char* key : {"notList", "numberInList", "brokenList", "server"}) {
        EXPECT_THROW(category.getValueKVList(key), ConfigCategoryError) << key;
    }
}

TEST(ConfigCategoryTest, SetValue) {
    ConfigCategory category("north", CATEGORY);
    category.setValue("schema", "EDGE");
    EXPECT_EQ(category.getValue("schema"), "EDGE");
    category.setValue("newItem", "x");
    EXPECT_EQ(category.getValue("newItem"), "x");
    EXPECT_EQ(category.getItemAttribute("newItem", "type"), "string");
}

TEST(ConfigCategoryTest, MalformedCategoriesAreRejected) {
    for (const char* json : {"", "{", "[]", "{\"a\": 1}", "{\"a\": \"text\"}"}) {
        EXPECT_THROW(ConfigCategory("c", json), ConfigCategoryError) << json;
    }
    EXPECT_NO_THROW(ConfigCategory("c", "{}"));
}

TEST(LogCaptureTest, CapturesEveryLevelWithItsText) {
    Logger* logger = Logger::getLogger();
    const Level before = logger->getMinLevel();
    logger->setMinLevel(Level::ERROR);
    {
        LogCapture capture;
        logger->debug("Processing %s hint datapoint", "snowflakeHint");
        logger->info("%d rows", -3);
        logger->warn("%zu tables", static_cast<size_t>(7));
        logger->error("plain");
        EXPECT_EQ(capture.lines(), (std::vector<LogCapture::Line>{
                                       {Level::DEBUG, "Processing snowflakeHint hint datapoint"},
                                       {Level::INFO, "-3 rows"},
                                       {Level::WARN, "7 tables"},
                                       {Level::ERROR, "plain"}}));
        EXPECT_EQ(capture.texts(Level::INFO), Strings{"-3 rows"});
        EXPECT_TRUE(capture.contains(Level::WARN, "7 tables"));
        EXPECT_FALSE(capture.contains(Level::ERROR, "7 tables"));
        EXPECT_TRUE(capture.anyLineContains("hint"));
        EXPECT_FALSE(capture.anyLineContains("absent"));
        logger->error("plain");
        EXPECT_EQ(capture.count(Level::ERROR, "plain"), 2u);
        capture.clear();
        EXPECT_TRUE(capture.lines().empty());
    }
    logger->setMinLevel(before);
}

TEST(LogCaptureTest, LongLinesAreKeptWhole) {
    LogCapture capture;
    const std::string longText(5000, 'x');
    Logger::getLogger()->debug("start %s end", longText.c_str());
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].second, "start " + longText + " end");
}

TEST(LogCaptureTest, NestedCaptureRestoresTheOuterOne) {
    LogCapture outer;
    {
        LogCapture inner;
        Logger::getLogger()->info("inner");
        EXPECT_EQ(inner.texts(Level::INFO), Strings{"inner"});
    }
    Logger::getLogger()->info("outer");
    EXPECT_EQ(outer.texts(Level::INFO), Strings{"outer"});
}

TEST(LoggerTest, SinkGetsLinesFromItsOwnLevelWhateverTheShownLevel) {
    Logger* logger = Logger::getLogger();
    const Level shown = logger->getMinLevel();
    logger->setMinLevel(Level::ERROR);
    std::vector<LogCapture::Line> received;
    const Logger::Sink previous = logger->setSink(
        [&received](Level level, const std::string& text) { received.emplace_back(level, text); },
        Level::WARN);
    logger->debug("d");
    logger->info("i");
    logger->warn("w");
    logger->error("e");
    logger->setSink(previous);
    logger->setMinLevel(shown);
    EXPECT_EQ(received, (std::vector<LogCapture::Line>{{Level::WARN, "w"}, {Level::ERROR, "e"}}));
}

}  // namespace
