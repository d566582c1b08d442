#include "tests/support/scripted_driver.h"

#include <dlfcn.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/odbc_driver/control_api.h"

namespace varnholt {
namespace test {

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void writeString(JsonWriter& writer, const std::string& text) {
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void writeDiagnostics(JsonWriter& writer, const std::vector<DiagRecord>& records) {
    writer.Key("diagnostics");
    writer.StartArray();
    for (const auto& record : records) {
        if (record.sqlState.empty()) {
            continue;
        }
        writer.StartObject();
        writer.Key("sqlState");
        writeString(writer, record.sqlState);
        writer.Key("nativeError");
        writer.Int(record.nativeError);
        writer.Key("message");
        writeString(writer, record.message);
        writer.EndObject();
    }
    writer.EndArray();
}

// {"<key>": {"returnCode": n, "diagnostics": [diag]}}
std::string outcomeScript(const char* key, int16_t returnCode, const DiagRecord& diag) {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key(key);
    writer.StartObject();
    writer.Key("returnCode");
    writer.Int(returnCode);
    writeDiagnostics(writer, {diag});
    writer.EndObject();
    writer.EndObject();
    return buffer.GetString();
}

std::string statementScript(const StatementScript& statement) {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("statements");
    writer.StartArray();
    writer.StartObject();
    writer.Key("match");
    writeString(writer, statement.match);
    writer.Key("prefix");
    writer.Bool(statement.prefix);
    writer.Key("contains");
    writer.Bool(statement.contains);
    writer.Key("returnCode");
    writer.Int(statement.returnCode);
    writeDiagnostics(writer, statement.diagnostics);
    writer.Key("columns");
    writer.StartArray();
    for (const auto& column : statement.columns) {
        writeString(writer, column);
    }
    writer.EndArray();
    writer.Key("rows");
    writer.StartArray();
    for (const auto& row : statement.rows) {
        writer.StartArray();
        for (const auto& cell : row) {
            if (cell) {
                writeString(writer, *cell);
            } else {
                writer.Null();
            }
        }
        writer.EndArray();
    }
    writer.EndArray();
    writer.Key("failNumResultCols");
    writer.Bool(statement.failNumResultCols);
    writer.Key("failDescribeColumns");
    writer.StartArray();
    for (int column : statement.failDescribeColumns) {
        writer.Int(column);
    }
    writer.EndArray();
    writer.Key("failGetData");
    writer.StartArray();
    for (const auto& cell : statement.failGetData) {
        writer.StartArray();
        writer.Int(cell.first);
        writer.Int(cell.second);
        writer.EndArray();
    }
    writer.EndArray();
    writer.Key("times");
    writer.Int(statement.times);
    writer.Key("killConnection");
    writer.Bool(statement.killConnection);
    writer.EndObject();
    writer.EndArray();
    writer.EndObject();
    return buffer.GetString();
}

}  // namespace

ScriptedDriver& ScriptedDriver::instance() {
    static ScriptedDriver driver;
    return driver;
}

ScriptedDriver::ScriptedDriver() {
    // The driver manager reads these on every connect.
    setenv("ODBCSYSINI", SCRIPTED_ODBCINST_DIR, 1);
    setenv("ODBCINSTINI", "odbcinst.ini", 1);
    setenv("ODBCINI", SCRIPTED_ODBCINST_DIR "/odbc.ini", 1);
    // Our own reference keeps the driver and its state loaded while the driver
    // manager loads and unloads it; never closed.
    library = dlopen(SCRIPTED_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        throw std::runtime_error(std::string("cannot load the scripted ODBC driver: ") + dlerror());
    }
}

template <typename F>
F ScriptedDriver::symbol(const char* name) const {
    void* address = dlsym(library, name);
    if (address == nullptr) {
        throw std::runtime_error(std::string("scripted ODBC driver lacks ") + name);
    }
    return reinterpret_cast<F>(address);
}

void ScriptedDriver::load(const std::string& json) {
    if (symbol<decltype(&scripted_driver_load)>("scripted_driver_load")(json.c_str()) != 0) {
        throw std::runtime_error(
            std::string("invalid driver script: ") +
            symbol<decltype(&scripted_driver_error)>("scripted_driver_error")());
    }
}

void ScriptedDriver::reset() {
    load(R"({"reset":true})");
}

void ScriptedDriver::setConnectResult(int16_t returnCode, const DiagRecord& diag) {
    load(outcomeScript("connect", returnCode, diag));
}

void ScriptedDriver::setDbmsName(const std::string& name, int16_t returnCode) {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("dbmsName");
    writeString(writer, name);
    writer.Key("dbmsNameReturnCode");
    writer.Int(returnCode);
    writer.EndObject();
    load(buffer.GetString());
}

void ScriptedDriver::setConnectionDead(bool dead) {
    load(dead ? R"({"connectionDead":true})" : R"({"connectionDead":false})");
}

void ScriptedDriver::setConnectAttrResult(int16_t returnCode, const DiagRecord& diag) {
    load(outcomeScript("connectAttr", returnCode, diag));
}

void ScriptedDriver::setAllocStatementResult(int16_t returnCode, const DiagRecord& diag) {
    load(outcomeScript("allocStatement", returnCode, diag));
}

void ScriptedDriver::addStatement(const StatementScript& statement) {
    load(statementScript(statement));
}

void ScriptedDriver::setTransactionResult(TransactionCall call, int16_t returnCode,
                                          const DiagRecord& diag, bool killConnection, int times) {
    static const char* const keys[] = {"autocommitOff", "autocommitOn", "commit", "rollback"};
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key(keys[static_cast<int>(call)]);
    writer.StartObject();
    writer.Key("returnCode");
    writer.Int(returnCode);
    writeDiagnostics(writer, {diag});
    writer.Key("killConnection");
    writer.Bool(killConnection);
    writer.Key("times");
    writer.Int(times);
    writer.EndObject();
    writer.EndObject();
    load(buffer.GetString());
}

void ScriptedDriver::setMultiStatementMode(MultiStatementMode mode) {
    static const char* const scripts[] = {
        R"({"multiStatement":"snowflake"})", R"({"multiStatement":"postgres"})",
        R"({"multiStatement":"single"})", R"({"multiStatement":"session"})"};
    load(scripts[static_cast<int>(mode)]);
}

void ScriptedDriver::setSnowflakeLimits(bool on) {
    load(on ? R"({"snowflakeLimits":true})" : R"({"snowflakeLimits":false})");
}

void ScriptedDriver::setJournaling(bool on) {
    load(on ? R"({"journal":true})" : R"({"journal":false})");
}

std::vector<std::string> ScriptedDriver::journal() const {
    rapidjson::Document document;
    document.Parse(
        symbol<decltype(&scripted_driver_journal_json)>("scripted_driver_journal_json")());
    std::vector<std::string> texts;
    for (const auto& text : document.GetArray()) {
        texts.emplace_back(text.GetString(), text.GetStringLength());
    }
    return texts;
}

void ScriptedDriver::clearJournal() {
    load(R"({"clearJournal":true})");
}

std::string ScriptedDriver::lastConnectionString() const {
    return symbol<decltype(&scripted_driver_connection_string)>(
        "scripted_driver_connection_string")();
}

int ScriptedDriver::connectCount() const {
    return symbol<decltype(&scripted_driver_connect_count)>("scripted_driver_connect_count")();
}

int ScriptedDriver::disconnectCount() const {
    return symbol<decltype(&scripted_driver_disconnect_count)>(
        "scripted_driver_disconnect_count")();
}

int ScriptedDriver::openHandles() const {
    return symbol<decltype(&scripted_driver_open_handles)>("scripted_driver_open_handles")();
}

int ScriptedDriver::callCount(const std::string& function) const {
    return symbol<decltype(&scripted_driver_call_count)>("scripted_driver_call_count")(
        function.c_str());
}

void ScriptedDriver::clearCallCounts() {
    load(R"({"clearCalls":true})");
}

std::string ScriptedDriver::connectionString(const std::string& extra) {
    return "Driver={ScriptedDriver};" + extra;
}

}  // namespace test
}  // namespace varnholt
