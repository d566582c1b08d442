#ifndef TESTS_E2E_PLUGIN_LIBRARY_H
#define TESTS_E2E_PLUGIN_LIBRARY_H

#include <cstdint>
#include <vector>

#include "host/plugin_api.h"

namespace varnholt {
namespace test {

// The built plugin, loaded as the host loads it: dlopen and the four entry points by name.
class PluginLibrary {
public:
    // Loaded on first use and kept for the life of the process. Throws std::runtime_error when
    // the library or one of its entry points cannot be found.
    static const PluginLibrary& instance();

    PLUGIN_INFORMATION* info() const { return infoFn(); }
    PLUGIN_HANDLE init(ConfigCategory* config) const { return initFn(config); }
    uint32_t send(PLUGIN_HANDLE handle, const std::vector<Reading*>& readings) const {
        return sendFn(handle, readings);
    }
    void shutdown(PLUGIN_HANDLE handle) const { shutdownFn(handle); }

private:
    PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    void* symbol(const char* name) const;

    void* library;
    PluginInfoFn infoFn;
    PluginInitFn initFn;
    PluginSendFn sendFn;
    PluginShutdownFn shutdownFn;
};

}  // namespace test
}  // namespace varnholt

#endif
