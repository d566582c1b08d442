#ifndef CONFIG_ODBC_CONFIG_H
#define CONFIG_ODBC_CONFIG_H

#include <cstdint>
#include <string>

class ConfigCategory;

// Connection settings of one connector, read from the host's configuration category.
class ODBCConfig {
public:
    // The ways of logging in, as the "authentication" item names them.
    static constexpr const char* PASSWORD_AUTHENTICATION = "Password";
    static constexpr const char* KEY_PAIR_AUTHENTICATION = "Key pair";
    static constexpr const char* OAUTH_AUTHENTICATION = "OAuth token";
    // The column types a new column for whole numbers may take, as "integerType" names them.
    static constexpr const char* BIGINT_INTEGER_TYPE = "BIGINT";
    static constexpr const char* REAL_INTEGER_TYPE = "REAL";
    // The name Snowflake's installer registers its ODBC driver under.
    static constexpr const char* DEFAULT_DRIVER = "SnowflakeDSIIDriver";
    // How the names of tables and columns made for readings are written, as "identifierCase"
    // names the ways.
    static constexpr const char* AS_SENT_IDENTIFIER_CASE = "AS_SENT";
    static constexpr const char* UPPER_IDENTIFIER_CASE = "UPPER";
    // What a column made for nested values and float arrays holds, as "nestedValues" names it.
    static constexpr const char* TEXT_NESTED_VALUES = "TEXT";
    static constexpr const char* VARIANT_NESTED_VALUES = "VARIANT";

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
    // The text, a connection string or the flattened additional parameters, as it may be
    // logged: the value of every key that carries a secret becomes "****", and so does the
    // password in a URL's user information (a proxy's, say) under any key. Keys are compared
    // without regard to case or surrounding blanks. Secret are PWD, PASSCODE, every key that
    // ends in _PWD or PASSWORD or holds SECRET or TOKEN (PRIV_KEY_FILE_PWD, PROXY_PASSWORD,
    // OAUTH_CLIENT_SECRET, ...) and every PRIV_KEY_ key but PRIV_KEY_FILE, the key's path.
    static std::string maskSecrets(const std::string& text);

    std::string host;
    int32_t port;
    std::string schema;
    std::string user;
    std::string password;
    std::string tolvaneInstance;
    std::string dataSource;
    std::string additionalParams;
    // How the user logs in, and what each way needs; the generic form always sends the password.
    std::string authentication;
    std::string privateKeyFile;
    std::string privateKeyPassphrase;
    std::string token;
    // Empty: the user's defaults in the database.
    std::string warehouse;
    std::string role;
    // The type of a new column made for whole numbers alone.
    std::string integerType;
    // The names of tables and columns for readings, as sent or in upper case.
    std::string identifierCase;
    // The type of a new column made for nested values or float arrays: text or VARIANT.
    std::string nestedValues;
    // Rejected readings of the instance are sent again with the batches.
    bool replayRejects = false;
    // The ODBC driver the Snowflake connection string names, as the driver manager knows it.
    std::string driver;
    std::string connectionString;
};

#endif
