// A rejected reading is kept as JSON (RejectedReading::toJSON) and replayed from it
// (ReadingParser): both must agree on every kind a reading carries, or a replayed reading lands
// with other columns or other values than the original would have.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "delivery/rejected_reading.h"
#include "host/reading.h"
#include "mapping/reading_parser.h"

namespace {

DatapointValue dictionary(std::vector<std::pair<std::string, DatapointValue>> members) {
    std::vector<Datapoint*> children;
    for (auto& member : members) {
        children.push_back(new Datapoint(member.first, std::move(member.second)));
    }
    return DatapointValue(children, true);
}

// A list's children are named by their position, as the parser names them.
DatapointValue list(std::vector<DatapointValue> elements) {
    std::vector<Datapoint*> children;
    for (size_t i = 0; i < elements.size(); ++i) {
        children.push_back(new Datapoint(std::to_string(i), std::move(elements[i])));
    }
    return DatapointValue(children, false);
}

DatapointValue number(double value) {
    return DatapointValue(value);
}

DatapointValue integer(int64_t value) {
    return DatapointValue(value);
}

DatapointValue text(const std::string& value) {
    return DatapointValue(value);
}

struct RoundTripCase {
    std::string name;
    DatapointValue sent;
    // What comes back where JSON cannot carry the value as it was.
    std::vector<DatapointValue> back;
};

void PrintTo(const RoundTripCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

const std::vector<RoundTripCase>& roundTripCases() {
    static const std::vector<RoundTripCase> cases = {
        {"Text", text("pump 7"), {}},
        {"EmptyText", text(""), {}},
        {"TextWithQuotesBackslashesAndControls", text("O'Brien \\ \"x\"\n\t\x01 end\\"), {}},
        {"TextNonAscii", text("h\xC3\xA9llo \xE2\x9C\x93"), {}},
        {"TextThatLooksLikeJSON", text("{\"a\": [1, 2.0]}"), {}},
        {"TextNull", text("null"), {}},
        {"Integer", integer(21), {}},
        {"NegativeInteger", integer(-17), {}},
        {"LargestInteger", integer(std::numeric_limits<int64_t>::max()), {}},
        {"SmallestInteger", integer(std::numeric_limits<int64_t>::min()), {}},
        {"Float", number(21.5), {}},
        {"WholeFloat", number(21.0), {}},
        {"NegativeZero", number(-0.0), {}},
        {"LargeWholeFloat", number(1e16), {}},
        {"SmallestFloat", number(5e-324), {}},
        {"LargestFloat", number(1.7976931348623157e308), {}},
        {"FloatNotExactInDecimal", number(0.1), {}},
        {"NaN", number(NaN), {}},
        // JSON has no infinity: it comes back as a float without a value, NULL in its row either
        // way.
        {"Infinity", number(INF), {number(NaN)}},
        {"FloatArray", DatapointValue(std::vector<double>{1.5, 2.0, -3.25}), {}},
        {"EmptyFloatArray", DatapointValue(std::vector<double>{}), {}},
        {"FloatArrayWithNaN", DatapointValue(std::vector<double>{1.0, NaN}), {}},
        {"Dictionary",
         dictionary({{"i", integer(1)},
                     {"f", number(2.0)},
                     {"s", text("x")},
                     {"inner", dictionary({{"a", DatapointValue(std::vector<double>{1.5})}})}}),
         {}},
        {"EmptyDictionary", dictionary({}), {}},
        {"MixedList", list({integer(1), text("a"), number(2.0)}), {}},
        {"ListOfDictionaries", list({dictionary({{"a", integer(1)}}), dictionary({})}), {}},
        {"ListOfLists", list({list({text("x"), integer(2)}), list({text("y")})}), {}},
        // JSON has one kind of array: a list of numbers alone reads as a float array, as the
        // host reads such JSON too.
        {"ListOfNumbersOnly",
         list({number(1.5), number(2.5)}),
         {DatapointValue(std::vector<double>{1.5, 2.5})}},
    };
    return cases;
}

bool sameNumber(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b);
    }
    return a == b && std::signbit(a) == std::signbit(b);
}

void expectSame(const DatapointValue& actual, const DatapointValue& expected,
                const std::string& path) {
    ASSERT_EQ(actual.getType(), expected.getType()) << path;
    switch (expected.getType()) {
        case DatapointValue::T_STRING:
            EXPECT_EQ(actual.toStringValue(), expected.toStringValue()) << path;
            break;
        case DatapointValue::T_INTEGER:
            EXPECT_EQ(actual.toInt(), expected.toInt()) << path;
            break;
        case DatapointValue::T_FLOAT:
            EXPECT_TRUE(sameNumber(actual.toDouble(), expected.toDouble()))
                << path << ": " << actual.toDouble() << " for " << expected.toDouble();
            break;
        case DatapointValue::T_FLOAT_ARRAY: {
            const auto& a = actual.getFloatArray();
            const auto& e = expected.getFloatArray();
            ASSERT_EQ(a.size(), e.size()) << path;
            for (size_t i = 0; i < e.size(); ++i) {
                EXPECT_TRUE(sameNumber(a[i], e[i])) << path << "[" << i << "]";
            }
            break;
        }
        case DatapointValue::T_DP_DICT:
        case DatapointValue::T_DP_LIST: {
            const auto& a = actual.getChildren();
            const auto& e = expected.getChildren();
            ASSERT_EQ(a.size(), e.size()) << path;
            for (size_t i = 0; i < e.size(); ++i) {
                EXPECT_EQ(a[i]->getName(), e[i]->getName()) << path;
                expectSame(a[i]->getData(), e[i]->getData(), path + "." + e[i]->getName());
            }
            break;
        }
        default:
            FAIL() << path << ": no round trip for this kind";
    }
}

class ReadingRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(ReadingRoundTrip, RejectJSONReadsBackAsTheSameReading) {
    const RoundTripCase& testCase = GetParam();
    Reading sent("pump \"7\" \xC3\xA9",
                 std::vector<Datapoint*>{new Datapoint("seq", integer(7)),
                                         new Datapoint("value", testCase.sent)});
    struct timeval userTime;
    struct timeval systemTime;
    ASSERT_TRUE(Reading::parseTimestamp("2024-05-01 12:00:00.000001", userTime));
    ASSERT_TRUE(Reading::parseTimestamp("2024-05-01 12:00:03.999999", systemTime));
    sent.setUserTimestamp(userTime);
    sent.setTimestamp(systemTime);

    const std::string json = RejectedReading::toJSON(sent);
    std::vector<std::unique_ptr<Reading>> back;
    try {
        back = ReadingParser::parse(json);
    } catch (const ReadingParseError& error) {
        FAIL() << error.what() << " in " << json;
    }
    ASSERT_EQ(back.size(), 1u) << json;
    const Reading& reading = *back.front();
    EXPECT_EQ(reading.getAssetName(), sent.getAssetName());
    EXPECT_EQ(reading.getAssetDateUserTime(0, true), "2024-05-01 12:00:00.000001");
    EXPECT_EQ(reading.getAssetDateTime(0, true), "2024-05-01 12:00:03.999999");
    ASSERT_EQ(reading.getReadingData().size(), 2u) << json;
    EXPECT_EQ(reading.getReadingData()[0]->getName(), "seq");
    EXPECT_EQ(reading.getReadingData()[1]->getName(), "value");
    expectSame(reading.getReadingData()[1]->getData(),
               testCase.back.empty() ? testCase.sent : testCase.back.front(), "value");
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReadingRoundTrip, ::testing::ValuesIn(roundTripCases()),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) {
                             return info.param.name;
                         });

}  // namespace
