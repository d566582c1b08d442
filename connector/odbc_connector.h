#ifndef CONNECTOR_ODBC_CONNECTOR_H
#define CONNECTOR_ODBC_CONNECTOR_H

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "client/odbc_client.h"
#include "config/odbc_config.h"
#include "connector/reconnect_backoff.h"
#include "mapping/reading_mapper.h"

class ConfigCategory;
class Reading;
class SchemaManager;
class SQLBuilder;

// The connector's own status beyond what ODBCClient::Connect returns.
constexpr int TOLVANE_ODBC_NOTCONNECTED = 3;

// Owns the client, the settings, the mapper and the schema manager; opens the connection on
// demand and delivers batches.
class ODBCConnector {
public:
    explicit ODBCConnector(ODBCClient* client);
    virtual ~ODBCConnector();
    ODBCConnector(const ODBCConnector&) = delete;
    ODBCConnector& operator=(const ODBCConnector&) = delete;

    virtual bool configure(const ConfigCategory* category);
    virtual bool send(const std::vector<Reading*>& readings);
    virtual std::string getConnectionString();
    virtual ODBCConfig* createConfig() const;
    virtual SQLBuilder* createSQLBuilder() const = 0;

    void connect();
    void disconnect();
    void setSQLBuilder(SQLBuilder* builder);
    std::map<std::string, std::vector<DatabaseRecord>> transformReadingsToRecords(
        const std::vector<Reading*>& readings);
    QueryResult executeQuery(const std::string& sql);

    static const char* connectionStatusText(int status);

    // Snowflake refuses more rows than this in one VALUES list.
    static constexpr size_t MAX_ROWS_PER_INSERT = 16384;
    // Statements are kept within this much text, as Snowflake advises.
    static constexpr size_t MAX_INSERT_BYTES = 1024 * 1024;

protected:
    // A reading of a table's group, and whether its row has the same columns as the row of the
    // reading before it in the group: then neither its schema nor its column order needs a look.
    struct GroupedReading {
        const Reading* reading;
        bool sameColumnsAsPrevious;
    };
    using ReadingGroups = std::map<std::string, std::vector<GroupedReading>>;

    bool isValid() const;
    // After a failure: when the client finds the connection dead, disconnect, so that the next
    // batch connects anew.
    void disconnectIfConnectionLost();
    // The batch's readings by target table (byte order), in batch order; readings without a
    // table are left out, as the mapper leaves out their rows.
    ReadingGroups groupReadingsByTable(const std::vector<Reading*>& readings);
    // Makes sure the table exists with every column its readings' rows need.
    void prepareTable(const std::string& table, const std::vector<GroupedReading>& readings,
                      DatabaseRecord& record);
    // Writes one table's rows with as few INSERTs as the limits above allow. Each row is mapped
    // into `record` just before it is rendered, so a batch never holds more than one statement's
    // rows.
    bool insertReadings(const std::string& table, const std::vector<GroupedReading>& readings,
                        DatabaseRecord& record);

    ODBCClient* client;
    ODBCConfig config;
    std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds> lastConnectAttempt;
    // How long a failed connection attempt holds back the next one.
    ReconnectBackoff reconnectBackoff;
    std::atomic<int32_t> connectionState;
    std::mutex configMutex;
    ReadingMapper* readingMapper;
    SchemaManager* schemaManager;
    SQLBuilder* sqlBuilder;
};

#endif
