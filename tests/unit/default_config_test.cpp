#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "config/default_config.h"
#include "host/config_category.h"
#include "tests/support/default_configuration.h"

namespace {

TEST(DefaultConfiguration, IsOneJsonObjectWithTheNineItemsInOrder) {
    EXPECT_EQ(varnholt::test::readConfigurationItems(defaultConfiguration()),
              varnholt::test::expectedDefaultConfiguration());
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
