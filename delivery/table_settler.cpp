#include "delivery/table_settler.h"

#include <set>

#include "client/error_classification.h"
#include "delivery/statement_runner.h"
#include "host/datapoint_value.h"
#include "host/logger.h"
#include "mapping/reading_mapper.h"
#include "schema/schema_manager.h"
#include "sql/sql_builder.h"

namespace {

// Every row carries these four columns first; a table made of them alone takes any reading.
constexpr size_t FIXED_COLUMNS = 4;
// Lengthened text columns grow to at least this, so that a slowly growing text does not cost a
// change of the table per batch.
constexpr size_t MIN_WIDENED_LENGTH = 1024;
// The value kinds' type tags, as the SQL builder takes them.
constexpr int TEXT_TAG = DatapointValue::T_STRING;
constexpr int INTEGER_TAG = DatapointValue::T_INTEGER;
constexpr int FLOAT_TAG = DatapointValue::T_FLOAT;

// Failures that say nothing about one table or column: the batch fails and is sent again.
bool failsTheBatch(const StatementError& error) {
    switch (error.errorClass) {
        case ErrorClass::Connection:
        case ErrorClass::SessionExpired:
        case ErrorClass::Credentials:
        case ErrorClass::SessionSetup:
        case ErrorClass::Busy:
            return true;
        default:
            return error.sqlState == "42501" || error.sqlState.compare(0, 2, "25") == 0 ||
                   error.sqlState.empty();
    }
}

bool columnExists(const StatementError& error) {
    return error.errorClass == ErrorClass::ObjectExists;
}

size_t widenedLength(size_t characters, size_t maximum) {
    size_t length = MIN_WIDENED_LENGTH;
    while (length < characters && length < maximum / 2) {
        length *= 2;
    }
    if (length < characters) {
        length = maximum;
    }
    return length < maximum ? length : maximum;
}

}  // namespace

TableSettler::TableSettler(SchemaManager& schema, ReadingMapper& readingMapper,
                           const SQLBuilder& sqlBuilder, StatementRunner& statementRunner,
                           const std::string& database, bool wholeNumbersFloat, bool nestedVariant)
    : schemaManager(schema),
      mapper(readingMapper),
      builder(sqlBuilder),
      runner(statementRunner),
      databaseName(database),
      wholeNumbersAsReal(wholeNumbersFloat),
      nestedAsVariant(nestedVariant) {}

std::string TableSettler::columnType(const TableBatch& table, const DatabaseRecord& record,
                                     const std::string& column) const {
    auto kind = table.kinds.find(column);
    if (kind == table.kinds.end()) {
        return schemaManager.declaredColumnType(record, column);
    }
    std::string type;
    switch (kind->second) {
        case ValueKind::Integer:
            type = builder.toSQLTypeString(wholeNumbersAsReal ? FLOAT_TAG : INTEGER_TAG);
            break;
        case ValueKind::Float:
            type = builder.toSQLTypeString(FLOAT_TAG);
            break;
        case ValueKind::Text:
            type = builder.toSQLTypeString(TEXT_TAG);
            break;
        case ValueKind::Json:
            // JSON text where the dialect has no VARIANT.
            type = nestedAsVariant ? builder.getVariantType() : std::string();
            if (type.empty()) {
                type = builder.toSQLTypeString(TEXT_TAG);
            }
            break;
    }
    return type + builder.decodeConstraints(record.getConstraints(column));
}

bool TableSettler::readColumns(const std::vector<TableBatch*>& tables, StatementError& error) {
    std::vector<TableBatch*> unknown;
    std::vector<std::string> queries;
    for (TableBatch* table : tables) {
        if (!table->refused && !schemaManager.isCached(table->name)) {
            unknown.push_back(table);
            queries.push_back(builder.buildInformationSchemaQuery(databaseName, table->name));
        }
    }
    const StatementRunner::Outcome outcome = runner.run(queries, Results::Read);
    for (size_t i = 0; i < outcome.results.size() && i < unknown.size(); ++i) {
        schemaManager.cacheColumnRows(unknown[i]->name, outcome.results[i].rows);
    }
    if (!outcome.success) {
        error = outcome.error;
        Logger::getLogger()->error(
            "Failed to read the columns of %zu tables: SQLSTATE %s, native error %d: %s",
            unknown.size(), error.sqlState.c_str(), static_cast<int>(error.nativeError),
            error.message.c_str());
        return false;
    }
    return true;
}

std::vector<TableSettler::Change> TableSettler::plan(TableBatch& table) {
    std::vector<Change> changes;
    if (table.refused) {
        return changes;
    }
    // The columns of the changes planned so far, which the cache does not know yet.
    std::set<std::string> planned;
    bool exists = schemaManager.isCached(table.name);
    DatabaseRecord record;
    for (const GroupedReading& entry : table.readings) {
        // Same columns as the row before: those are all known by now.
        if (entry.sameColumnsAsPrevious) {
            continue;
        }
        mapper.mapReadingInto(entry.reading, table.name, false, record);
        const std::vector<std::string> missing = schemaManager.missingColumns(table.name, record);
        if (!exists) {
            Change create{&table, true, {}, {}};
            for (const std::string& column : missing) {
                if (planned.insert(column).second && !table.refusedColumns.count(column)) {
                    create.columns.emplace_back(column, columnType(table, record, column));
                }
            }
            create.sql = schemaManager.buildCreateTableSQL(table.name, create.columns);
            changes.push_back(std::move(create));
            exists = true;
            continue;
        }
        for (const std::string& column : missing) {
            if (table.refusedColumns.count(column) || !planned.insert(column).second) {
                continue;
            }
            std::string type = columnType(table, record, column);
            Change add{&table, false, {{column, type}}, {}};
            add.sql = schemaManager.buildAlterTableSQL(table.name, column, type);
            changes.push_back(std::move(add));
        }
    }
    return changes;
}

void TableSettler::apply(const Change& change) {
    if (change.create) {
        schemaManager.cacheCreatedTable(change.table->name, change.columns);
        return;
    }
    for (const auto& column : change.columns) {
        schemaManager.cacheAddedColumn(change.table->name, column.first, column.second);
    }
}

bool TableSettler::settle(std::vector<TableBatch*>& tables, StatementError& error) {
    if (!readColumns(tables, error)) {
        return false;
    }
    std::vector<Change> changes;
    for (TableBatch* table : tables) {
        for (Change& change : plan(*table)) {
            changes.push_back(std::move(change));
        }
    }
    if (changes.empty()) {
        return true;
    }
    std::vector<std::string> statements;
    statements.reserve(changes.size());
    for (const Change& change : changes) {
        statements.push_back(change.sql);
    }
    const StatementRunner::Outcome outcome = runner.run(statements);
    if (outcome.success) {
        for (const Change& change : changes) {
            apply(change);
        }
        return true;
    }
    if (failsTheBatch(outcome.error)) {
        error = outcome.error;
        Logger::getLogger()->error(
            "Failed to create or change tables: SQLSTATE %s, native error %d: %s",
            error.sqlState.c_str(), static_cast<int>(error.nativeError), error.message.c_str());
        return false;
    }
    // Which of the statements took effect depends on the database (a request may run as one
    // transaction, or commit each DDL statement): the tables concerned are read again and their
    // changes made one by one.
    std::set<TableBatch*> touched;
    for (const Change& change : changes) {
        touched.insert(change.table);
    }
    for (TableBatch* table : tables) {
        if (!touched.count(table)) {
            continue;
        }
        if (schemaManager.isCached(table->name)) {
            Logger::getLogger()->info("Cached columns of table '%s' refreshed",
                                      table->name.c_str());
        }
        if (!settleOneByOne(*table, true, error)) {
            return false;
        }
    }
    return true;
}

bool TableSettler::refresh(TableBatch& table, StatementError& error) {
    Logger::getLogger()->info("Cached columns of table '%s' refreshed", table.name.c_str());
    return settleOneByOne(table, false, error);
}

bool TableSettler::settleOneByOne(TableBatch& table, bool mayRefresh, StatementError& error) {
    for (int pass = 0; pass < 2; ++pass) {
        schemaManager.forgetTable(table.name);
        std::vector<TableBatch*> single{&table};
        if (!readColumns(single, error)) {
            return false;
        }
        bool refreshNeeded = false;
        for (Change& change : plan(table)) {
            if (!runChange(change, mayRefresh && pass == 0, refreshNeeded, error)) {
                return false;
            }
            if (refreshNeeded) {
                break;
            }
        }
        if (!refreshNeeded) {
            return true;
        }
        if (!mayRefresh || pass == 1) {
            break;
        }
        Logger::getLogger()->info("Cached columns of table '%s' refreshed", table.name.c_str());
    }
    return true;
}

bool TableSettler::runChange(Change& change, bool mayRefresh, bool& refreshNeeded,
                             StatementError& error) {
    TableBatch& table = *change.table;
    StatementRunner::Outcome outcome = runner.run({change.sql});
    if (outcome.success) {
        apply(change);
        return true;
    }
    const StatementError failure = outcome.error;
    if (failsTheBatch(failure)) {
        error = failure;
        return false;
    }
    if (columnExists(failure) && mayRefresh) {
        // Made by someone else since we looked: read the table again.
        refreshNeeded = true;
        return true;
    }
    // "Exists" once more right after the table was read again: a name the database will not
    // take (one of its own column names, say), refused like any other.
    Logger::getLogger()->error("%s of table '%s' refused: SQLSTATE %s, native error %d: %s",
                               change.create ? "Creation" : "Change", table.name.c_str(),
                               failure.sqlState.c_str(), static_cast<int>(failure.nativeError),
                               failure.message.c_str());
    if (!change.create) {
        table.refusedColumns[change.columns.front().first] = failure;
        return true;
    }
    if (change.columns.size() <= FIXED_COLUMNS) {
        table.refused = true;
        table.refusal = failure;
        return true;
    }
    // Find the column the database refuses: the table with the columns every row has, then the
    // others one by one.
    Change base{&table, true, {change.columns.begin(), change.columns.begin() + FIXED_COLUMNS}, {}};
    base.sql = schemaManager.buildCreateTableSQL(table.name, base.columns);
    outcome = runner.run({base.sql});
    if (!outcome.success) {
        if (failsTheBatch(outcome.error)) {
            error = outcome.error;
            return false;
        }
        table.refused = true;
        table.refusal = outcome.error;
        return true;
    }
    apply(base);
    for (size_t i = FIXED_COLUMNS; i < change.columns.size(); ++i) {
        const auto& column = change.columns[i];
        Change add{&table,
                   false,
                   {column},
                   schemaManager.buildAlterTableSQL(table.name, column.first, column.second)};
        if (!runChange(add, mayRefresh, refreshNeeded, error)) {
            return false;
        }
    }
    return true;
}

bool TableSettler::widen(const std::vector<LongText>& texts,
                         const std::vector<std::pair<std::string, std::string>>& scales,
                         std::map<std::pair<std::string, std::string>, StatementError>& refused,
                         StatementError& error) {
    // The longest text per column.
    std::map<std::pair<std::string, std::string>, size_t> longest;
    for (const LongText& text : texts) {
        size_t& characters = longest[{text.table, text.column}];
        characters = std::max(characters, text.characters);
    }
    return askColumnSizes(longest, scales, error) && lengthen(longest, refused, error);
}

bool TableSettler::askColumnSizes(
    const std::map<std::pair<std::string, std::string>, size_t>& longest,
    const std::vector<std::pair<std::string, std::string>>& scales, StatementError& error) {
    // The tables with a column whose length or scale nobody told us.
    std::set<std::string> asked;
    for (const auto& entry : longest) {
        if (schemaManager.columnLength(entry.first.first, entry.first.second) == 0) {
            asked.insert(entry.first.first);
        }
    }
    for (const auto& column : scales) {
        if (schemaManager.columnScale(column.first, column.second) < 0) {
            asked.insert(column.first);
        }
    }
    if (asked.empty()) {
        return true;
    }
    const std::vector<std::string> tables(asked.begin(), asked.end());
    std::vector<std::string> queries;
    for (const std::string& table : tables) {
        queries.push_back(builder.buildColumnLengthQuery(table));
    }
    const StatementRunner::Outcome outcome = runner.run(queries, Results::Read);
    if (!outcome.success) {
        error = outcome.error;
        return false;
    }
    for (size_t i = 0; i < tables.size() && i < outcome.results.size(); ++i) {
        for (const auto& row : outcome.results[i].rows) {
            cacheColumnSize(tables[i], row);
        }
    }
    return true;
}

void TableSettler::cacheColumnSize(const std::string& table, const std::vector<std::string>& row) {
    if (row.size() < 2) {
        return;
    }
    // No declared length: as long as the database allows.
    const size_t length =
        row[1] == "NULL" || row[1].empty() ? builder.getMaxVarcharLength() : std::stoull(row[1]);
    if (schemaManager.columnLength(table, row[0]) == 0) {
        schemaManager.setColumnLength(table, row[0], length);
    }
    if (row.size() > 2 && row[2] != "NULL" && !row[2].empty() &&
        schemaManager.columnScale(table, row[0]) < 0) {
        schemaManager.setColumnScale(table, row[0], std::stoi(row[2]));
    }
}

bool TableSettler::lengthen(const std::map<std::pair<std::string, std::string>, size_t>& longest,
                            std::map<std::pair<std::string, std::string>, StatementError>& refused,
                            StatementError& error) {
    std::vector<std::pair<std::pair<std::string, std::string>, size_t>> changes;
    std::vector<std::string> statements;
    for (const auto& entry : longest) {
        const size_t current = schemaManager.columnLength(entry.first.first, entry.first.second);
        if (current == 0 || entry.second <= current ||
            entry.second > builder.getMaxVarcharLength()) {
            continue;
        }
        const size_t length = widenedLength(entry.second, builder.getMaxVarcharLength());
        changes.emplace_back(entry.first, length);
        statements.push_back(
            builder.buildWidenColumn(entry.first.first, entry.first.second, length));
    }
    if (statements.empty()) {
        return true;
    }
    StatementRunner::Outcome outcome = runner.run(statements);
    if (outcome.success) {
        for (const auto& change : changes) {
            schemaManager.setColumnLength(change.first.first, change.first.second, change.second);
        }
        return true;
    }
    if (failsTheBatch(outcome.error)) {
        error = outcome.error;
        return false;
    }
    // One by one, so each refusal is known for its own column.
    for (size_t i = 0; i < changes.size(); ++i) {
        outcome = runner.run({statements[i]});
        if (outcome.success) {
            schemaManager.setColumnLength(changes[i].first.first, changes[i].first.second,
                                          changes[i].second);
        } else if (failsTheBatch(outcome.error)) {
            error = outcome.error;
            return false;
        } else {
            refused[changes[i].first] = outcome.error;
        }
    }
    return true;
}
