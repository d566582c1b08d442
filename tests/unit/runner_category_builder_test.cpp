#include <string>

#include <gtest/gtest.h>

#include "tools/category_builder.h"

using varnholt::runner::CategoryBuilder;
using varnholt::runner::ConfigurationError;

namespace {

const char DEFAULTS[] = R"({
    "plugin": {"description": "p", "type": "string", "default": "demo", "readonly": "true"},
    "server": {"description": "s", "type": "string", "default": "localhost", "order": "1"},
    "port": {"description": "p", "type": "integer", "default": "443", "order": "2"},
    "secure": {"description": "b", "type": "boolean", "default": "true"},
    "source": {"description": "e", "type": "enumeration", "default": "readings",
               "options": ["readings", "statistics"]},
    "additionalParams": {"description": "k", "type": "kvlist", "items": "string",
                         "default": "{}"}
})";

TEST(RunnerCategoryBuilder, StartsFromTheDefaults) {
    CategoryBuilder builder("demo", DEFAULTS);
    const ConfigCategory& category = builder.category();
    EXPECT_EQ(category.getName(), "demo");
    EXPECT_EQ(category.getValue("server"), "localhost");
    EXPECT_EQ(category.getIntegerValue("port"), 443);
    EXPECT_TRUE(category.getValueKVList("additionalParams").empty());
    EXPECT_EQ(category.itemNames().size(), 6u);
}

TEST(RunnerCategoryBuilder, OverridesTakeStringsAsTheyAreAndOtherValuesAsJson) {
    CategoryBuilder builder("demo", DEFAULTS);
    builder.applyOverrides(R"({"server": "db.example", "port": 8443, "secure": false,
                               "additionalParams": {"warehouse": "W", "role": "R"}})");
    const ConfigCategory& category = builder.category();
    EXPECT_EQ(category.getValue("server"), "db.example");
    EXPECT_EQ(category.getValue("port"), "8443");
    EXPECT_EQ(category.getValue("secure"), "false");
    EXPECT_EQ(category.getValue("additionalParams"), R"({"warehouse":"W","role":"R"})");
    auto list = category.getValueKVList("additionalParams");
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(list["warehouse"], "W");
    // Untouched items keep their defaults.
    EXPECT_EQ(category.getValue("source"), "readings");
}

TEST(RunnerCategoryBuilder, LaterSettingsWin) {
    CategoryBuilder builder("demo", DEFAULTS);
    builder.applyOverrides(R"({"server": "from-file", "port": "1"})");
    builder.set("server", "from-command-line");
    EXPECT_EQ(builder.category().getValue("server"), "from-command-line");
    EXPECT_EQ(builder.category().getValue("port"), "1");
}

TEST(RunnerCategoryBuilder, EmptyOverridesChangeNothing) {
    CategoryBuilder builder("demo", DEFAULTS);
    builder.applyOverrides("{}");
    EXPECT_EQ(builder.category().getValue("server"), "localhost");
}

struct ValueCase {
    const char* name;
    const char* item;
    const char* value;
};

class RunnerCategoryBuilderAccepts : public ::testing::TestWithParam<ValueCase> {};

TEST_P(RunnerCategoryBuilderAccepts, Value) {
    CategoryBuilder builder("demo", DEFAULTS);
    ASSERT_NO_THROW(builder.set(GetParam().item, GetParam().value));
    EXPECT_EQ(builder.category().getValue(GetParam().item), GetParam().value);
}

const ValueCase ACCEPTED[] = {
    {"EmptyString", "server", ""},
    {"NegativeInteger", "port", "-5"},
    {"SignedInteger", "port", "+5"},
    {"BooleanFalse", "secure", "false"},
    {"EnumerationOption", "source", "statistics"},
    {"EmptyKvlist", "additionalParams", "{}"},
    {"Kvlist", "additionalParams", "{\"a\": \"1\", \"b\": \"\"}"},
};

std::string valueName(const ::testing::TestParamInfo<ValueCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Table, RunnerCategoryBuilderAccepts, ::testing::ValuesIn(ACCEPTED),
                         valueName);

struct RejectedCase {
    const char* name;
    const char* item;
    const char* value;
    const char* message;
};

class RunnerCategoryBuilderRejects : public ::testing::TestWithParam<RejectedCase> {};

TEST_P(RunnerCategoryBuilderRejects, Value) {
    const RejectedCase& test = GetParam();
    CategoryBuilder builder("demo", DEFAULTS);
    try {
        builder.set(test.item, test.value);
        FAIL() << "accepted";
    } catch (const ConfigurationError& error) {
        EXPECT_EQ(std::string(error.what()), test.message);
    }
    // A rejected value leaves the item as it was.
    EXPECT_EQ(builder.category().getValue(test.item),
              ConfigCategory("demo", DEFAULTS).getValue(test.item));
}

const RejectedCase REJECTED[] = {
    {"UnknownItem", "prot", "1", "unknown configuration item 'prot'"},
    {"ReadOnlyItem", "plugin", "other", "configuration item 'plugin' is read-only"},
    {"IntegerText", "port", "https", "configuration item 'port': 'https' is not an integer"},
    {"IntegerFraction", "port", "44.3", "configuration item 'port': '44.3' is not an integer"},
    {"IntegerEmpty", "port", "", "configuration item 'port': '' is not an integer"},
    {"IntegerSignOnly", "port", "-", "configuration item 'port': '-' is not an integer"},
    {"BooleanYes", "secure", "yes", "configuration item 'secure': 'yes' is not true or false"},
    {"EnumerationOther", "source", "audit",
     "configuration item 'source': 'audit' is not one of readings, statistics"},
    {"EnumerationCase", "source", "Readings",
     "configuration item 'source': 'Readings' is not one of readings, statistics"},
    {"KvlistNotJson", "additionalParams", "a=b",
     "configuration item 'additionalParams': a key/value list must be a JSON object of texts, "
     "got 'a=b'"},
    {"KvlistArray", "additionalParams", "[\"a\"]",
     "configuration item 'additionalParams': a key/value list must be a JSON object of texts, "
     "got '[\"a\"]'"},
    {"KvlistNumberValue", "additionalParams", "{\"a\": 1}",
     "configuration item 'additionalParams': a key/value list must be a JSON object of texts, "
     "got '{\"a\": 1}'"},
};

std::string rejectedName(const ::testing::TestParamInfo<RejectedCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Table, RunnerCategoryBuilderRejects, ::testing::ValuesIn(REJECTED),
                         rejectedName);

struct OverridesCase {
    const char* name;
    const char* json;
    const char* message;
};

class RunnerCategoryBuilderRejectsOverrides : public ::testing::TestWithParam<OverridesCase> {};

TEST_P(RunnerCategoryBuilderRejectsOverrides, File) {
    CategoryBuilder builder("demo", DEFAULTS);
    try {
        builder.applyOverrides(GetParam().json);
        FAIL() << "accepted";
    } catch (const ConfigurationError& error) {
        EXPECT_EQ(std::string(error.what()), GetParam().message);
    }
}

const OverridesCase BAD_OVERRIDES[] = {
    {"Malformed", "{\"port\": 1,",
     "configuration overrides are not valid JSON (offset 11): Missing a name for object "
     "member."},
    {"Empty", "", "configuration overrides are not valid JSON (offset 0): The document is empty."},
    {"Array", "[1]", "configuration overrides must be a JSON object of item -> value"},
    {"NullValue", "{\"server\": null}", "configuration item 'server' is null"},
    {"UnknownItem", "{\"host\": \"x\"}", "unknown configuration item 'host'"},
    {"BadValueByType", "{\"port\": 1.5}", "configuration item 'port': '1.5' is not an integer"},
    {"KvlistAsText", "{\"additionalParams\": \"{\\\"a\\\": 2}\"}",
     "configuration item 'additionalParams': a key/value list must be a JSON object of texts, "
     "got '{\"a\": 2}'"},
};

std::string overridesName(const ::testing::TestParamInfo<OverridesCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Table, RunnerCategoryBuilderRejectsOverrides,
                         ::testing::ValuesIn(BAD_OVERRIDES), overridesName);

TEST(RunnerCategoryBuilder, UnusableDefaultsAreAConfigurationError) {
    try {
        CategoryBuilder builder("demo", "{\"port\": 5}");
        FAIL() << "accepted";
    } catch (const ConfigurationError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "the plugin's default configuration is unusable: Configuration item 'port' is "
                  "not an object");
    }
    EXPECT_THROW(CategoryBuilder("demo", "not json"), ConfigurationError);
}

}  // namespace
