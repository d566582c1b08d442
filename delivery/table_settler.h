#ifndef DELIVERY_TABLE_SETTLER_H
#define DELIVERY_TABLE_SETTLER_H

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "client/statement_error.h"
#include "delivery/table_batch.h"

class DatabaseRecord;
class ReadingMapper;
class SchemaManager;
class SQLBuilder;
class StatementRunner;

// Makes a batch's tables fit its rows before the batch's transaction begins (DDL commits any
// open transaction on Snowflake): reads the columns of tables it does not know, creates
// missing tables, adds missing columns and lengthens text columns, each kind of statement for
// all tables in as few requests as the driver allows. What the database refuses is noted on
// the table, so that only the rows it concerns become rejects.
class TableSettler {
public:
    // A text column that must take a longer text than it is known to.
    struct LongText {
        std::string table;
        std::string column;
        size_t characters;
    };

    // With `wholeNumbersAsReal`, a column made for whole numbers alone is floating point; with
    // `nestedAsVariant`, a column made for nested values or float arrays is the dialect's VARIANT.
    TableSettler(SchemaManager& schemaManager, ReadingMapper& mapper, const SQLBuilder& builder,
                 StatementRunner& runner, const std::string& databaseName, bool wholeNumbersAsReal,
                 bool nestedAsVariant = false);

    // False when the batch cannot go on; `error` says why.
    bool settle(std::vector<TableBatch*>& tables, StatementError& error);
    // Forgets what is known of a table that changed under us and settles it again.
    bool refresh(TableBatch& table, StatementError& error);
    // Lengthens text columns for the longest texts of the batch. The database's answer for a
    // column it would not lengthen comes back in `refused`.
    // Numeric columns whose scale is wanted are asked for in the same query.
    bool widen(const std::vector<LongText>& texts,
               const std::vector<std::pair<std::string, std::string>>& scales,
               std::map<std::pair<std::string, std::string>, StatementError>& refused,
               StatementError& error);

private:
    struct Change {
        TableBatch* table;
        bool create;
        std::vector<std::pair<std::string, std::string>> columns;  // name, declared type
        std::string sql;
    };

    using ColumnKey = std::pair<std::string, std::string>;  // table, column
    // Asks the database for the lengths and scales of columns it has not told yet.
    bool askColumnSizes(const std::map<ColumnKey, size_t>& longest,
                        const std::vector<ColumnKey>& scales, StatementError& error);
    // One row of the column-length query: name, length, scale.
    void cacheColumnSize(const std::string& table, const std::vector<std::string>& row);
    // Lengthens the text columns for their longest texts.
    bool lengthen(const std::map<ColumnKey, size_t>& longest,
                  std::map<ColumnKey, StatementError>& refused, StatementError& error);
    bool readColumns(const std::vector<TableBatch*>& tables, StatementError& error);
    std::vector<Change> plan(TableBatch& table);
    // The declared type of a new column: for a datapoint, made for the widest kind of its values
    // in the batch, so that every one of them fits.
    std::string columnType(const TableBatch& table, const DatabaseRecord& record,
                           const std::string& column) const;
    void apply(const Change& change);
    // One statement at a time, each failure handled on its own.
    bool settleOneByOne(TableBatch& table, bool mayRefresh, StatementError& error);
    // A column or table reported to exist asks for a refresh when `mayRefresh`, else it is
    // refused.
    bool runChange(Change& change, bool mayRefresh, bool& refreshNeeded, StatementError& error);

    SchemaManager& schemaManager;
    ReadingMapper& mapper;
    const SQLBuilder& builder;
    StatementRunner& runner;
    const std::string& databaseName;
    const bool wholeNumbersAsReal;
    const bool nestedAsVariant;
};

#endif
