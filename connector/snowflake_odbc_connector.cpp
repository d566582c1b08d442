#include "connector/snowflake_odbc_connector.h"

#include <memory>

#include "config/snowflake_odbc_config.h"
#include "host/logger.h"
#include "sql/snowflake_sql_builder.h"

SnowflakeODBCConnector::SnowflakeODBCConnector()
    : ODBCConnector(nullptr), snowflakeSQLBuilder(nullptr) {}

SnowflakeODBCConnector::SnowflakeODBCConnector(ODBCClient* odbcClient)
    : ODBCConnector(odbcClient), snowflakeSQLBuilder(nullptr) {}

SnowflakeODBCConnector::~SnowflakeODBCConnector() {
    delete snowflakeSQLBuilder;
    snowflakeSQLBuilder = nullptr;
}

bool SnowflakeODBCConnector::configure(const ConfigCategory* category) {
    if (!ODBCConnector::configure(category)) {
        Logger::getLogger()->error("Snowflake configuration failed");
        return false;
    }
    // The new builder is made before the old one goes, so no part ever holds a dangling one.
    std::unique_ptr<SQLBuilder> created(createSQLBuilder());
    auto* builder = dynamic_cast<SnowflakeSQLBuilder*>(created.get());
    if (!builder) {
        Logger::getLogger()->error("Snowflake configuration failed");
        return false;
    }
    created.release();
    SnowflakeSQLBuilder* previous = snowflakeSQLBuilder;
    snowflakeSQLBuilder = builder;
    setSQLBuilder(snowflakeSQLBuilder);
    delete previous;
    return true;
}

bool SnowflakeODBCConnector::send(const std::vector<Reading*>& readings) {
    Logger::getLogger()->debug("Sending %zu readings to Snowflake", readings.size());
    return ODBCConnector::send(readings);
}

ODBCConfig* SnowflakeODBCConnector::createConfig() const {
    return new SnowflakeODBCConfig();
}

SQLBuilder* SnowflakeODBCConnector::createSQLBuilder() const {
    return new SnowflakeSQLBuilder();
}

SnowflakeSQLBuilder* SnowflakeODBCConnector::getSQLBuilder() const {
    return snowflakeSQLBuilder;
}
