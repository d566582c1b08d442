#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>
#include <utility>
#include <vector>

#include "config/default_config.h"
#include "host/config_category.h"

namespace {

using Attributes = std::vector<std::pair<std::string, std::string>>;

struct ExpectedItem {
    std::string name;
    Attributes attributes;  // "options" is checked separately
};

const std::vector<ExpectedItem>& expectedItems() {
    static const std::vector<ExpectedItem> items = {
        {"plugin",
         {{"description", "Varnholt North Plugin"},
          {"type", "string"},
          {"default", "varnholt"},
          {"readonly", "true"}}},
        {"server",
         {{"description", "The full Snowflake server URL (account identifier)"},
          {"type", "string"},
          {"default", "localhost"},
          {"order", "1"},
          {"displayName", "Snowflake Server URL"},
          {"mandatory", "true"}}},
        {"port",
         {{"description", "Snowflake server port (default is 443 for HTTPS)"},
          {"type", "integer"},
          {"default", "443"},
          {"order", "2"},
          {"displayName", "Snowflake Server Port"},
          {"mandatory", "true"}}},
        {"schema",
         {{"description", "The name of the Snowflake database to connect to"},
          {"type", "string"},
          {"default", "default_db"},
          {"order", "3"},
          {"displayName", "Database Name"},
          {"mandatory", "true"}}},
        {"user",
         {{"description", "Snowflake username for authentication"},
          {"type", "string"},
          {"default", "default_user"},
          {"order", "4"},
          {"displayName", "Username"},
          {"mandatory", "true"}}},
        {"password",
         {{"description", "Password for the Snowflake account"},
          {"type", "password"},
          {"default", "kvzq"},
          {"order", "5"},
          {"displayName", "Password"},
          {"mandatory", "true"}}},
        {"tolvaneInstance",
         {{"description", "The name of the Tolvane instance"},
          {"type", "string"},
          {"default", "tolvaneInstance"},
          {"order", "6"},
          {"displayName", "Tolvane Instance Name"},
          {"mandatory", "true"}}},
        {"source",
         {{"description", "Source of the data to send to Snowflake"},
          {"type", "enumeration"},
          {"default", "readings"},
          {"options", ""},
          {"order", "7"},
          {"displayName", "Data Source"}}},
        {"additionalParams",
         {{"description",
           "Additional optional parameters for customizing the Snowflake connection (e.g., "
           "extra ODBC options or advanced settings)"},
          {"type", "kvlist"},
          {"items", "string"},
          {"order", "8"},
          {"default", "{}"},
          {"displayName", "Additional Connection Parameters"}}},
    };
    return items;
}

TEST(DefaultConfiguration, IsOneJsonObjectWithTheNineItemsInOrder) {
    rapidjson::Document document;
    document.Parse(defaultConfiguration());
    ASSERT_FALSE(document.HasParseError());
    ASSERT_TRUE(document.IsObject());

    const auto& expected = expectedItems();
    ASSERT_EQ(document.MemberCount(), expected.size());
    size_t index = 0;
    for (auto item = document.MemberBegin(); item != document.MemberEnd(); ++item, ++index) {
        SCOPED_TRACE(expected[index].name);
        EXPECT_EQ(item->name.GetString(), expected[index].name);
        ASSERT_TRUE(item->value.IsObject());
        const Attributes& attributes = expected[index].attributes;
        ASSERT_EQ(item->value.MemberCount(), attributes.size());
        size_t position = 0;
        for (auto attribute = item->value.MemberBegin(); attribute != item->value.MemberEnd();
             ++attribute, ++position) {
            const std::string name = attribute->name.GetString();
            EXPECT_EQ(name, attributes[position].first);
            if (name == "options") {
                ASSERT_TRUE(attribute->value.IsArray());
                ASSERT_EQ(attribute->value.Size(), 2u);
                EXPECT_STREQ(attribute->value[0].GetString(), "readings");
                EXPECT_STREQ(attribute->value[1].GetString(), "statistics");
            } else {
                ASSERT_TRUE(attribute->value.IsString()) << name;
                EXPECT_EQ(attribute->value.GetString(), attributes[position].second) << name;
            }
        }
    }
}

TEST(DefaultConfiguration, IsTheSameTextOnEveryCall) {
    EXPECT_EQ(defaultConfiguration(), defaultConfiguration());
}

TEST(DefaultConfiguration, LoadsAsAHostCategory) {
    ConfigCategory category("varnholt", defaultConfiguration());
    EXPECT_EQ(category.getValue("plugin"), "varnholt");
    EXPECT_EQ(category.getIntegerValue("port"), 443);
    EXPECT_TRUE(category.getValueKVList("additionalParams").empty());
}

}  // namespace
