#include "connector/odbc_connector.h"

#include <algorithm>
#include <memory>
#include <numeric>
#include <tuple>

#include "host/logger.h"
#include "host/reading.h"
#include "schema/schema_manager.h"
#include "sql/sql_builder.h"

namespace {
using Clock = std::chrono::steady_clock;

Logger* log() {
    return Logger::getLogger();
}

// Whether two readings give rows of the same columns: the row's columns follow from the
// datapoint names alone.
bool sameColumns(const std::vector<Datapoint*>& a, const std::vector<Datapoint*>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && (!a[i] || !b[i] || a[i]->getName() != b[i]->getName())) {
            return false;
        }
    }
    return true;
}

// A table's readings can lie spread over a large batch, each in objects of its own: asking for
// the readings a few steps ahead, one link of the chain per step, overlaps their memory latency
// with the work on the current one.
template <typename Entries>
void prefetchAhead(const Entries& readings, size_t at) {
    if (at + 3 < readings.size()) {
        __builtin_prefetch(readings[at + 3].reading);
    }
    if (at + 2 < readings.size()) {
        __builtin_prefetch(readings[at + 2].reading->getReadingData().data());
    }
    if (at + 1 < readings.size()) {
        for (const Datapoint* datapoint : readings[at + 1].reading->getReadingData()) {
            __builtin_prefetch(datapoint);
        }
    }
}
}  // namespace

ODBCConnector::ODBCConnector(ODBCClient* odbcClient)
    : client(odbcClient),
      lastConnectAttempt(),
      connectionState(TOLVANE_ODBC_NOTCONNECTED),
      readingMapper(nullptr),
      schemaManager(nullptr),
      sqlBuilder(nullptr) {
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
    }
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
}

bool ODBCConnector::isValid() const {
    return client && readingMapper && schemaManager;
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
        config.host = fresh->host;
        config.port = fresh->port;
        config.schema = fresh->schema;
        config.user = fresh->user;
        config.password = fresh->password;
        config.tolvaneInstance = fresh->tolvaneInstance;
        config.dataSource = fresh->dataSource;
        config.additionalParams = fresh->additionalParams;
        config.connectionString = fresh->connectionString;
    }
    if (!config.hasChanged(previous)) {
        return true;
    }
    readingMapper->setTolvaneInstance(config.tolvaneInstance);
    schemaManager->setDatabaseName(config.schema);
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
        const ReadingGroups groups = groupReadingsByTable(readings);
        // One record, refilled for every reading: rows are rendered as they are mapped.
        DatabaseRecord record;
        for (const auto& group : groups) {
            const std::string& table = group.first;
            const std::vector<GroupedReading>& members = group.second;
            if (members.empty()) {
                continue;
            }
            prepareTable(table, members, record);
            if (!insertReadings(table, members, record)) {
                return false;
            }
            log()->debug("Sent %zu records to table '%s'", members.size(), table.c_str());
        }
        return true;
    } catch (const std::exception& e) {
        log()->error("Database operation failed: %s", e.what());
        disconnectIfConnectionLost();
        return false;
    }
}

ODBCConnector::ReadingGroups ODBCConnector::groupReadingsByTable(
    const std::vector<Reading*>& readings) {
    ReadingGroups groups;
    // Consecutive readings usually share their table: reuse the last group without a search.
    std::vector<GroupedReading>* current = nullptr;
    const std::string* currentName = nullptr;
    for (const Reading* reading : readings) {
        if (!reading) {
            continue;
        }
        std::string table = readingMapper->extractTableName(reading);
        if (table.empty()) {
            continue;
        }
        if (!current || *currentName != table) {
            auto it = groups.try_emplace(std::move(table)).first;
            current = &it->second;
            currentName = &it->first;
        }
        // Compared here, while the datapoints are being read anyway, so that the schema and row
        // passes only look at the flag.
        const bool same =
            !current->empty() &&
            sameColumns(current->back().reading->getReadingData(), reading->getReadingData());
        current->push_back(GroupedReading{reading, same});
    }
    return groups;
}

void ODBCConnector::prepareTable(const std::string& table,
                                 const std::vector<GroupedReading>& readings,
                                 DatabaseRecord& record) {
    // Once a row needed no change, a later row with the same columns needs none either: the
    // cached schema only gains columns, and a cached table exists without a query. Such rows
    // skip the checks, which would give the same answers without any SQL.
    bool settled = false;
    for (const GroupedReading& entry : readings) {
        if (settled && entry.sameColumnsAsPrevious) {
            continue;
        }
        readingMapper->mapReadingInto(entry.reading, table, false, record);
        settled = false;
        if (schemaManager->checkTableExists(table, record)) {
            if (schemaManager->checkTableSchema(table, record)) {
                schemaManager->alterTable(table, record);
            } else {
                settled = true;
            }
        } else if (!schemaManager->createTable(table, record)) {
            log()->error("Failed to create database table '%s'", table.c_str());
        }
    }
}

bool ODBCConnector::insertReadings(const std::string& table,
                                   const std::vector<GroupedReading>& readings,
                                   DatabaseRecord& record) {
    const SchemaManager::TableSchema schema = schemaManager->getCachedSchema(table);
    if (schema.empty()) {
        // The rows have nowhere to go; reporting the batch as delivered would lose them.
        log()->error("Failed to get cached schema for table '%s'", table.c_str());
        return false;
    }

    std::vector<std::string> columnNames;
    columnNames.reserve(schema.size());
    std::vector<const std::string*> columnTypes;
    columnTypes.reserve(schema.size());
    for (const auto& entry : schema) {
        columnNames.push_back(std::get<0>(entry));
        columnTypes.push_back(&std::get<1>(entry));
    }
    // A name cached twice takes the type of its first entry. Sorting positions by name (then
    // position) finds such names without a node per column, which a hash map would allocate on
    // every batch.
    std::vector<size_t> byName(schema.size());
    std::iota(byName.begin(), byName.end(), size_t{0});
    std::sort(byName.begin(), byName.end(), [&columnNames](size_t a, size_t b) {
        const int order = columnNames[a].compare(columnNames[b]);
        return order < 0 || (order == 0 && a < b);
    });
    for (size_t i = 1; i < byName.size(); ++i) {
        if (columnNames[byName[i]] == columnNames[byName[i - 1]]) {
            columnTypes[byName[i]] = columnTypes[byName[i - 1]];
        }
    }
    log()->debug("Using cached schema for table %s: %zu columns", table.c_str(),
                 columnNames.size());

    sqlBuilder->setTableName(table);
    sqlBuilder->setColumns(columnNames);

    // Exact length of "INSERT INTO t (c1, c2) VALUES " and of each row as buildBulkInsert writes
    // them, so every statement stays within the size limit without being built twice, and a
    // table that fits is never split.
    const size_t prefixBytes = sqlBuilder->insertPrefixLength();

    std::vector<std::vector<std::string>> chunk;
    size_t chunkBytes = prefixBytes;
    auto flush = [&]() {
        sqlBuilder->setValues(std::move(chunk));
        chunk = {};
        chunkBytes = prefixBytes;
        QueryResult result = executeQuery(sqlBuilder->buildBulkInsert());
        // The rows are in the statement now; holding them until the next chunk would double the
        // memory a statement needs.
        sqlBuilder->setValues(std::vector<std::vector<std::string>>());
        if (result.success) {
            return true;
        }
        log()->error("Failed to execute database query for table '%s'", table.c_str());
        // A failed INSERT may be the first sign of a dropped connection; without this check a
        // batch whose tables are all cached would never reconnect.
        disconnectIfConnectionLost();
        return false;
    };

    // Rows nearly always carry the table's columns in the table's order: then the values are
    // taken by position instead of being looked up by name.
    bool inTableOrder = false;
    for (size_t at = 0; at < readings.size(); ++at) {
        const GroupedReading& entry = readings[at];
        prefetchAhead(readings, at);
        readingMapper->mapReadingInto(entry.reading, table, true, record);
        if (!entry.sameColumnsAsPrevious) {
            inTableOrder = record.columnNameList() == columnNames;
        }
        std::vector<std::string> row;
        row.reserve(columnNames.size());
        size_t rowBytes = 2 * columnNames.size();  // "(" and ")", and ", " between the values
        if (inTableOrder) {
            const std::vector<std::string>& values = record.valueList();
            for (size_t i = 0; i < columnNames.size(); ++i) {
                row.push_back(sqlBuilder->formatValue(values[i], *columnTypes[i]));
                rowBytes += row.back().size();
            }
        } else {
            for (size_t i = 0; i < columnNames.size(); ++i) {
                const std::string* value = record.findValue(columnNames[i]);
                if (value) {
                    row.push_back(sqlBuilder->formatValue(*value, *columnTypes[i]));
                } else {
                    row.emplace_back("NULL");
                }
                rowBytes += row.back().size();
            }
        }
        // ", " before every row but the first of a statement.
        if (!chunk.empty() &&
            (chunk.size() >= MAX_ROWS_PER_INSERT || chunkBytes + 2 + rowBytes > MAX_INSERT_BYTES)) {
            if (!flush()) {
                return false;
            }
        }
        chunkBytes += (chunk.empty() ? 0 : 2) + rowBytes;
        chunk.push_back(std::move(row));
    }
    return chunk.empty() || flush();
}
