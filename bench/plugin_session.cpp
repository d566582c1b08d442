#include "bench/plugin_session.h"

#include <dlfcn.h>

#include <stdexcept>

#include "tests/support/scripted_driver.h"

namespace bench {

namespace {
using varnholt::test::ScriptedDriver;
using varnholt::test::StatementScript;
}  // namespace

const char* const PluginSession::INSTANCE_NAME = "benchInstance";

PluginSession& PluginSession::instance() {
    static PluginSession* const session = new PluginSession();
    return *session;
}

PluginSession::PluginSession()
    : library(nullptr), initFn(nullptr), sendFn(nullptr), shutdownFn(nullptr) {
    // Points the driver manager at the scripted registry before any ODBC call.
    ScriptedDriver::instance();
    library = dlopen(VARNHOLT_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = dlerror();
        throw std::runtime_error(std::string("dlopen ") + VARNHOLT_PLUGIN_PATH + ": " +
                                 (error ? error : "unknown error"));
    }
    auto infoFn = reinterpret_cast<PluginInfoFn>(symbol("plugin_info"));
    initFn = reinterpret_cast<PluginInitFn>(symbol("plugin_init"));
    sendFn = reinterpret_cast<PluginSendFn>(symbol("plugin_send"));
    shutdownFn = reinterpret_cast<PluginShutdownFn>(symbol("plugin_shutdown"));
    const PLUGIN_INFORMATION* info = infoFn();
    if (info == nullptr || info->config == nullptr) {
        throw std::runtime_error("the plugin publishes no default configuration");
    }
    category = ConfigCategory("varnholt-bench", info->config);
    category.setValue("tolvaneInstance", INSTANCE_NAME);
}

void* PluginSession::symbol(const char* name) const {
    dlerror();
    void* address = dlsym(library, name);
    if (address == nullptr) {
        const char* error = dlerror();
        throw std::runtime_error(std::string("dlsym ") + name + ": " +
                                 (error ? error : "symbol is null"));
    }
    return address;
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
    PLUGIN_HANDLE handle = initFn(&category);
    if (handle == nullptr) {
        throw std::runtime_error("plugin_init returned no handle");
    }
    return handle;
}

}  // namespace bench
