#include "client/error_classification.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct ErrorCase {
    const char* name;
    std::string sqlState;
    int32_t nativeError;
    std::string message;
    ErrorClass expected;
};

std::ostream& operator<<(std::ostream& out, const ErrorCase& c) {
    return out << c.name;
}

// Snowflake cases carry its native code and the SQLSTATE its driver reports; emulator cases the
// PostgreSQL SQLSTATE and the small native number of its ODBC driver.
const ErrorCase CASES[] = {
    // Data: one row's value is refused.
    {"SnowflakeTextTooLong", "22000", 100078, "String 'xxxx' is too long and would be truncated",
     ErrorClass::Data},
    {"EmulatorTextTooLong", "22001", 7, "value too long for type character varying(256)",
     ErrorClass::Data},
    {"SnowflakeWordIntoNumber", "22018", 100038, "Numeric value 'high' is not recognized",
     ErrorClass::Data},
    {"EmulatorWordIntoNumber", "22P02", 7, "invalid input syntax for type bigint: \"high\"",
     ErrorClass::Data},
    {"SnowflakeOutOfRange", "22003", 100039, "Numeric value '1e400' is out of range",
     ErrorClass::Data},
    {"SnowflakeFloatIntoFixed", "22003", 100046, "Number out of representable range",
     ErrorClass::Data},
    {"EmulatorOutOfRange", "22003", 7, "value out of range for type bigint", ErrorClass::Data},
    {"SnowflakeBadTimestamp", "22007", 100035, "Timestamp 'soon' is not recognized",
     ErrorClass::Data},
    {"EmulatorBadTimestamp", "22007", 7, "invalid input syntax for type timestamp",
     ErrorClass::Data},
    {"EmulatorTimestampOutOfRange", "22008", 7, "date/time field value out of range",
     ErrorClass::Data},
    {"SnowflakeNullIntoNotNullUnderState22000", "22000", 100072,
     "NULL result in a non-nullable column", ErrorClass::Data},
    {"EmulatorNullIntoNotNull", "23502", 7, "null value in column \"a\" violates not-null",
     ErrorClass::Data},
    {"SnowflakeCharacterLimit", "54000", 100074, "User character length limit exceeded",
     ErrorClass::Data},
    {"SnowflakeValueBeyondLobSize", "22000", 100082, "Max LOB size (16777216) exceeded",
     ErrorClass::Data},
    {"EmulatorValueBeyondSizeLimit", "54000", 7, "total size of jsonb object elements exceeds",
     ErrorClass::Data},
    {"NativeCodeOnlyInTheMessagePrefix", "HY000", 0,
     "100078 (22000): String 'xxxx' is too long and would be truncated", ErrorClass::Data},
    {"MessagePrefixAfterDriverTags", "HY000", 0,
     "[Snowflake][ODBC] 100038 (22018): Numeric value 'x' is not recognized", ErrorClass::Data},
    {"DataPhraseWithoutAnyCode", "HY000", 0, "String 'x' is too long and would be truncated",
     ErrorClass::Data},

    // A table or column does not exist.
    {"SnowflakeTableMissing", "42S02", 2003, "Table 'PUMPS' does not exist or not authorized.",
     ErrorClass::ObjectMissing},
    {"SnowflakeTableMissingUnderOldState", "02000", 2003, "Table 'PUMPS' does not exist",
     ErrorClass::ObjectMissing},
    {"SnowflakeObjectMissing", "02000", 2043,
     "Object does not exist, or operation cannot be "
     "performed.",
     ErrorClass::ObjectMissing},
    {"SnowflakeUnknownColumn", "42000", 904, "invalid identifier 'SPEED'",
     ErrorClass::ObjectMissing},
    {"EmulatorTableMissing", "42P01", 7, "relation \"pumps\" does not exist",
     ErrorClass::ObjectMissing},
    {"EmulatorUnknownColumn", "42703", 7, "column \"speed\" of relation \"pumps\" does not exist",
     ErrorClass::ObjectMissing},
    {"OdbcColumnMissing", "42S22", 0, "Column not found", ErrorClass::ObjectMissing},
    {"UnknownColumnByMessageOnly", "42000", 0, "SQL compilation error: invalid identifier 'C'",
     ErrorClass::ObjectMissing},

    // A table or column to be created exists.
    {"SnowflakeColumnExistsUnderSyntaxState", "42601", 1430, "column 'SPEED' already exists",
     ErrorClass::ObjectExists},
    {"EmulatorColumnExists", "42701", 7, "column \"speed\" of relation \"pumps\" already exists",
     ErrorClass::ObjectExists},
    {"OdbcColumnExists", "42S21", 0, "Column already exists", ErrorClass::ObjectExists},
    {"SnowflakeTableExists", "42710", 2002, "Object 'PUMPS' already exists.",
     ErrorClass::ObjectExists},
    {"EmulatorTableExists", "42P07", 7, "relation \"pumps\" already exists",
     ErrorClass::ObjectExists},

    // Session and login.
    {"SnowflakeAuthenticationTokenExpired", "08001", 390114,
     "Authentication token has expired. The user must authenticate again.",
     ErrorClass::SessionExpired},
    {"SnowflakeSessionGone", "08003", 390111, "Session no longer exists.",
     ErrorClass::SessionExpired},
    {"SnowflakeSessionTokenInvalid", "08003", 390104, "", ErrorClass::SessionExpired},
    {"SnowflakeSessionTokenExpired", "", 390112, "", ErrorClass::SessionExpired},
    {"TokenExpiryByMessageOnly", "HY000", 0,
     "Authentication token has expired. The user must authenticate again.",
     ErrorClass::SessionExpired},
    {"SnowflakeWrongPassword", "28000", 390100, "Incorrect username or password was specified.",
     ErrorClass::Credentials},
    {"SnowflakeWrongPasswordUnderConnectionState", "08004", 390100,
     "Incorrect username or password was specified.", ErrorClass::Credentials},
    {"SnowflakeJwtInvalid", "28000", 390144, "JWT token is invalid.", ErrorClass::Credentials},
    {"SnowflakeKeyPairErrorsFirst", "", 394300, "", ErrorClass::Credentials},
    {"SnowflakeKeyPairErrorsLast", "", 394306, "", ErrorClass::Credentials},
    {"NextToKeyPairErrorsIsNotCredentials", "", 394307, "", ErrorClass::Other},
    {"SnowflakeOAuthTokenExpired", "", 390318, "", ErrorClass::Credentials},
    {"SnowflakeOAuthTokenInvalid", "", 390303, "", ErrorClass::Credentials},
    {"EmulatorWrongPassword", "28P01", 7, "password authentication failed for user \"u\"",
     ErrorClass::Credentials},
    {"OdbcInvalidAuthorization", "28000", 0, "", ErrorClass::Credentials},
    {"PostgresPasswordRefusedMessage", "", 101,
     "connection to server at \"127.0.0.1\", port 5432 failed: FATAL:  password authentication "
     "failed for user \"tolvane\"",
     ErrorClass::Credentials},

    // Connection.
    {"EmulatorCannotConnect", "08001", 101, "could not connect to server", ErrorClass::Connection},
    {"EmulatorConnectionLost", "08S01", 35, "The connection has been lost", ErrorClass::Connection},
    {"EmulatorConnectionFailure", "08006", 0, "", ErrorClass::Connection},
    {"EmulatorSessionTerminated", "57P01", 7, "terminating connection due to administrator command",
     ErrorClass::Connection},
    {"EmulatorCrashShutdown", "57P02", 7, "", ErrorClass::Connection},
    {"SnowflakeWarehouseSuspended", "57P03", 608, "Warehouse 'W' is suspended.",
     ErrorClass::Connection},
    {"OdbcTimeout", "HYT00", 0, "Timeout expired", ErrorClass::Connection},
    {"OdbcConnectionTimeout", "HYT01", 0, "", ErrorClass::Connection},
    {"SnowflakeNetworkResetUnderHY000", "HY000", 0, "Send failure: Connection reset by peer",
     ErrorClass::Connection},
    {"SnowflakeNameResolutionUnderS1000", "S1000", 0, "Couldn't resolve host name",
     ErrorClass::Connection},
    {"SnowflakeTimeoutUnder01S00", "01S00", 0, "Timeout was reached", ErrorClass::Connection},

    // The session lacks a current schema or a warehouse: 22000 is no data error without a
    // 100xxx code.
    {"SnowflakeNoCurrentSchemaUnderState22000", "22000", 90106,
     "Cannot perform CREATE TABLE. This session does not have a current schema.",
     ErrorClass::SessionSetup},
    {"NoCurrentSchemaCodeOnlyInTheMessagePrefix", "22000", 0,
     "090106 (22000): Cannot perform CREATE TABLE. This session does not have a current schema.",
     ErrorClass::SessionSetup},
    {"State22000WithoutACodeIsNoDataError", "22000", 0, "Something about the session",
     ErrorClass::Other},
    {"State22000WithAnotherCodeIsNoDataError", "22000", 2140, "", ErrorClass::Other},
    {"State22000WithTheDataCodeInThePrefix", "HY000", 0,
     "100072 (22000): NULL result in a non-nullable column", ErrorClass::Data},
    {"SnowflakeNoWarehouse", "57P03", 606, "No active warehouse selected in the current session.",
     ErrorClass::SessionSetup},

    // The server gave the statement up for now.
    {"SnowflakeTimeout", "57014", 630, "Statement reached its statement or warehouse timeout",
     ErrorClass::Busy},
    {"SnowflakeCancelled", "57014", 604, "Statement cancelled", ErrorClass::Busy},
    {"SnowflakeLockQueueFull", "57014", 625, "Statement waited too long for a lock",
     ErrorClass::Busy},
    {"OdbcCancelled", "HY008", 0, "Operation canceled", ErrorClass::Busy},
    {"EmulatorDeadlock", "40P01", 7, "deadlock detected", ErrorClass::Busy},

    // Limits.
    {"SnowflakeTooManyExpressions", "42601", 1795,
     "maximum number of expressions in a list exceeded, expected at most 16,384",
     ErrorClass::Limit},
    {"TooManyExpressionsByMessageUnderSyntaxState", "42601", 0,
     "maximum number of expressions in a list exceeded", ErrorClass::Limit},
    {"EmulatorStatementTooComplex", "54001", 7, "stack depth limit exceeded", ErrorClass::Limit},

    // Everything else.
    {"SyntaxError", "42601", 7, "syntax error at or near \"VALUES\"", ErrorClass::Other},
    {"SnowflakeSyntaxState42000", "42000", 1003, "syntax error line 1", ErrorClass::Other},
    {"PermissionDenied", "42501", 7, "permission denied for table pumps", ErrorClass::Other},
    {"StatementCountMismatch", "0A000", 8,
     "Actual statement count 3 did not match the desired statement count 1.", ErrorClass::Other},
    {"EmulatorTransactionAborted", "25P02", 7, "current transaction is aborted", ErrorClass::Other},
    {"GeneralErrorWithoutKnownWords", "HY000", 0, "Something went wrong", ErrorClass::Other},
    {"NothingAtAll", "", 0, "", ErrorClass::Other},
    // Native codes decide before the SQLSTATE, the SQLSTATE before the message.
    {"NativeCodeBeatsState", "08S01", 100078, "", ErrorClass::Data},
    {"StateBeatsMessage", "22001", 0, "Table 'X' does not exist", ErrorClass::Data},
    // A state counts only when it is five characters long.
    {"StateWithTrailingSpaceIsNotData", "22001 ", 0, "", ErrorClass::Other},
    {"ShortStateIsNotConnection", "08S0", 0, "", ErrorClass::Other},
    // Further into the message, a code-like text is a quoted value, not the error's code.
    {"CodeLikeTextInsideTheMessageIsIgnored", "42601", 0,
     "syntax error at or near \"100078 (22000): x\"", ErrorClass::Other},
};

class ClassifyError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ClassifyError, FollowsTheTable) {
    const ErrorCase& c = GetParam();
    EXPECT_EQ(classifyError(c.sqlState, c.nativeError, c.message), c.expected)
        << errorClassName(classifyError(c.sqlState, c.nativeError, c.message));
}

INSTANTIATE_TEST_SUITE_P(Cases, ClassifyError, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<ErrorCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
