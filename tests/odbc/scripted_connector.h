#ifndef TESTS_ODBC_SCRIPTED_CONNECTOR_H
#define TESTS_ODBC_SCRIPTED_CONNECTOR_H

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "config/default_config.h"
#include "connector/snowflake_odbc_connector.h"
#include "host/config_category.h"
#include "tests/support/scripted_driver.h"

namespace varnholt {
namespace test {

// Reads the connection status and ages the last attempt, which only the connector can reach.
class ConnectorProbe : public SnowflakeODBCConnector {
public:
    int state() const { return connectionState; }
    void moveLastAttemptBack(std::chrono::nanoseconds by) { lastConnectAttempt -= by; }
};

// A connector configured from the published defaults against a freshly reset scripted driver;
// no driver handle may outlive it.
template <typename Base = ::testing::Test>
class ScriptedConnectorTest : public Base {
protected:
    void SetUp() override {
        driver().reset();
        startInstance();
    }

    // A new plugin instance, as after a restart of the host; the previous one is shut down first.
    void startInstance() {
        connector.reset();
        connector = std::make_unique<ConnectorProbe>();
        ConfigCategory category("varnholt", defaultConfiguration());
        ASSERT_TRUE(connector->configure(&category));
    }

    void TearDown() override {
        connector.reset();
        EXPECT_EQ(driver().openHandles(), 0);
    }

    static ScriptedDriver& driver() { return ScriptedDriver::instance(); }

    std::unique_ptr<ConnectorProbe> connector;
};

}  // namespace test
}  // namespace varnholt

#endif
