#ifndef TESTS_SUPPORT_BUILT_PLUGIN_H
#define TESTS_SUPPORT_BUILT_PLUGIN_H

#include <cstdint>
#include <vector>

#include "host/plugin_api.h"

namespace varnholt {
namespace runner {
class PluginLibrary;
}

namespace test {

// The plugin built with the tests, loaded as the host loads it (dlopen, the four entry points by
// name) on first use and kept for the life of the process, so that sanitizer reports at exit can
// still name its code. Throws std::runtime_error when it cannot be loaded.
class BuiltPlugin {
public:
    static const BuiltPlugin& instance();

    PLUGIN_INFORMATION* info() const;
    PLUGIN_HANDLE init(ConfigCategory* config) const;
    uint32_t send(PLUGIN_HANDLE handle, const std::vector<Reading*>& readings) const;
    void shutdown(PLUGIN_HANDLE handle) const;

private:
    BuiltPlugin();
    BuiltPlugin(const BuiltPlugin&) = delete;
    BuiltPlugin& operator=(const BuiltPlugin&) = delete;

    const runner::PluginLibrary* library;
};

}  // namespace test
}  // namespace varnholt

#endif
