#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/config_category.h"
#include "host/log_capture.h"
#include "host/plugin_api.h"
#include "tests/support/built_plugin.h"
#include "tests/support/default_configuration.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/test_readings.h"

namespace {

using varnholt::test::Batch;
using varnholt::test::ReadingBuilder;
using varnholt::test::ScriptedDriver;
using varnholt::test::StatementScript;
using Level = Logger::Level;
using Strings = std::vector<std::string>;

using Plugin = varnholt::test::BuiltPlugin;

std::string run(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string output;
    char buffer[4096];
    size_t length;
    while ((length = fread(buffer, 1, sizeof(buffer), pipe.get())) > 0) {
        output.append(buffer, length);
    }
    return output;
}

size_t digitsAt(const std::string& text, size_t at) {
    size_t end = at;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        ++end;
    }
    return end - at;
}

// release-commits-revision: "1.2.3-4-0abc12f" or, outside a repository, "1.2.3-0-unknown".
bool isVersionText(const std::string& text) {
    size_t at = 0;
    for (const char separator : {'.', '.', '-', '-'}) {
        const size_t digits = digitsAt(text, at);
        if (digits == 0 || at + digits >= text.size() || text[at + digits] != separator) {
            return false;
        }
        at += digits + 1;
    }
    const std::string revision = text.substr(at);
    return revision == "unknown" ||
           (!revision.empty() &&
            revision.find_first_not_of("0123456789abcdef") == std::string::npos);
}

TEST(VersionText, Format) {
    EXPECT_TRUE(isVersionText("1.0.0-2-28a975c"));
    EXPECT_TRUE(isVersionText("10.20.30-0-unknown"));
    EXPECT_FALSE(isVersionText("1.0.0"));
    EXPECT_FALSE(isVersionText("1.0-2-28a975c"));
    EXPECT_FALSE(isVersionText("1.0.0-2-28A975C"));
    EXPECT_FALSE(isVersionText("1.0.0-x-28a975c"));
    EXPECT_FALSE(isVersionText("1.0.0-2-"));
    EXPECT_FALSE(isVersionText("1.0.0-2-abc-d"));
}

class EntryPoints : public ::testing::Test {
protected:
    void SetUp() override {
        driver().reset();
        plugin = &Plugin::instance();
    }

    void TearDown() override { EXPECT_EQ(driver().openHandles(), 0); }

    static ScriptedDriver& driver() { return ScriptedDriver::instance(); }

    // The category the host builds from the published defaults.
    ConfigCategory defaults() const { return ConfigCategory("varnholt", plugin->info()->config); }

    static std::unique_ptr<Reading> pump(double temperature) {
        return ReadingBuilder("pumps").real("temperature", temperature).build();
    }

    const Plugin* plugin = nullptr;
};

TEST_F(EntryPoints, InformationRecord) {
    const PLUGIN_INFORMATION* info = plugin->info();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(plugin->info(), info);
    EXPECT_STREQ(info->name, "varnholt");
    EXPECT_TRUE(isVersionText(info->version)) << info->version;
    EXPECT_EQ(info->options, 0u);
    EXPECT_STREQ(info->type, "north");
    EXPECT_STREQ(info->interface, "1.0.0");
    ASSERT_NE(info->config, nullptr);
}

TEST_F(EntryPoints, DefaultConfigurationHasTheNineItemsInOrder) {
    EXPECT_EQ(varnholt::test::readConfigurationItems(plugin->info()->config),
              varnholt::test::expectedDefaultConfiguration());
}

// The host's four, and the settings check that the north runner's --check calls.
TEST_F(EntryPoints, ExportsExactlyTheEntryPointsUnmangled) {
    std::istringstream symbols(run("nm -D --defined-only " VARNHOLT_PLUGIN_PATH));
    std::set<std::string> unmangled;
    std::string line;
    while (std::getline(symbols, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (name.empty() || name.compare(0, 2, "_Z") == 0) {
            continue;
        }
        unmangled.insert(name);
        if (name.compare(0, 7, "plugin_") == 0) {
            EXPECT_EQ(type, "T") << name;
        }
    }
    EXPECT_EQ(unmangled, (std::set<std::string>{"plugin_check", "plugin_info", "plugin_init",
                                                "plugin_send", "plugin_shutdown"}));
}

TEST_F(EntryPoints, LibraryCarriesItsSoname) {
    const std::string dynamic = run("readelf -d " VARNHOLT_PLUGIN_PATH);
    EXPECT_NE(dynamic.find("(SONAME)"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("Library soname: [libvarnholt.so.1]"), std::string::npos) << dynamic;
}

TEST_F(EntryPoints, InitConfiguresWithoutConnecting) {
    ConfigCategory category = defaults();
    LogCapture capture;
    PLUGIN_HANDLE handle = plugin->init(&category);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(driver().connectCount(), 0);
    EXPECT_TRUE(capture.contains(
        Level::INFO,
        "Database configuration updated: Server=localhost, Port=443, Database=default_db"));
    plugin->shutdown(handle);
}

TEST_F(EntryPoints, DeliveredBatchReturnsItsSize) {
    ConfigCategory category = defaults();
    PLUGIN_HANDLE handle = plugin->init(&category);
    Batch batch;
    batch.add(pump(1.5));
    batch.add(pump(2.5));
    batch.add(ReadingBuilder("valves").integer("open", 1).build());

    EXPECT_EQ(plugin->send(handle, batch.pointers()), 3u);

    size_t inserts = 0;
    for (const std::string& statement : driver().journal()) {
        inserts += statement.compare(0, 12, "INSERT INTO ") == 0 ? 1 : 0;
    }
    // One per table, and the delivery ledger's row.
    EXPECT_EQ(inserts, 3u);
    EXPECT_NE(driver().lastConnectionString().find("SnowflakeDSIIDriver"), std::string::npos);
    plugin->shutdown(handle);
}

TEST_F(EntryPoints, BatchWithDroppedReadingsStillCountsWhole) {
    ConfigCategory category = defaults();
    PLUGIN_HANDLE handle = plugin->init(&category);
    Batch batch;
    batch.add(pump(1.5));
    batch.addNull();
    EXPECT_EQ(plugin->send(handle, batch.pointers()), 2u);
    plugin->shutdown(handle);
}

TEST_F(EntryPoints, FailingBatchReturnsZero) {
    StatementScript failure;
    failure.match = "INSERT INTO ";
    failure.returnCode = SQL_ERROR;
    failure.diagnostics = {{"42601", 1003, "syntax error"}};
    failure.times = 1;
    driver().addStatement(failure);
    ConfigCategory category = defaults();
    PLUGIN_HANDLE handle = plugin->init(&category);
    Batch batch;
    batch.add(pump(1.5));

    EXPECT_EQ(plugin->send(handle, batch.pointers()), 0u);
    // The host keeps the batch and sends it again.
    EXPECT_EQ(plugin->send(handle, batch.pointers()), 1u);
    plugin->shutdown(handle);
}

TEST_F(EntryPoints, RefusedConnectionReturnsZero) {
    driver().setConnectResult(SQL_ERROR, {"08001", 0, "Connection refused"});
    ConfigCategory category = defaults();
    PLUGIN_HANDLE handle = plugin->init(&category);
    Batch batch;
    batch.add(pump(1.5));
    EXPECT_EQ(plugin->send(handle, batch.pointers()), 0u);
    EXPECT_EQ(driver().journal(), Strings{});
    plugin->shutdown(handle);
}

TEST_F(EntryPoints, EmptyBatchReturnsZeroWithoutSQL) {
    ConfigCategory category = defaults();
    PLUGIN_HANDLE handle = plugin->init(&category);
    Batch batch;
    EXPECT_EQ(plugin->send(handle, batch.pointers()), 0u);
    EXPECT_EQ(driver().journal(), Strings{});
    plugin->shutdown(handle);
}

TEST_F(EntryPoints, SendWithoutAHandleReturnsZero) {
    Batch batch;
    batch.add(pump(1.5));
    EXPECT_EQ(plugin->send(nullptr, batch.pointers()), 0u);
    EXPECT_EQ(driver().connectCount(), 0);
}

TEST_F(EntryPoints, ShutdownDisconnectsAndReleasesTheConnector) {
    ConfigCategory category = defaults();
    PLUGIN_HANDLE handle = plugin->init(&category);
    Batch batch;
    batch.add(pump(1.5));
    ASSERT_EQ(plugin->send(handle, batch.pointers()), 1u);
    LogCapture capture;

    plugin->shutdown(handle);

    EXPECT_EQ(driver().disconnectCount(), 1);
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Disconnecting from database"));
    EXPECT_TRUE(capture.contains(Level::INFO, "Database disconnected"));
    EXPECT_TRUE(capture.contains(Level::DEBUG, "ODBCClient instance is being destroyed."));
}

TEST_F(EntryPoints, ShutdownWithoutAHandleDoesNothing) {
    LogCapture capture;
    plugin->shutdown(nullptr);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(EntryPoints, InitWithoutACategoryStillReturnsAHandle) {
    LogCapture capture;
    PLUGIN_HANDLE handle = plugin->init(nullptr);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(capture.contains(Level::ERROR, "Configuration is null - cannot configure"));
    EXPECT_TRUE(capture.contains(Level::ERROR, "Snowflake configuration failed"));
    Batch batch;
    batch.add(pump(1.5));
    // Without the Snowflake settings nothing reaches the scripted driver.
    EXPECT_EQ(plugin->send(handle, batch.pointers()), 0u);
    EXPECT_EQ(driver().journal(), Strings{});
    plugin->shutdown(handle);
}

TEST_F(EntryPoints, InitPassesAConfigurationErrorOnAndReleasesTheConnector) {
    ConfigCategory category = defaults();
    category.setValue("port", "not a number");
    LogCapture capture;
    EXPECT_THROW(plugin->init(&category), ConfigCategoryError);
    EXPECT_TRUE(capture.contains(Level::DEBUG, "ODBCClient instance is being destroyed."));
    EXPECT_EQ(driver().connectCount(), 0);
}

}  // namespace
