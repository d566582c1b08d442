#ifndef SCHEMA_SCHEMA_MANAGER_H
#define SCHEMA_SCHEMA_MANAGER_H

#include <cstddef>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "client/odbc_client.h"

class DatabaseRecord;
class SQLBuilder;

// Knows which tables exist with which columns (the schema cache), creates missing tables and
// adds missing columns.
class SchemaManager {
public:
    using TableSchema = std::vector<std::tuple<std::string, std::string>>;
    // Columns as a CREATE TABLE declares them: name, declared type.
    using ColumnDefinitions = std::vector<std::pair<std::string, std::string>>;

    SchemaManager();
    explicit SchemaManager(ODBCClient* client);
    SchemaManager(ODBCClient* client, const std::string& databaseName);
    virtual ~SchemaManager();

    void setClient(ODBCClient* newClient);
    ODBCClient* getClient() const;
    void setDatabaseName(const std::string& name);
    void setSQLBuilder(SQLBuilder* builder);
    SQLBuilder* getSQLBuilder() const;

    bool checkTableExists(const std::string& table, const DatabaseRecord& record);
    bool createTable(const std::string& table, const DatabaseRecord& record);
    std::string buildCreateTableSQL(const std::string& table, const DatabaseRecord& record) const;
    std::string buildCreateTableSQL(const std::string& table,
                                    const ColumnDefinitions& definitions) const;
    TableSchema extractColumnInfo(const std::vector<std::vector<std::string>>& rows) const;
    QueryResult executeQuery(const std::string& sql);
    std::string parseColumnType(const std::string& dataType) const;
    std::string toLowerCase(const std::string& text) const;

    bool checkTableSchema(const std::string& table, const DatabaseRecord& record);
    bool alterTable(const std::string& table, const DatabaseRecord& record);
    std::string buildAlterTableSQL(const std::string& table, const std::string& column,
                                   const std::string& type) const;
    TableSchema getCachedSchema(const std::string& table) const;
    // The record's columns that the cached table lacks, in the record's order: all of them when
    // the table is not cached.
    std::vector<std::string> missingColumns(const std::string& table,
                                            const DatabaseRecord& record) const;

    // The cache as the batch delivery settles many tables with few requests: it runs the
    // statements itself and tells the cache what they did.
    bool isCached(const std::string& table) const;
    // Caches a table from the rows of its column query; false (nothing cached) when the query
    // found no columns, that is when the table does not exist.
    bool cacheColumnRows(const std::string& table,
                         const std::vector<std::vector<std::string>>& rows);
    void cacheCreatedTable(const std::string& table, const DatabaseRecord& record);
    void cacheCreatedTable(const std::string& table, const ColumnDefinitions& definitions);
    void cacheAddedColumn(const std::string& table, const std::string& column,
                          const std::string& type);
    // A column's type and declared type, as the record declares it for a new table or column.
    std::string declaredColumnType(const DatabaseRecord& record, const std::string& column) const;
    // Forgets what is known of one table (it changed under us) or of every table (another
    // database).
    void forgetTable(const std::string& table);
    void clearCache();
    // The maximum length in characters of a text column, when known: the plugin knows the
    // columns it made or widened; for others the database is asked (setColumnLength).
    size_t columnLength(const std::string& table, const std::string& column) const;
    void setColumnLength(const std::string& table, const std::string& column, size_t length);
    // The digits after the point a numeric column keeps, when known (-1: not known): 0 for the
    // integer columns the plugin made; for others the database is asked.
    int columnScale(const std::string& table, const std::string& column) const;
    void setColumnScale(const std::string& table, const std::string& column, int scale);

private:
    // Each of the record's columns with the type the record declares for it.
    ColumnDefinitions declaredColumns(const DatabaseRecord& record) const;

    ODBCClient* client;
    std::string databaseName;
    SQLBuilder* sqlBuilder;
    std::map<std::string, TableSchema> schemaCache;
    std::map<std::string, std::map<std::string, size_t>> columnLengths;
    std::map<std::string, std::map<std::string, int>> columnScales;
};

#endif
