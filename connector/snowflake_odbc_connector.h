#ifndef CONNECTOR_SNOWFLAKE_ODBC_CONNECTOR_H
#define CONNECTOR_SNOWFLAKE_ODBC_CONNECTOR_H

#include "connector/odbc_connector.h"

class SnowflakeSQLBuilder;

// The connector the plugin creates: Snowflake settings and the Snowflake SQL dialect.
class SnowflakeODBCConnector : public ODBCConnector {
public:
    SnowflakeODBCConnector();
    explicit SnowflakeODBCConnector(ODBCClient* client);
    ~SnowflakeODBCConnector() override;

    bool configure(const ConfigCategory* category) override;
    bool send(const std::vector<Reading*>& readings) override;
    ODBCConfig* createConfig() const override;
    SQLBuilder* createSQLBuilder() const override;

    SnowflakeSQLBuilder* getSQLBuilder() const;

private:
    SnowflakeSQLBuilder* snowflakeSQLBuilder;
};

#endif
