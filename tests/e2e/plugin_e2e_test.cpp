#include "tests/e2e/plugin_e2e_test.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "tests/support/built_plugin.h"

namespace varnholt {
namespace test {

PluginE2ETest::PluginE2ETest() : emulator(sharedEmulator()) {}

void PluginE2ETest::SetUp() {
    emulator.setOdbcEnvironment();
    ASSERT_TRUE(emulator.isServerRunning()) << "an earlier test left the emulator stopped";
}

void PluginE2ETest::TearDown() {
    for (PLUGIN_HANDLE handle : instances) {
        BuiltPlugin::instance().shutdown(handle);
    }
    instances.clear();
}

ConfigCategory PluginE2ETest::emulatorCategory(const std::string& instanceName) const {
    const PLUGIN_INFORMATION* info = BuiltPlugin::instance().info();
    if (info == nullptr || info->config == nullptr) {
        throw std::runtime_error("the plugin publishes no default configuration");
    }
    ConfigCategory category("varnholt-e2e", info->config);
    category.setValue("server", emulator.host());
    category.setValue("port", std::to_string(emulator.port()));
    category.setValue("schema", emulator.database());
    category.setValue("user", emulator.user());
    category.setValue("password", emulator.password());
    category.setValue("tolvaneInstance", instanceName);
    return category;
}

PLUGIN_HANDLE PluginE2ETest::startInstance(const std::string& instanceName) {
    return startInstance(instanceName, {});
}

PLUGIN_HANDLE PluginE2ETest::startInstance(
    const std::string& instanceName,
    const std::vector<std::pair<std::string, std::string>>& items) {
    ConfigCategory category = emulatorCategory(instanceName);
    for (const auto& item : items) {
        category.setValue(item.first, item.second);
    }
    return startInstance(category);
}

PLUGIN_HANDLE PluginE2ETest::startInstance(ConfigCategory& category) {
    PLUGIN_HANDLE handle = BuiltPlugin::instance().init(&category);
    if (handle == nullptr) {
        throw std::runtime_error("plugin_init returned no handle");
    }
    instances.push_back(handle);
    return handle;
}

void PluginE2ETest::stopInstance(PLUGIN_HANDLE handle) {
    instances.erase(std::remove(instances.begin(), instances.end(), handle), instances.end());
    BuiltPlugin::instance().shutdown(handle);
}

uint32_t PluginE2ETest::send(PLUGIN_HANDLE handle, const Batch& batch) const {
    return BuiltPlugin::instance().send(handle, batch.pointers());
}

uint32_t PluginE2ETest::resendUntilDelivered(PLUGIN_HANDLE handle, const Batch& batch,
                                             std::chrono::seconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    uint32_t sent = send(handle, batch);
    while (sent == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        sent = send(handle, batch);
    }
    return sent;
}

std::string PluginE2ETest::tableRef(const std::string& table) const {
    return tableRef(emulator.schema(), table);
}

std::string PluginE2ETest::tableRef(const std::string& schema, const std::string& table) const {
    return quoteIdentifier(schema) + "." + quoteIdentifier(table);
}

PluginE2ETest::Columns PluginE2ETest::reportedColumns(const std::string& table) const {
    return reportedColumns(emulator.schema(), table);
}

PluginE2ETest::Columns PluginE2ETest::reportedColumns(const std::string& schema,
                                                      const std::string& table) const {
    Columns columns;
    for (const auto& row : query("SELECT column_name, data_type FROM information_schema.columns"
                                 " WHERE table_schema = " +
                                 quoteLiteral(schema) + " AND table_name = " + quoteLiteral(table) +
                                 " ORDER BY ordinal_position")) {
        columns.emplace_back(row.at(0).value_or("<null>"), row.at(1).value_or("<null>"));
    }
    return columns;
}

PluginE2ETest::Columns PluginE2ETest::storedColumns(const std::string& table) const {
    return storedColumns(emulator.schema(), table);
}

PluginE2ETest::Columns PluginE2ETest::storedColumns(const std::string& schema,
                                                    const std::string& table) const {
    Columns columns;
    for (const auto& row : query("SELECT a.attname::text, format_type(a.atttypid, a.atttypmod)"
                                 " || CASE WHEN a.attnotnull THEN ' NOT NULL' ELSE '' END"
                                 " FROM pg_catalog.pg_attribute a"
                                 " JOIN pg_catalog.pg_class c ON c.oid = a.attrelid"
                                 " JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace"
                                 " WHERE n.nspname = " +
                                 quoteLiteral(schema) + " AND c.relname = " + quoteLiteral(table) +
                                 " AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum")) {
        columns.emplace_back(row.at(0).value_or("<null>"), row.at(1).value_or("<null>"));
    }
    return columns;
}

bool PluginE2ETest::tableExists(const std::string& schema, const std::string& table) const {
    return scalar(
               "SELECT count(*)::text FROM pg_catalog.pg_class c"
               " JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace"
               " WHERE n.nspname = " +
               quoteLiteral(schema) + " AND c.relname = " + quoteLiteral(table)) != text("0");
}

PluginE2ETest::Value PluginE2ETest::scalar(const std::string& sql) const {
    const Rows rows = query(sql);
    if (rows.size() != 1 || rows.front().size() != 1) {
        throw std::runtime_error("expected one value from: " + sql);
    }
    return rows.front().front();
}

std::string PluginE2ETest::quoteIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::vector<std::string> PluginE2ETest::statementsSent(const LogCapture& capture) {
    const std::string single = "Executing query: ";
    const std::string several = "Executing request of ";
    const std::string separator = ";\n";
    std::vector<std::string> statements;
    for (const std::string& line : capture.texts(Logger::Level::DEBUG)) {
        std::string text;
        if (line.compare(0, single.size(), single) == 0) {
            statements.push_back(line.substr(single.size()));
            continue;
        }
        if (line.compare(0, several.size(), several) != 0) {
            continue;
        }
        size_t at = line.find(": ") + 2;
        for (size_t end = line.find(separator, at); end != std::string::npos;
             at = end + separator.size(), end = line.find(separator, at)) {
            statements.push_back(line.substr(at, end - at));
        }
        statements.push_back(line.substr(at));
    }
    return statements;
}

std::string PluginE2ETest::quoteLiteral(const std::string& text) {
    std::string quoted = "E'";
    for (char c : text) {
        if (c == '\'' || c == '\\') {
            quoted += c;
        }
        quoted += c;
    }
    return quoted + "'";
}

std::string PluginE2ETest::utcInstant(const std::string& column) {
    return "to_char(" + quoteIdentifier(column) +
           " AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US')";
}

}  // namespace test
}  // namespace varnholt
