#include "bench/plugin_session.h"

#include <stdexcept>

#include "tests/support/built_plugin.h"
#include "tests/support/scripted_driver.h"

namespace bench {

namespace {
using varnholt::test::BuiltPlugin;
using varnholt::test::ScriptedDriver;
using varnholt::test::StatementScript;
}  // namespace

const char* const PluginSession::INSTANCE_NAME = "benchInstance";

PluginSession& PluginSession::instance() {
    static PluginSession* const session = new PluginSession();
    return *session;
}

PluginSession::PluginSession() : plugin(nullptr) {
    // Points the driver manager at the scripted registry before any ODBC call.
    ScriptedDriver::instance();
    plugin = &BuiltPlugin::instance();
    const PLUGIN_INFORMATION* info = plugin->info();
    if (info == nullptr || info->config == nullptr) {
        throw std::runtime_error("the plugin publishes no default configuration");
    }
    category = ConfigCategory("varnholt-bench", info->config);
    category.setValue("tolvaneInstance", INSTANCE_NAME);
}

void PluginSession::scriptDriver(bool journaling) const {
    ScriptedDriver& driver = ScriptedDriver::instance();
    driver.reset();
    StatementScript columnQuery;
    columnQuery.match = "SELECT column_name,data_type FROM information_schema.columns";
    columnQuery.columns = {"COLUMN_NAME", "DATA_TYPE"};
    driver.addStatement(columnQuery);
    driver.setJournaling(journaling);
}

std::vector<std::string> PluginSession::journal() const {
    return ScriptedDriver::instance().journal();
}

PLUGIN_HANDLE PluginSession::init() {
    PLUGIN_HANDLE handle = plugin->init(&category);
    if (handle == nullptr) {
        throw std::runtime_error("plugin_init returned no handle");
    }
    return handle;
}

}  // namespace bench
