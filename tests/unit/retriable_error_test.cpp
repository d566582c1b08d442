#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/odbc_client.h"
#include "host/log_capture.h"
#include "tests/support/case_names.h"

namespace {

using varnholt::test::caseName;
using varnholt::test::caseNames;

struct ClassificationCase {
    std::string sqlState;
    std::string message;
    bool retriable;
    std::string logLine;
    int32_t nativeError = 1234;
};

void PrintTo(const ClassificationCase& c, std::ostream* os) {
    *os << "state \"" << c.sqlState << "\", native " << c.nativeError << ", message \"" << c.message
        << '"';
}

const std::string NETWORK = "Error classified as retriable (network/connection): ";
const std::string RESOURCE = "Error classified as retriable (temporary resource): ";
const std::string SYNTAX = "Error classified as non-retriable (syntax/configuration): ";
const std::string COLUMN = "Error classified as non-retriable (column issue): ";
const std::string TABLE = "Error classified as non-retriable (table issue): ";
const std::string UNKNOWN = "Error classified as retriable (unknown): ";
const std::string DATA = "Error classified as non-retriable (data): ";

const std::string MISSING_COLUMN = "column \"speed\" does not exist";
const std::string MISSING_TABLE = "table \"pump\" does not exist";

const ClassificationCase CASES[] = {
    // Network and connection states, whatever the message says.
    {"08S01", "Communication link failure", true, NETWORK + "08S01"},
    {"08001", "", true, NETWORK + "08001"},
    {"08004", "Server rejected the connection", true, NETWORK + "08004"},
    {"HYT00", "Timeout expired", true, NETWORK + "HYT00"},
    {"HYT01", "Connection timeout expired", true, NETWORK + "HYT01"},
    {"08S02", "", true, NETWORK + "08S02"},
    {"08S01", MISSING_COLUMN, true, NETWORK + "08S01"},
    // Temporary resource states.
    {"57014", "Statement cancelled", true, RESOURCE + "57014"},
    {"40001", "Serialization failure", true, RESOURCE + "40001"},
    {"40P01", "deadlock detected", true, RESOURCE + "40P01"},
    // Syntax and configuration states; the state lists come before the message patterns.
    {"42000", "Syntax error", false, SYNTAX + "42000"},
    {"42S02", MISSING_TABLE, false, SYNTAX + "42S02"},
    {"42S22", MISSING_COLUMN, false, SYNTAX + "42S22"},
    {"42703", "", false, SYNTAX + "42703"},
    {"28000", "Invalid authorization", false, SYNTAX + "28000"},
    {"42501", "permission denied", false, SYNTAX + "42501"},
    // Message patterns for states in no list; the line shows the whole message.
    {"HY000", MISSING_COLUMN, false, COLUMN + MISSING_COLUMN},
    {"HY000", "column reference \"id\" is ambiguous", false,
     COLUMN + "column reference \"id\" is ambiguous"},
    {"HY000", MISSING_TABLE, false, TABLE + MISSING_TABLE},
    {"HY000", "column of table \"t\" does not exist", false,
     COLUMN + "column of table \"t\" does not exist"},
    {"HY000", "table \"t\" is ambiguous", true, UNKNOWN + "HY000"},
    {"HY000", "object \"t\" does not exist", true, UNKNOWN + "HY000"},
    {"HY000", "column \"speed\" is too long", true, UNKNOWN + "HY000"},
    // Case-sensitive message search.
    {"HY000", "Column \"speed\" does not exist", true, UNKNOWN + "HY000"},
    {"HY000", "Table \"pump\" does not exist", true, UNKNOWN + "HY000"},
    {"HY000", "column \"speed\" Does Not Exist", true, UNKNOWN + "HY000"},
    // Case-sensitive whole-text state comparison.
    {"08s01", "", true, UNKNOWN + "08s01"},
    {"42s02", "", true, UNKNOWN + "42s02"},
    {"hyt00", "", true, UNKNOWN + "hyt00"},
    // States are compared only when exactly five characters long.
    {"", "", true, UNKNOWN},
    {"", "Something went wrong", true, UNKNOWN},
    {"", MISSING_COLUMN, false, COLUMN + MISSING_COLUMN},
    {"4200", "", true, UNKNOWN + "4200"},
    {"42000 ", "", true, UNKNOWN + "42000 "},
    {"42S02X", MISSING_TABLE, false, TABLE + MISSING_TABLE},
    {"08S0", "Communication link failure", true, UNKNOWN + "08S0"},
    // Unlisted five-character states go on to the message patterns.
    {"01000", MISSING_TABLE, false, TABLE + MISSING_TABLE},
    // A refused value fails again on every retry: by state class, or by Snowflake's native code
    // in the native field or the message, whatever the state.
    {"22001", "String data, right truncated", false, DATA + "22001"},
    {"23502", "null value in column \"a\"", false, DATA + "23502"},
    {"22000", "String 'x' is too long and would be truncated", false, DATA + "22000", 100078},
    {"HY000", "Numeric value 'high' is not recognized", false, DATA + "HY000", 100038},
    {"HY000", "100078 (22000): String 'x' is too long", false, DATA + "HY000"},
};

// Named by state, then message: 42S02_table_Dquote_pump_Dquote_does_not_exist.
std::string classificationName(const ClassificationCase& c) {
    return caseName(
        {c.sqlState.empty() ? "NoState" : c.sqlState, c.message.empty() ? "NoMessage" : c.message});
}

class RetriableError : public ::testing::TestWithParam<ClassificationCase> {};

TEST_P(RetriableError, ClassifiesAndLogsOneDebugLine) {
    ODBCClient client;
    LogCapture capture;
    const auto& c = GetParam();
    EXPECT_EQ(client.isRetriableError(c.sqlState.c_str(), c.nativeError, c.message.c_str()),
              c.retriable);
    const std::vector<LogCapture::Line> expected = {{Logger::Level::DEBUG, c.logLine}};
    EXPECT_EQ(capture.lines(), expected);
}

INSTANTIATE_TEST_SUITE_P(Classification, RetriableError, ::testing::ValuesIn(CASES),
                         caseNames(classificationName));

// Outside the codes of refused values, the native error plays no part in the decision.
TEST(RetriableErrorNativeError, CountsOnlyForRefusedValues) {
    ODBCClient client;
    for (int32_t native : {0, -1, 1205, 2147483647}) {
        EXPECT_FALSE(client.isRetriableError("42S02", native, "")) << native;
        EXPECT_TRUE(client.isRetriableError("HY000", native, "")) << native;
    }
}

TEST(RetriableErrorNullText, IsACallerError) {
    ODBCClient client;
    EXPECT_THROW(client.isRetriableError(nullptr, 0, ""), std::logic_error);
    EXPECT_THROW(client.isRetriableError("HY000", 0, nullptr), std::logic_error);
}

}  // namespace
