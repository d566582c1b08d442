#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tools/plugin_library.h"

using varnholt::runner::PluginLibrary;
using varnholt::runner::PluginLoadError;

namespace {

std::string loadError(const std::string& path) {
    try {
        PluginLibrary library(path);
    } catch (const PluginLoadError& error) {
        return error.what();
    }
    return "";
}

TEST(RunnerPluginLibrary, MissingFile) {
    std::string message = loadError("/nonexistent/libnothing.so");
    EXPECT_EQ(message.rfind("cannot load plugin '/nonexistent/libnothing.so': ", 0), 0u) << message;
}

TEST(RunnerPluginLibrary, BareNameIsNotLookedUpOnTheLibraryPath) {
    // libc is found by the loader's search; a plugin path names a file.
    std::string message = loadError("libc.so.6");
    EXPECT_EQ(message.rfind("cannot load plugin 'libc.so.6': ", 0), 0u) << message;
}

TEST(RunnerPluginLibrary, FileThatIsNoLibrary) {
    char path[] = "/tmp/runner_not_a_library_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "hello\n", 6), 6);
    close(fd);
    std::string message = loadError(path);
    unlink(path);
    EXPECT_EQ(message.rfind("cannot load plugin '" + std::string(path) + "': ", 0), 0u) << message;
}

TEST(RunnerPluginLibrary, LibraryWithoutEntryPoints) {
    std::string path = std::string(VARNHOLT_BINARY_DIR) + "/libtolvane-common.so";
    EXPECT_EQ(loadError(path), "'" + path + "' is not a north plugin: no entry point plugin_info");
}

TEST(RunnerPluginLibrary, ResolvesTheEntryPointsOfTheBuiltPlugin) {
    PluginLibrary library(VARNHOLT_PLUGIN_PATH);
    EXPECT_EQ(library.path(), VARNHOLT_PLUGIN_PATH);
    ASSERT_NE(library.info(), nullptr);
    EXPECT_NE(library.init(), nullptr);
    EXPECT_NE(library.send(), nullptr);
    EXPECT_NE(library.shutdown(), nullptr);
    const PLUGIN_INFORMATION* info = library.info()();
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->name, "varnholt");
    EXPECT_STREQ(info->type, "north");
}

}  // namespace
