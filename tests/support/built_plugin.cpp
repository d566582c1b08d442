#include "tests/support/built_plugin.h"

#include "tools/plugin_library.h"

#ifndef VARNHOLT_PLUGIN_PATH
#error "VARNHOLT_PLUGIN_PATH must name the built plugin library"
#endif

namespace varnholt {
namespace test {

const BuiltPlugin& BuiltPlugin::instance() {
    static const BuiltPlugin* const loaded = new BuiltPlugin();
    return *loaded;
}

// Never deleted, so the library is never unloaded.
BuiltPlugin::BuiltPlugin() : library(new runner::PluginLibrary(VARNHOLT_PLUGIN_PATH)) {}

PLUGIN_INFORMATION* BuiltPlugin::info() const {
    return library->info()();
}

PLUGIN_HANDLE BuiltPlugin::init(ConfigCategory* config) const {
    return library->init()(config);
}

uint32_t BuiltPlugin::send(PLUGIN_HANDLE handle, const std::vector<Reading*>& readings) const {
    return library->send()(handle, readings);
}

void BuiltPlugin::shutdown(PLUGIN_HANDLE handle) const {
    library->shutdown()(handle);
}

}  // namespace test
}  // namespace varnholt
