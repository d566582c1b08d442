#ifndef TESTS_E2E_PLUGIN_E2E_TEST_H
#define TESTS_E2E_PLUGIN_E2E_TEST_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/config_category.h"
#include "host/log_capture.h"
#include "host/plugin_api.h"
#include "tests/support/emulator.h"
#include "tests/support/test_readings.h"

namespace varnholt {
namespace test {

// Base of the end-to-end tests: the loaded plugin against the shared emulator. Instances made
// with startInstance() are shut down at the end of the test.
class PluginE2ETest : public ::testing::Test {
protected:
    using Value = Emulator::Value;
    using Rows = Emulator::Rows;
    // (column name, type) pairs in column order.
    using Columns = std::vector<std::pair<std::string, std::string>>;

    PluginE2ETest();

    void SetUp() override;
    void TearDown() override;

    // The plugin's own default configuration pointed at the emulator.
    ConfigCategory emulatorCategory(const std::string& instanceName) const;
    PLUGIN_HANDLE startInstance(const std::string& instanceName = "e2e-instance");
    // An instance of the emulator's category with these items changed.
    PLUGIN_HANDLE startInstance(const std::string& instanceName,
                                const std::vector<std::pair<std::string, std::string>>& items);
    // An instance with a configuration of the test's own (emulatorCategory() changed).
    PLUGIN_HANDLE startInstance(ConfigCategory& category);
    void stopInstance(PLUGIN_HANDLE handle);

    uint32_t send(PLUGIN_HANDLE handle, const Batch& batch) const;
    // Resends the batch the way the host does after a failure, one attempt a second, until it
    // is delivered or the time is up; returns the last count.
    uint32_t resendUntilDelivered(PLUGIN_HANDLE handle, const Batch& batch,
                                  std::chrono::seconds limit) const;

    // The table in the plugin's schema, or in another one, quoted for SQL.
    std::string tableRef(const std::string& table) const;
    std::string tableRef(const std::string& schema, const std::string& table) const;
    // The columns as the emulator's information schema reports them (Snowflake type names).
    Columns reportedColumns(const std::string& table) const;
    Columns reportedColumns(const std::string& schema, const std::string& table) const;
    // The columns with PostgreSQL's own declared types, " NOT NULL" appended where it applies.
    Columns storedColumns(const std::string& table) const;
    Columns storedColumns(const std::string& schema, const std::string& table) const;
    bool tableExists(const std::string& schema, const std::string& table) const;

    Rows query(const std::string& sql) const { return emulator.query(sql); }
    // The single value of a one-row, one-column query.
    Value scalar(const std::string& sql) const;

    static std::string quoteIdentifier(const std::string& name);
    // An E'...' literal: means the same whatever the server's backslash setting.
    static std::string quoteLiteral(const std::string& text);
    // Every statement the plugin sent while the capture was on, from its debug lines (a request
    // of several statements split at the dialect's separator).
    static std::vector<std::string> statementsSent(const LogCapture& capture);
    // A UTC instant of a TIMESTAMP_TZ column as "YYYY-MM-DD HH:MM:SS.ffffff".
    static std::string utcInstant(const std::string& column);

    Emulator& emulator;

private:
    std::vector<PLUGIN_HANDLE> instances;
};

// Shorthands for expected values.
inline Emulator::Value text(const std::string& value) {
    return Emulator::Value(value);
}
inline Emulator::Value null() {
    return Emulator::Value();
}

}  // namespace test
}  // namespace varnholt

#endif
