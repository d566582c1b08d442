#ifndef CONFIG_ODBC_CONFIG_H
#define CONFIG_ODBC_CONFIG_H

#include <cstdint>
#include <string>

class ConfigCategory;

// Connection settings of one connector, read from the host's configuration category.
class ODBCConfig {
public:
    ODBCConfig();
    ODBCConfig(const ODBCConfig&) = default;
    ODBCConfig& operator=(const ODBCConfig&) = default;

    virtual std::string getConnectionString() const;
    virtual void buildConnectionString();
    virtual ~ODBCConfig();

    void configure(const ConfigCategory* category);
    bool isValid() const;
    bool hasChanged(const ODBCConfig& other) const;

    // A connection-string value as ODBC reads it back unchanged: between braces (with "}"
    // doubled) when it holds ";", "{" or "}" or starts or ends with a space, else verbatim.
    static std::string connectionValue(const std::string& value);
    // The connection string with the value of every PWD key replaced by "****", for logging.
    static std::string maskPassword(const std::string& connectionString);

    std::string host;
    int32_t port;
    std::string schema;
    std::string user;
    std::string password;
    std::string tolvaneInstance;
    std::string dataSource;
    std::string additionalParams;
    std::string connectionString;
};

#endif
