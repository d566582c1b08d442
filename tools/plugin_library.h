#ifndef TOOLS_PLUGIN_LIBRARY_H
#define TOOLS_PLUGIN_LIBRARY_H

#include <stdexcept>
#include <string>

#include "host/plugin_api.h"

namespace varnholt {
namespace runner {

// A library that cannot be loaded or lacks an entry point.
class PluginLoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A north plugin loaded by path, with its four entry points resolved; unloaded on destruction.
class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    const std::string& path() const { return libraryPath; }
    PluginInfoFn info() const { return infoFn; }
    PluginInitFn init() const { return initFn; }
    PluginSendFn send() const { return sendFn; }
    PluginShutdownFn shutdown() const { return shutdownFn; }
    // Null for a plugin without a settings check.
    PluginCheckFn check() const { return checkFn; }

private:
    void* resolve(const char* symbol);

    std::string libraryPath;
    void* handle = nullptr;
    PluginInfoFn infoFn = nullptr;
    PluginInitFn initFn = nullptr;
    PluginSendFn sendFn = nullptr;
    PluginShutdownFn shutdownFn = nullptr;
    PluginCheckFn checkFn = nullptr;
};

}  // namespace runner
}  // namespace varnholt

#endif
