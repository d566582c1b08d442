#ifndef SCHEMA_SCHEMA_MANAGER_H
#define SCHEMA_SCHEMA_MANAGER_H

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "client/odbc_client.h"

class DatabaseRecord;
class SQLBuilder;

// Knows which tables exist with which columns (the schema cache), creates missing tables and
// adds missing columns.
class SchemaManager {
public:
    using TableSchema = std::vector<std::tuple<std::string, std::string>>;

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
    TableSchema extractColumnInfo(const std::vector<std::vector<std::string>>& rows) const;
    QueryResult executeQuery(const std::string& sql);
    std::string parseColumnType(const std::string& dataType) const;
    std::string toLowerCase(const std::string& text) const;

    bool checkTableSchema(const std::string& table, const DatabaseRecord& record);
    bool alterTable(const std::string& table, const DatabaseRecord& record);
    std::string buildAlterTableSQL(const std::string& table, const std::string& column,
                                   const std::string& type) const;
    TableSchema getCachedSchema(const std::string& table) const;

private:
    ODBCClient* client;
    std::string databaseName;
    SQLBuilder* sqlBuilder;
    std::map<std::string, TableSchema> schemaCache;
};

#endif
