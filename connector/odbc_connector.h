#ifndef CONNECTOR_ODBC_CONNECTOR_H
#define CONNECTOR_ODBC_CONNECTOR_H

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "client/error_classification.h"
#include "client/odbc_client.h"
#include "config/odbc_config.h"
#include "connector/outage_log.h"
#include "connector/reconnect_backoff.h"
#include "connector/settings_check.h"
#include "delivery/batch_delivery.h"
#include "mapping/reading_mapper.h"

class ConfigCategory;
class Reading;
class DeliveryLedger;
class LostRequests;
class RejectReplay;
class SchemaManager;
class SQLBuilder;
class StatementRunner;

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
    // Connects with the current settings on a connection of its own, finds out whether batches
    // can be delivered (SettingsCheck) and closes it again; the next batch connects anew.
    std::vector<CheckItem> check();
    void setSQLBuilder(SQLBuilder* builder);
    std::map<std::string, std::vector<DatabaseRecord>> transformReadingsToRecords(
        const std::vector<Reading*>& readings);
    QueryResult executeQuery(const std::string& sql);

    static const char* connectionStatusText(int status);

    // Snowflake refuses more rows than this in one VALUES list.
    static constexpr size_t MAX_ROWS_PER_INSERT = BatchDelivery::MAX_ROWS_PER_INSERT;
    // Statements are kept within this much text, as Snowflake advises.
    static constexpr size_t MAX_INSERT_BYTES = BatchDelivery::MAX_INSERT_BYTES;

protected:
    bool isValid() const;
    // After a failure: when the client finds the connection dead, disconnect, so that the next
    // batch connects anew.
    void disconnectIfConnectionLost();
    // After a batch failed for a reason other than its data: a session that expired, or that the
    // driver still takes for alive but that does not answer a trivial query, is closed so that the
    // next batch connects anew.
    void recoverSession(ErrorClass failure);
    // The connection died under a batch: the outage starts (if it had not) and the batch counts
    // as refused.
    void noteConnectionLost();
    // Right after a connect: on Snowflake, the session settings the plugin's SQL relies on,
    // whatever the account's or user's defaults. A session lost meanwhile is closed and the
    // state set for a later attempt.
    void pinSession();

    ODBCClient* client;
    ODBCConfig config;
    std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds> lastConnectAttempt;
    // How long a failed connection attempt holds back the next one.
    ReconnectBackoff reconnectBackoff;
    // Since when the database is gone, and how many batches it cost.
    OutageLog outageLog;
    std::atomic<int32_t> connectionState;
    std::mutex configMutex;
    ReadingMapper* readingMapper;
    SchemaManager* schemaManager;
    SQLBuilder* sqlBuilder;
    StatementRunner* statementRunner;
    DeliveryLedger* deliveryLedger;
    LostRequests* lostRequests;
    RejectReplay* rejectReplay;
};

#endif
