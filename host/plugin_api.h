#ifndef HOST_PLUGIN_API_H
#define HOST_PLUGIN_API_H

#include <cstdint>
#include <vector>

class ConfigCategory;
class Reading;

// The host's view of a north plugin: an information record and four C entry points.
typedef void* PLUGIN_HANDLE;

typedef struct {
    const char* name;
    const char* version;
    uint32_t options;
    const char* type;
    const char* interface;
    const char* config;
} PLUGIN_INFORMATION;

typedef PLUGIN_INFORMATION* (*PluginInfoFn)();
typedef PLUGIN_HANDLE (*PluginInitFn)(ConfigCategory* config);
typedef uint32_t (*PluginSendFn)(PLUGIN_HANDLE handle, const std::vector<Reading*>& readings);
typedef void (*PluginShutdownFn)(PLUGIN_HANDLE handle);

// Optional: a plugin that can check its settings without delivering exports plugin_check, which
// reports each item checked (its name, 1 when it passed, what was found, what to change) and
// returns 1 when all passed.
typedef void (*PluginCheckReportFn)(void* context, const char* name, int passed, const char* result,
                                    const char* fix);
typedef int (*PluginCheckFn)(PLUGIN_HANDLE handle, PluginCheckReportFn report, void* context);

#endif
