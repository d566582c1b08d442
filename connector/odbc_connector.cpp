#include "connector/odbc_connector.h"

#include <memory>

#include "delivery/delivery_ledger.h"
#include "delivery/reject_replay.h"
#include "delivery/statement_runner.h"
#include "host/logger.h"
#include "host/reading.h"
#include "schema/schema_manager.h"
#include "sql/sql_builder.h"

namespace {
using Clock = std::chrono::steady_clock;

Logger* log() {
    return Logger::getLogger();
}

}  // namespace

ODBCConnector::ODBCConnector(ODBCClient* odbcClient)
    : client(odbcClient),
      lastConnectAttempt(),
      connectionState(TOLVANE_ODBC_NOTCONNECTED),
      readingMapper(nullptr),
      schemaManager(nullptr),
      sqlBuilder(nullptr),
      statementRunner(nullptr),
      deliveryLedger(nullptr),
      rejectReplay(nullptr) {
    if (!client) {
        log()->debug("Creating new ODBC client instance");
        client = new ODBCClient();
    }
    try {
        readingMapper = new ReadingMapper();
    } catch (const std::exception& e) {
        log()->error("Failed to create ReadingMapper: %s", e.what());
        connectionState = TOLVANE_ODBC_FAILED;
        return;
    }
    try {
        schemaManager = new SchemaManager(client, "");
    } catch (const std::exception& e) {
        log()->error("Failed to create SchemaManager: %s", e.what());
        connectionState = TOLVANE_ODBC_FAILED;
        return;
    }
    statementRunner = new StatementRunner(client);
    deliveryLedger = new DeliveryLedger();
    rejectReplay = new RejectReplay();
}

ODBCConnector::~ODBCConnector() {
    try {
        disconnect();
    } catch (...) {
        log()->error("Exception during disconnect in destructor");
    }
    delete client;
    client = nullptr;
    delete schemaManager;
    schemaManager = nullptr;
    delete readingMapper;
    readingMapper = nullptr;
    delete statementRunner;
    statementRunner = nullptr;
    delete deliveryLedger;
    deliveryLedger = nullptr;
    delete rejectReplay;
    rejectReplay = nullptr;
}

bool ODBCConnector::isValid() const {
    return client && readingMapper && schemaManager && statementRunner && deliveryLedger &&
           rejectReplay;
}

void ODBCConnector::disconnectIfConnectionLost() {
    if (!client->isConnected()) {
        log()->debug("Database connection lost");
        disconnect();
    }
}

const char* ODBCConnector::connectionStatusText(int status) {
    switch (status) {
        case TOLVANE_ODBC_SUCCESS:
            return "TOLVANE_ODBC_SUCCESS";
        case TOLVANE_ODBC_EAGAIN:
            return "TOLVANE_ODBC_EAGAIN";
        case TOLVANE_ODBC_FAILED:
            return "TOLVANE_ODBC_FAILED";
        case TOLVANE_ODBC_NOTCONNECTED:
            return "TOLVANE_ODBC_NOTCONNECTED";
        default:
            return "TOLVANE_ODBC_UNKNOWN";
    }
}

bool ODBCConnector::configure(const ConfigCategory* category) {
    if (!isValid()) {
        log()->error("ODBC connector is not in a valid state - cannot configure");
        return false;
    }
    if (!category) {
        log()->error("Configuration is null - cannot configure");
        return false;
    }
    std::lock_guard<std::mutex> lock(configMutex);
    const ODBCConfig previous = config;
    {
        std::unique_ptr<ODBCConfig> fresh(createConfig());
        fresh->configure(category);
        config = *fresh;
    }
    if (!config.hasChanged(previous)) {
        return true;
    }
    readingMapper->setTolvaneInstance(config.tolvaneInstance);
    readingMapper->setIdentifierCase(config.identifierCase == ODBCConfig::UPPER_IDENTIFIER_CASE
                                         ? ReadingMapper::IdentifierCase::UPPER
                                         : ReadingMapper::IdentifierCase::AS_SENT);
    schemaManager->setDatabaseName(config.schema);
    rejectReplay->setEnabled(config.replayRejects);
    if (config.host != previous.host || config.port != previous.port ||
        config.schema != previous.schema || config.user != previous.user) {
        // Another database, or another user's view of it: nothing known of its tables holds.
        schemaManager->clearCache();
        deliveryLedger->reset();
    }
    log()->info("Database configuration updated: Server=%s, Port=%d, Database=%s",
                config.host.c_str(), config.port, config.schema.c_str());
    disconnect();
    connectionState = TOLVANE_ODBC_NOTCONNECTED;
    lastConnectAttempt = Clock::now();
    reconnectBackoff.reset();
    return true;
}

std::string ODBCConnector::getConnectionString() {
    return config.connectionString;
}

ODBCConfig* ODBCConnector::createConfig() const {
    return new ODBCConfig();
}

void ODBCConnector::connect() {
    if (!isValid()) {
        log()->error("ODBC connector is not in a valid state - cannot connect");
        connectionState = TOLVANE_ODBC_FAILED;
        return;
    }
    const int state = connectionState;
    if (state == TOLVANE_ODBC_SUCCESS || state == TOLVANE_ODBC_FAILED) {
        return;
    }
    const auto now = Clock::now();
    if (state == TOLVANE_ODBC_EAGAIN && !reconnectBackoff.allows(lastConnectAttempt, now)) {
        return;
    }
    try {
        lastConnectAttempt = now;
        if (state == TOLVANE_ODBC_NOTCONNECTED || state == TOLVANE_ODBC_EAGAIN) {
            client->Init();
        }
        connectionState = client->Connect(config.connectionString);
        log()->info("Database connection status: %s", connectionStatusText(connectionState));
        if (connectionState == TOLVANE_ODBC_SUCCESS) {
            statementRunner->resetSession();
        }
    } catch (const std::exception& e) {
        // Handles that cannot be allocated now may well be allocated later.
        log()->warn("Database connection failed: %s", e.what());
        connectionState = TOLVANE_ODBC_EAGAIN;
        client->Destroy();
    }
    if (connectionState == TOLVANE_ODBC_SUCCESS) {
        reconnectBackoff.reset();
    } else if (connectionState == TOLVANE_ODBC_EAGAIN) {
        reconnectBackoff.failed();
        log()->info(
            "Next database connection attempt in %lld seconds",
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::seconds>(reconnectBackoff.wait()).count()));
    }
}

void ODBCConnector::disconnect() {
    log()->debug("Disconnecting from database");
    if (client) {
        client->Destroy();
    }
    log()->info("Database disconnected");
    connectionState = TOLVANE_ODBC_NOTCONNECTED;
}

void ODBCConnector::setSQLBuilder(SQLBuilder* builder) {
    sqlBuilder = builder;
    if (schemaManager) {
        schemaManager->setSQLBuilder(builder);
    }
    if (statementRunner) {
        statementRunner->setSQLBuilder(builder);
    }
    if (readingMapper) {
        readingMapper->setSQLBuilder(builder);
    }
}

std::map<std::string, std::vector<DatabaseRecord>> ODBCConnector::transformReadingsToRecords(
    const std::vector<Reading*>& readings) {
    if (!isValid()) {
        log()->error("ODBC connector is not in a valid state - cannot transform readings");
        return {};
    }
    std::vector<DatabaseRecord> records = readingMapper->mapReadingsToRecords(readings);
    return readingMapper->groupRecordsByTable(records);
}

QueryResult ODBCConnector::executeQuery(const std::string& sql) {
    if (!isValid()) {
        log()->error("ODBC connector is not in a valid state - cannot execute query");
        return QueryResult{};
    }
    try {
        return client->executeQuery(sql);
    } catch (const std::exception& e) {
        log()->error("Exception in executeQuery: %s", e.what());
    } catch (...) {
        log()->error("Unknown exception in executeQuery");
    }
    return QueryResult{};
}

bool ODBCConnector::send(const std::vector<Reading*>& readings) {
    if (!isValid()) {
        log()->debug("ODBC connector is not in a valid state - cannot send readings");
        return false;
    }
    if (connectionState == TOLVANE_ODBC_FAILED) {
        return false;
    }
    if (connectionState != TOLVANE_ODBC_SUCCESS) {
        log()->debug("Attempting database connection");
        connect();
    }
    if (connectionState != TOLVANE_ODBC_SUCCESS) {
        log()->error("Database connection not available - cannot send readings");
        return false;
    }
    if (!sqlBuilder) {
        // configure() failed: without a dialect nothing can be mapped or written, and a batch
        // reported as delivered here would be lost.
        log()->error("No SQL builder configured - cannot send readings");
        return false;
    }
    try {
        // The delivery holds references: the instance name must outlive it.
        const std::string instance = readingMapper->getTolvaneInstance();
        const bool wholeNumbersAsReal = config.integerType == ODBCConfig::REAL_INTEGER_TYPE;
        const bool nestedAsVariant = config.nestedValues == ODBCConfig::VARIANT_NESTED_VALUES;
        BatchDelivery delivery(BatchDelivery::Parts{
            *client, *schemaManager, *readingMapper, *sqlBuilder, *statementRunner, *deliveryLedger,
            *rejectReplay, config.schema, instance, wholeNumbersAsReal, nestedAsVariant});
        const BatchDelivery::Result result = delivery.deliver(readings);
        if (!result.delivered) {
            recoverSession(result.failure);
        }
        return result.delivered;
    } catch (const std::exception& e) {
        log()->error("Database operation failed: %s", e.what());
        disconnectIfConnectionLost();
        return false;
    }
}

void ODBCConnector::recoverSession(ErrorClass failure) {
    if (failure == ErrorClass::Data) {
        return;
    }
    if (failure == ErrorClass::SessionExpired) {
        log()->warn("Database session expired: the next batch connects anew");
        disconnect();
        return;
    }
    if (!client->isConnected()) {
        log()->debug("Database connection lost");
        disconnect();
        return;
    }
    // A session can look alive to the driver and still refuse every statement.
    if (!executeQuery("SELECT 1").success) {
        log()->warn("Database session does not answer: the next batch connects anew");
        disconnect();
    }
}
