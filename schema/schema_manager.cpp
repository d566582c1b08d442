#include "schema/schema_manager.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <utility>

#include "host/logger.h"
#include "mapping/reading_mapper.h"
#include "sql/sql_builder.h"

namespace {

// Every SQL text and type answer comes from the builder; running without one is a wiring fault
// of the owner, reported as an exception rather than a crash.
const SQLBuilder& requireBuilder(const SQLBuilder* builder) {
    if (builder == nullptr) {
        throw std::logic_error("SQL builder not initialized");
    }
    return *builder;
}

// A column's declared type: the SQL type with its constraint clauses appended.
std::string declaredType(const SQLBuilder& builder, const DatabaseRecord& record,
                         const std::string& column) {
    return record.getSQLType(column) + builder.decodeConstraints(record.getConstraints(column));
}

bool hasColumn(const SchemaManager::TableSchema& schema, const std::string& column) {
    return std::any_of(schema.begin(), schema.end(),
                       [&column](const auto& entry) { return std::get<0>(entry) == column; });
}

// The text up to its first zero byte, as the driver's character data ends there.
std::string untilNul(const std::string& text) {
    return std::string(text.c_str());
}

}  // namespace

SchemaManager::SchemaManager() : SchemaManager(nullptr, "") {}

SchemaManager::SchemaManager(ODBCClient* odbcClient) : SchemaManager(odbcClient, "") {}

SchemaManager::SchemaManager(ODBCClient* odbcClient, const std::string& name)
    : client(odbcClient), databaseName(name), sqlBuilder(nullptr) {}

SchemaManager::~SchemaManager() = default;

void SchemaManager::setClient(ODBCClient* newClient) {
    client = newClient;
}

ODBCClient* SchemaManager::getClient() const {
    return client;
}

void SchemaManager::setDatabaseName(const std::string& name) {
    databaseName = name;
}

void SchemaManager::setSQLBuilder(SQLBuilder* builder) {
    sqlBuilder = builder;
}

SQLBuilder* SchemaManager::getSQLBuilder() const {
    return sqlBuilder;
}

QueryResult SchemaManager::executeQuery(const std::string& sql) {
    if (client == nullptr) {
        Logger::getLogger()->error("Database client not initialized");
        return QueryResult{false, {}};
    }
    return client->executeQuery(sql);
}

bool SchemaManager::checkTableExists(const std::string& table, const DatabaseRecord& /*record*/) {
    if (isCached(table)) {
        return true;
    }
    QueryResult result =
        executeQuery(requireBuilder(sqlBuilder).buildInformationSchemaQuery(databaseName, table));
    return result.success && cacheColumnRows(table, result.rows);
}

SchemaManager::TableSchema SchemaManager::extractColumnInfo(
    const std::vector<std::vector<std::string>>& rows) const {
    TableSchema schema;
    schema.reserve(rows.size());
    for (const auto& row : rows) {
        if (row.size() < 2) {
            continue;
        }
        schema.emplace_back(untilNul(row[0]), parseColumnType(untilNul(row[1])));
    }
    return schema;
}

SchemaManager::ColumnDefinitions SchemaManager::declaredColumns(
    const DatabaseRecord& record) const {
    const SQLBuilder& builder = requireBuilder(sqlBuilder);
    ColumnDefinitions definitions;
    definitions.reserve(record.columnNameList().size());
    for (const std::string& column : record.columnNameList()) {
        definitions.emplace_back(column, declaredType(builder, record, column));
    }
    return definitions;
}

std::string SchemaManager::buildCreateTableSQL(const std::string& table,
                                               const DatabaseRecord& record) const {
    return buildCreateTableSQL(table, declaredColumns(record));
}

std::string SchemaManager::buildCreateTableSQL(const std::string& table,
                                               const ColumnDefinitions& definitions) const {
    return requireBuilder(sqlBuilder).buildCreateTable(table, definitions);
}

bool SchemaManager::createTable(const std::string& table, const DatabaseRecord& record) {
    QueryResult result = executeQuery(buildCreateTableSQL(table, record));
    if (!result.success) {
        Logger::getLogger()->error("Failed to create table '%s'", table.c_str());
        return false;
    }
    cacheCreatedTable(table, record);
    return true;
}

std::string SchemaManager::parseColumnType(const std::string& dataType) const {
    return requireBuilder(sqlBuilder).normalizeColumnType(dataType);
}

std::string SchemaManager::toLowerCase(const std::string& text) const {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool SchemaManager::checkTableSchema(const std::string& table, const DatabaseRecord& record) {
    return !isCached(table) || !missingColumns(table, record).empty();
}

std::vector<std::string> SchemaManager::missingColumns(const std::string& table,
                                                       const DatabaseRecord& record) const {
    const std::vector<std::string>& columns = record.columnNameList();
    auto cached = schemaCache.find(table);
    if (cached == schemaCache.end()) {
        return columns;
    }
    const TableSchema& schema = cached->second;
    // Runs for rows of every batch: a row whose columns lead the cached schema in its order, as
    // nearly every row's do, is settled by one comparison per column; only the rest are searched.
    size_t matched = 0;
    while (matched < columns.size() && matched < schema.size() &&
           std::get<0>(schema[matched]) == columns[matched]) {
        ++matched;
    }
    std::vector<std::string> missing;
    for (size_t i = matched; i < columns.size(); ++i) {
        if (!hasColumn(schema, columns[i])) {
            missing.push_back(columns[i]);
        }
    }
    return missing;
}

bool SchemaManager::alterTable(const std::string& table, const DatabaseRecord& record) {
    if (!isCached(table)) {
        Logger::getLogger()->error("Table '%s' not found in cache for alteration", table.c_str());
        return false;
    }
    bool altered = false;
    for (const std::string& column : missingColumns(table, record)) {
        std::string type = declaredColumnType(record, column);
        altered = executeQuery(buildAlterTableSQL(table, column, type)).success;
        if (!altered) {
            Logger::getLogger()->error("Failed to add column '%s' to table '%s'", column.c_str(),
                                       table.c_str());
            return false;
        }
        // Kept column by column: a later failure leaves the ones already added in the cache.
        cacheAddedColumn(table, column, type);
    }
    return altered;
}

std::string SchemaManager::buildAlterTableSQL(const std::string& table, const std::string& column,
                                              const std::string& type) const {
    return requireBuilder(sqlBuilder).buildAlterTable(table, column, type);
}

SchemaManager::TableSchema SchemaManager::getCachedSchema(const std::string& table) const {
    auto cached = schemaCache.find(table);
    return cached == schemaCache.end() ? TableSchema() : cached->second;
}

bool SchemaManager::isCached(const std::string& table) const {
    return schemaCache.find(table) != schemaCache.end();
}

bool SchemaManager::cacheColumnRows(const std::string& table,
                                    const std::vector<std::vector<std::string>>& rows) {
    TableSchema schema = extractColumnInfo(rows);
    if (schema.empty()) {
        return false;
    }
    columnLengths.erase(table);
    columnScales.erase(table);
    schemaCache[table] = std::move(schema);
    return true;
}

std::string SchemaManager::declaredColumnType(const DatabaseRecord& record,
                                              const std::string& column) const {
    return declaredType(requireBuilder(sqlBuilder), record, column);
}

void SchemaManager::cacheCreatedTable(const std::string& table, const DatabaseRecord& record) {
    cacheCreatedTable(table, declaredColumns(record));
}

void SchemaManager::cacheCreatedTable(const std::string& table,
                                      const ColumnDefinitions& definitions) {
    forgetTable(table);
    for (const auto& column : definitions) {
        cacheAddedColumn(table, column.first, column.second);
    }
}

void SchemaManager::cacheAddedColumn(const std::string& table, const std::string& column,
                                     const std::string& type) {
    TableSchema& schema = schemaCache[table];
    if (hasColumn(schema, column)) {
        return;
    }
    const SQLBuilder::ColumnShape shape = requireBuilder(sqlBuilder).columnShape(type);
    if (shape.length > 0) {
        columnLengths[table][column] = shape.length;
    }
    if (shape.scale >= 0) {
        columnScales[table][column] = shape.scale;
    }
    schema.emplace_back(column, type);
}

void SchemaManager::forgetTable(const std::string& table) {
    schemaCache.erase(table);
    columnLengths.erase(table);
    columnScales.erase(table);
}

void SchemaManager::clearCache() {
    schemaCache.clear();
    columnLengths.clear();
    columnScales.clear();
}

int SchemaManager::columnScale(const std::string& table, const std::string& column) const {
    auto byTable = columnScales.find(table);
    if (byTable == columnScales.end()) {
        return -1;
    }
    auto found = byTable->second.find(column);
    return found == byTable->second.end() ? -1 : found->second;
}

void SchemaManager::setColumnScale(const std::string& table, const std::string& column, int scale) {
    columnScales[table][column] = scale;
}

size_t SchemaManager::columnLength(const std::string& table, const std::string& column) const {
    auto byTable = columnLengths.find(table);
    if (byTable == columnLengths.end()) {
        return 0;
    }
    auto found = byTable->second.find(column);
    return found == byTable->second.end() ? 0 : found->second;
}

void SchemaManager::setColumnLength(const std::string& table, const std::string& column,
                                    size_t length) {
    columnLengths[table][column] = length;
    // The cached type follows, so that the cache says what the table now is.
    auto cached = schemaCache.find(table);
    if (cached == schemaCache.end()) {
        return;
    }
    for (auto& entry : cached->second) {
        std::string& type = std::get<1>(entry);
        if (std::get<0>(entry) != column ||
            requireBuilder(sqlBuilder).columnShape(type).length == 0) {
            continue;
        }
        const size_t open = type.find('(');
        const size_t close = type.find(')', open);
        if (open != std::string::npos && close != std::string::npos) {
            type.replace(open + 1, close - open - 1, std::to_string(length));
        }
    }
}
