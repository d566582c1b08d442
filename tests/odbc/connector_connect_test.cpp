#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>

#include "config/default_config.h"
#include "connector/snowflake_odbc_connector.h"
#include "host/config_category.h"
#include "host/log_capture.h"
#include "tests/odbc/scripted_connector.h"
#include "tests/support/scripted_driver.h"

namespace {

using varnholt::test::ConnectorProbe;
using varnholt::test::DiagRecord;
using varnholt::test::ScriptedDriver;
using Level = Logger::Level;

struct RefusedConnect {
    const char* name;
    DiagRecord diag;
    bool final;
};

std::ostream& operator<<(std::ostream& out, const RefusedConnect& c) {
    return out << c.name;
}

class ConnectorConnect
    : public varnholt::test::ScriptedConnectorTest<::testing::TestWithParam<RefusedConnect>> {};

// A refused attempt, then a server that would accept the login: only a refused login keeps the
// connector from trying again once the back-off has passed.
TEST_P(ConnectorConnect, RetriesEverythingButARefusedLogin) {
    const RefusedConnect& c = GetParam();
    driver().setConnectResult(SQL_ERROR, c.diag);
    LogCapture capture;

    connector->connect();

    EXPECT_EQ(connector->state(), c.final ? TOLVANE_ODBC_FAILED : TOLVANE_ODBC_EAGAIN);
    // A transient failure: the driver's warning, and the one that starts the outage.
    const std::vector<std::string> warnings = capture.texts(Level::WARN);
    ASSERT_EQ(warnings.size(), c.final ? 0u : 2u);
    if (!c.final) {
        EXPECT_EQ(warnings[1].rfind("Database connection lost at ", 0), 0u) << warnings[1];
    }
    EXPECT_EQ(capture.texts(Level::ERROR).size(), c.final ? 1u : 0u);
    const std::string details = "SQLSTATE=" + c.diag.sqlState +
                                ", NativeError=" + std::to_string(c.diag.nativeError) +
                                ", Message=" + c.diag.message;
    EXPECT_TRUE(capture.anyLineContains(details));
    EXPECT_EQ(driver().openHandles(), 0);

    driver().setConnectResult(SQL_SUCCESS);
    connector->moveLastAttemptBack(ReconnectBackoff::FIRST_WAIT);
    connector->connect();

    EXPECT_EQ(connector->state(), c.final ? TOLVANE_ODBC_FAILED : TOLVANE_ODBC_SUCCESS);
    EXPECT_EQ(driver().connectCount(), c.final ? 0 : 1);
    EXPECT_EQ(capture.anyLineContains(" s: 0 batches refused meanwhile"), !c.final);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectorConnect,
    ::testing::Values(
        RefusedConnect{"OddStateFromAProxy", {"XX000", 0, "upstream unavailable"}, false},
        RefusedConnect{
            "SnowflakeNetworkFailure", {"HY000", 0, "Couldn't connect to server"}, false},
        RefusedConnect{"NoRecordAtAll", {}, false},
        RefusedConnect{"WrongPassword",
                       {"28000", 390100, "Incorrect username or password was specified."},
                       true},
        RefusedConnect{"SyntaxOrAccessViolation", {"42000", 0, "Invalid account"}, true},
        // psqlODBC, behind the emulator, reports a refused password under a connection state.
        RefusedConnect{"PasswordRefusedUnderAConnectionState",
                       {"08001", 101,
                        "connection to server at \"127.0.0.1\", port 5432 failed: FATAL:  "
                        "password authentication failed for user \"tolvane\""},
                       true}),
    [](const ::testing::TestParamInfo<RefusedConnect>& info) {
        return std::string(info.param.name);
    });

}  // namespace
