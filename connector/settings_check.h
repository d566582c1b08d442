#ifndef CONNECTOR_SETTINGS_CHECK_H
#define CONNECTOR_SETTINGS_CHECK_H

#include <string>
#include <vector>

#include "client/odbc_client.h"

class ODBCConfig;
class SQLBuilder;

// One thing the settings check looked at: what it found and, when it failed, what to change.
struct CheckItem {
    std::string name;
    bool passed = false;
    std::string result;
    std::string fix;
};

// Connects with a connector's settings and finds out, without touching a reading's table,
// whether batches can be delivered: the database product, the session's database, schema and
// settings, and whether the session may create a table and write to it (which needs a
// warehouse on Snowflake). Stops at the first item that fails; the connection is closed at the
// end either way.
class SettingsCheck {
public:
    // How long the login may take before the check gives up on a database that does not answer.
    static constexpr unsigned LOGIN_TIMEOUT_SECONDS = 30;
    // The table made and dropped again; a suffix keeps two checks at once apart.
    static constexpr const char* TABLE_PREFIX = "_varnholt_check_";

    SettingsCheck(ODBCClient& client, const SQLBuilder& builder, const ODBCConfig& config);

    std::vector<CheckItem> run();

private:
    bool connect(std::vector<CheckItem>& items);
    bool describeDatabase(std::vector<CheckItem>& items);
    bool describeSession(std::vector<CheckItem>& items);
    bool describeSnowflakeSession(std::vector<CheckItem>& items);
    bool tryWriting(std::vector<CheckItem>& items);
    // Runs a statement; a refusal is an answer here, not an error (the client throws on one).
    QueryResult query(const std::string& sql);
    // The driver's account of the last failure, for a result text.
    std::string lastFailure() const;

    ODBCClient& client;
    const SQLBuilder& builder;
    const ODBCConfig& config;
    bool snowflake = false;
    std::string database;
    std::string schema;
};

#endif
