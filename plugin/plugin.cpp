// The four entry points the host looks up, and the plugin information record.
#include <memory>

#include "config/default_config.h"
#include "connector/snowflake_odbc_connector.h"
#include "host/plugin_api.h"

#ifndef VARNHOLT_VERSION_TEXT
#define VARNHOLT_VERSION_TEXT "0.0.0-0-unknown"
#endif

namespace {
PLUGIN_INFORMATION info = {
    "varnholt",             // name
    VARNHOLT_VERSION_TEXT,  // version
    0,                      // options
    "north",                // type
    "1.0.0",                // interface version
    nullptr,                // default configuration, set when the library is loaded
};

struct DefaultConfigurationSetter {
    DefaultConfigurationSetter() { info.config = defaultConfiguration(); }
} defaultConfigurationSetter;
}  // namespace

extern "C" {

PLUGIN_INFORMATION* plugin_info() {
    return &info;
}

PLUGIN_HANDLE plugin_init(ConfigCategory* config) {
    // Held by a smart pointer until configured, so a configuration that throws does not leak
    // the connector on its way to the host.
    auto connector = std::make_unique<SnowflakeODBCConnector>();
    connector->configure(config);
    return connector.release();
}

uint32_t plugin_send(PLUGIN_HANDLE handle, const std::vector<Reading*>& readings) {
    if (!handle) {
        return 0;
    }
    auto* connector = static_cast<SnowflakeODBCConnector*>(handle);
    return connector->send(readings) ? static_cast<uint32_t>(readings.size()) : 0;
}

// Beyond the host's four entry points: the north runner's --check. Connects with the
// instance's settings, reports each item through `report` and returns 1 when batches can be
// delivered, else 0. Writes no reading's table.
int plugin_check(PLUGIN_HANDLE handle, PluginCheckReportFn report, void* context) {
    if (!handle || !report) {
        return 0;
    }
    auto* connector = static_cast<SnowflakeODBCConnector*>(handle);
    bool passed = true;
    for (const CheckItem& item : connector->check()) {
        report(context, item.name.c_str(), item.passed ? 1 : 0, item.result.c_str(),
               item.fix.c_str());
        passed = passed && item.passed;
    }
    return passed ? 1 : 0;
}

void plugin_shutdown(PLUGIN_HANDLE handle) {
    if (handle) {
        delete static_cast<SnowflakeODBCConnector*>(handle);
    }
}

}  // extern "C"
