#ifndef CONFIG_SNOWFLAKE_ODBC_CONFIG_H
#define CONFIG_SNOWFLAKE_ODBC_CONFIG_H

#include "config/odbc_config.h"

// Settings of the Snowflake dialect: the connection string names the Snowflake ODBC driver.
class SnowflakeODBCConfig : public ODBCConfig {
public:
    SnowflakeODBCConfig();
    std::string getConnectionString() const override;
    void buildConnectionString() override;
    ~SnowflakeODBCConfig() override;
};

#endif
