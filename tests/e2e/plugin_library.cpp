#include "tests/e2e/plugin_library.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#ifndef VARNHOLT_PLUGIN_PATH
#error "VARNHOLT_PLUGIN_PATH must name the built plugin library"
#endif

namespace varnholt {
namespace test {

const PluginLibrary& PluginLibrary::instance() {
    // Never unloaded: sanitizer reports at exit need the plugin's symbols.
    static const PluginLibrary* const loaded = new PluginLibrary();
    return *loaded;
}

PluginLibrary::PluginLibrary()
    : library(dlopen(VARNHOLT_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)),
      infoFn(nullptr),
      initFn(nullptr),
      sendFn(nullptr),
      shutdownFn(nullptr) {
    if (library == nullptr) {
        const char* error = dlerror();
        throw std::runtime_error(std::string("dlopen ") + VARNHOLT_PLUGIN_PATH + ": " +
                                 (error ? error : "unknown error"));
    }
    infoFn = reinterpret_cast<PluginInfoFn>(symbol("plugin_info"));
    initFn = reinterpret_cast<PluginInitFn>(symbol("plugin_init"));
    sendFn = reinterpret_cast<PluginSendFn>(symbol("plugin_send"));
    shutdownFn = reinterpret_cast<PluginShutdownFn>(symbol("plugin_shutdown"));
}

void* PluginLibrary::symbol(const char* name) const {
    dlerror();
    void* address = dlsym(library, name);
    if (address == nullptr) {
        const char* error = dlerror();
        throw std::runtime_error(std::string("dlsym ") + name + ": " +
                                 (error ? error : "symbol is null"));
    }
    return address;
}

}  // namespace test
}  // namespace varnholt
