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
    std::string built = "Driver={SnowflakeDSIIDriver};";
    built += "Server=" + connectionValue(host) + ";";
    built += "Port=" + std::to_string(port) + ";";
    built += "Database=" + connectionValue(schema) + ";";
    built += "UID=" + connectionValue(user) + ";";
    built += "PWD=" + connectionValue(password) + ";";
    // The plugin always writes into this fixed schema of the configured database.
    built += "SCHEMA=TOLVANE;";
    if (!additionalParams.empty()) {
        built += additionalParams;
    }
    connectionString = std::move(built);
    Logger::getLogger()->debug("SnowflakeODBCConfig: Built connection string: %s",
                               maskPassword(connectionString).c_str());
}
