#include "connector/odbc_connector.h"

#include <memory>

#include "delivery/delivery_ledger.h"
#include "delivery/lost_requests.h"
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
      lostRequests(nullptr),
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
    lostRequests = new LostRequests();
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
    delete lostRequests;
    lostRequests = nullptr;
    delete rejectReplay;
    rejectReplay = nullptr;
}

bool ODBCConnector::isValid() const {
    return client && readingMapper && schemaManager && statementRunner && deliveryLedger &&
           lostRequests && rejectReplay;
}

void ODBCConnector::disconnectIfConnectionLost() {
    if (!client->isConnected()) {
        log()->debug("Database connection lost");
        disconnect();
        noteConnectionLost();
    }
}

void ODBCConnector::noteConnectionLost() {
    outageLog.lost(Clock::now(), std::chrono::system_clock::now());
    outageLog.refused();
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
        lostRequests->reset();
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
            // The emulator (PostgreSQL) reads table functions without Snowflake's TABLE(...).
            lostRequests->sessionStarted(client->productName() != "PostgreSQL");
            pinSession();
        }
    } catch (const std::exception& e) {
        // Handles that cannot be allocated now may well be allocated later.
        log()->warn("Database connection failed: %s", e.what());
        connectionState = TOLVANE_ODBC_EAGAIN;
        client->Destroy();
    }
    if (connectionState == TOLVANE_ODBC_SUCCESS) {
        reconnectBackoff.reset();
        outageLog.back(Clock::now());
    } else if (connectionState == TOLVANE_ODBC_EAGAIN) {
        reconnectBackoff.failed();
        outageLog.lost(Clock::now(), std::chrono::system_clock::now());
        log()->info(
            "Next database connection attempt in %lld seconds",
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::seconds>(reconnectBackoff.wait()).count()));
    }
}

std::vector<CheckItem> ODBCConnector::check() {
    if (!isValid() || !sqlBuilder) {
        return {CheckItem{"configuration", false, "the plugin is not configured",
                          "see the plugin's error lines"}};
    }
    disconnect();
    std::vector<CheckItem> items;
    try {
        items = SettingsCheck(*client, *sqlBuilder, config).run();
    } catch (const std::exception& e) {
        client->Destroy();
        items.push_back(CheckItem{"check", false, e.what(), "see the plugin's error lines"});
    }
    connectionState = TOLVANE_ODBC_NOTCONNECTED;
    return items;
}

void ODBCConnector::pinSession() {
    if (!sqlBuilder ||
        productDatabaseType(client->getDatabaseProductName()) != DatabaseType::Snowflake) {
        return;
    }
    const std::string settings = sqlBuilder->buildSessionSettings();
    if (settings.empty() || client->executeRequest(settings, 1, 0, Results::Skip).success) {
        return;
    }
    const StatementError& error = client->lastError();
    if (error.errorClass == ErrorClass::Connection ||
        error.errorClass == ErrorClass::SessionExpired) {
        log()->warn(
            "Database session lost while it was set up, retrying later: SQLSTATE %s, native "
            "error %d: %s",
            error.sqlState.c_str(), static_cast<int>(error.nativeError), error.message.c_str());
        client->Destroy();
        connectionState = TOLVANE_ODBC_EAGAIN;
        return;
    }
    // The session keeps the account's settings; whether the plugin's statements run with them
    // shows with the first batch.
    log()->warn(
        "Database session settings refused, the account's own apply: SQLSTATE %s, native error "
        "%d: %s",
        error.sqlState.c_str(), static_cast<int>(error.nativeError), error.message.c_str());
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
        outageLog.refused();
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
        BatchDelivery delivery(BatchDelivery::Parts{*client, *schemaManager, *readingMapper,
                                                    *sqlBuilder, *statementRunner, *deliveryLedger,
                                                    *lostRequests, *rejectReplay, config.schema,
                                                    instance, wholeNumbersAsReal, nestedAsVariant});
        const BatchDelivery::Result result = delivery.deliver(readings);
        if (result.sessionClosed) {
            // Closed during the batch, after a rollback that failed: when the connection went
            // with it, an outage starts.
            disconnect();
            if (result.failure == ErrorClass::Connection) {
                noteConnectionLost();
            }
        } else if (!result.delivered) {
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
    if (failure == ErrorClass::SessionSetup) {
        // The schema or warehouse a session starts with is chosen at login: once the account
        // has it, only a new session gets it.
        log()->warn(
            "Database session has no current schema or no warehouse: the next batch connects "
            "anew");
        disconnect();
        return;
    }
    if (!client->isConnected()) {
        log()->debug("Database connection lost");
        disconnect();
        noteConnectionLost();
        return;
    }
    // A session can look alive to the driver and still refuse every statement.
    if (!executeQuery("SELECT 1").success) {
        log()->warn("Database session does not answer: the next batch connects anew");
        disconnect();
        noteConnectionLost();
    }
}
