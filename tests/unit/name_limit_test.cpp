// Names longer than Snowflake's 255 characters are shortened the same way every time.
#include <gtest/gtest.h>

#include <string>

#include "host/log_capture.h"
#include "mapping/name_limit.h"
#include "mapping/reading_mapper.h"
#include "sql/snowflake_sql_builder.h"
#include "tests/support/test_readings.h"

namespace {

using varnholt::test::ReadingBuilder;
using Level = Logger::Level;

std::string repeat(const std::string& unit, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += unit;
    }
    return text;
}

size_t characters(const std::string& text) {
    size_t count = 0;
    for (unsigned char c : text) {
        count += (c & 0xC0) != 0x80;
    }
    return count;
}

bool isHex(const std::string& text) {
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

struct NameCase {
    const char* name;
    std::string text;
    bool shortened;
};

class NameLimitTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameLimitTest, FitsOrIsShortenedToTheSameNameEveryTime) {
    const NameCase& c = GetParam();
    std::string shortened;
    const std::string& name = NameLimit::apply(c.text, shortened);
    EXPECT_EQ(NameLimit::exceeded(c.text), c.shortened);
    if (!c.shortened) {
        EXPECT_EQ(name, c.text);
        return;
    }
    EXPECT_EQ(characters(name), NameLimit::MAX_CHARACTERS);
    // The first 238 characters, whole, then "~" and 16 hex digits.
    const size_t tilde = name.size() - 17;
    EXPECT_EQ(name.substr(0, tilde), c.text.substr(0, tilde));
    EXPECT_EQ(characters(name.substr(0, tilde)), 238u);
    EXPECT_EQ(name[tilde], '~');
    EXPECT_TRUE(isHex(name.substr(tilde + 1))) << name;
    EXPECT_EQ(NameLimit::shorten(c.text), name);
    EXPECT_FALSE(NameLimit::exceeded(name));
    // A name that differs only beyond the kept part is shortened to another name.
    EXPECT_NE(NameLimit::shorten(c.text + "x"), name);
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameLimitTest,
    ::testing::Values(
        NameCase{"Short", "pump", false}, NameCase{"Exactly255", repeat("a", 255), false},
        NameCase{"Exactly255TwoByteCharacters", repeat("\xc3\xa4", 255), false},
        NameCase{"Exactly255FourByteCharacters", repeat("\xf0\x9f\x9a\x80", 255), false},
        NameCase{"Of256", repeat("a", 256), true}, NameCase{"Of300", repeat("abc", 100), true},
        NameCase{"Of256TwoByteCharacters", repeat("\xc3\xa4", 256), true},
        NameCase{"Of4000Mixed", repeat("x\xe6\x9d\xb1", 1000), true}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return info.param.name; });

// Tables and columns alike, with one warning per name however many readings carry it.
TEST(NameLimitMapping, TableAndColumnNamesAreShortenedWithOneWarningEach) {
    SnowflakeSQLBuilder builder;
    ReadingMapper mapper("edge1", &builder);
    const std::string asset = repeat("asset-", 60);
    const std::string column = repeat("column-", 50);
    LogCapture capture;
    for (int i = 0; i < 3; ++i) {
        auto reading = ReadingBuilder(asset).integer(column, i).integer("n", i).build();
        DatabaseRecord record = mapper.mapReadingToRecord(reading.get());
        EXPECT_EQ(record.getTableName(), NameLimit::shorten(asset));
        EXPECT_TRUE(record.hasColumn(NameLimit::shorten(column)));
        EXPECT_TRUE(record.hasColumn("n"));
        EXPECT_FALSE(record.hasColumn(column));
        EXPECT_EQ(record.getValue("asset_code"), asset);
    }
    EXPECT_EQ(capture.texts(Level::WARN),
              (std::vector<std::string>{
                  "A name of 360 bytes is longer than the 255 characters the database takes: it "
                  "is written as '" +
                      NameLimit::shorten(asset) + "'",
                  "A name of 350 bytes is longer than the 255 characters the database takes: it "
                  "is written as '" +
                      NameLimit::shorten(column) + "'"}));
}

}  // namespace
