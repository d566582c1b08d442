#include "config/snowflake_odbc_config.h"

#include "host/logger.h"

SnowflakeODBCConfig::SnowflakeODBCConfig() : ODBCConfig() {
    Logger::getLogger()->debug("SnowflakeODBCConfig: Created default instance");
}

SnowflakeODBCConfig::~SnowflakeODBCConfig() {
    Logger::getLogger()->debug("SnowflakeODBCConfig: Destroyed");
}

std::string SnowflakeODBCConfig::getConnectionString() const {
    return connectionString;
}

void SnowflakeODBCConfig::buildConnectionString() {
    // Always between braces, which leave a name with blanks whole; a "}" in it is doubled.
    std::string built = "Driver={";
    for (char c : driver) {
        built += c;
        if (c == '}') {
            built += '}';
        }
    }
    built += "};";
    built += "Server=" + connectionValue(host) + ";";
    built += "Port=" + std::to_string(port) + ";";
    built += "Database=" + connectionValue(schema) + ";";
    built += "UID=" + connectionValue(user) + ";";
    if (authentication == KEY_PAIR_AUTHENTICATION) {
        built += "AUTHENTICATOR=SNOWFLAKE_JWT;";
        built += "PRIV_KEY_FILE=" + connectionValue(privateKeyFile) + ";";
        if (!privateKeyPassphrase.empty()) {
            built += "PRIV_KEY_FILE_PWD=" + connectionValue(privateKeyPassphrase) + ";";
        }
    } else if (authentication == OAUTH_AUTHENTICATION) {
        built += "AUTHENTICATOR=OAUTH;";
        built += "TOKEN=" + connectionValue(token) + ";";
    } else {
        // A programmatic access token works here in place of the password.
        built += "PWD=" + connectionValue(password) + ";";
    }
    // The plugin always writes into this fixed schema of the configured database.
    built += "SCHEMA=TOLVANE;";
    if (!warehouse.empty()) {
        built += "Warehouse=" + connectionValue(warehouse) + ";";
    }
    if (!role.empty()) {
        built += "Role=" + connectionValue(role) + ";";
    }
    if (!additionalParams.empty()) {
        built += additionalParams;
    }
    connectionString = std::move(built);
    Logger::getLogger()->debug("SnowflakeODBCConfig: Built connection string: %s",
                               maskSecrets(connectionString).c_str());
}
