#include "tools/plugin_library.h"

#include <dlfcn.h>

namespace varnholt {
namespace runner {

namespace {

// dlopen searches the library path for a bare file name; the runner means the file itself.
std::string loadablePath(const std::string& path) {
    return path.find('/') == std::string::npos ? "./" + path : path;
}

std::string lastError() {
    const char* error = dlerror();
    return error ? error : "unknown error";
}

}  // namespace

PluginLibrary::PluginLibrary(const std::string& path) : libraryPath(path) {
    dlerror();
    handle = dlopen(loadablePath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        throw PluginLoadError("cannot load plugin '" + path + "': " + lastError());
    }
    try {
        infoFn = reinterpret_cast<PluginInfoFn>(resolve("plugin_info"));
        initFn = reinterpret_cast<PluginInitFn>(resolve("plugin_init"));
        sendFn = reinterpret_cast<PluginSendFn>(resolve("plugin_send"));
        shutdownFn = reinterpret_cast<PluginShutdownFn>(resolve("plugin_shutdown"));
        checkFn = reinterpret_cast<PluginCheckFn>(dlsym(handle, "plugin_check"));
    } catch (...) {
        dlclose(handle);
        throw;
    }
}

PluginLibrary::~PluginLibrary() {
    dlclose(handle);
}

void* PluginLibrary::resolve(const char* symbol) {
    dlerror();
    void* address = dlsym(handle, symbol);
    if (!address) {
        throw PluginLoadError("'" + libraryPath + "' is not a north plugin: no entry point " +
                              symbol);
    }
    return address;
}

}  // namespace runner
}  // namespace varnholt
