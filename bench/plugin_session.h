#ifndef BENCH_PLUGIN_SESSION_H
#define BENCH_PLUGIN_SESSION_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/config_category.h"
#include "host/plugin_api.h"
#include "tests/support/built_plugin.h"

namespace bench {

// The built plugin as the host sees it: loaded with dlopen, reached only through its entry
// points, talking to the scripted ODBC driver through the real driver manager.
class PluginSession {
public:
    static const char* const INSTANCE_NAME;

    // Loads the plugin and the scripted driver on first use; never unloaded.
    static PluginSession& instance();

    // Scripted driver back to accepting every statement, without journaling unless asked:
    // the column query answers with an empty result, so every table is new to the plugin.
    void scriptDriver(bool journaling) const;
    // Statements the driver received since scriptDriver(true).
    std::vector<std::string> journal() const;

    PLUGIN_HANDLE init();
    uint32_t send(PLUGIN_HANDLE handle, const std::vector<Reading*>& readings) const {
        return plugin->send(handle, readings);
    }
    void shutdown(PLUGIN_HANDLE handle) const { plugin->shutdown(handle); }

private:
    PluginSession();
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;

    const varnholt::test::BuiltPlugin* plugin;
    ConfigCategory category;
};

}  // namespace bench

#endif
