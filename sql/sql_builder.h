#ifndef SQL_SQL_BUILDER_H
#define SQL_SQL_BUILDER_H

#include <string>
#include <utility>
#include <vector>

#include "mapping/reading_mapper.h"

// Produces every SQL text the plugin sends. Statements are written once here on top of small
// virtual hooks (quotes, types, constraint clauses) that a dialect overrides. Every quoting and
// escaping rule of the plugin lives in this class and its dialects.
class SQLBuilder {
public:
    SQLBuilder();
    virtual ~SQLBuilder();

    virtual std::string buildCreateTable(
        const std::string& table,
        const std::vector<std::pair<std::string, std::string>>& definitions) const;
    virtual std::string buildAlterTable(const std::string& table, const std::string& column,
                                        const std::string& type) const;
    virtual std::string buildInsert() const;
    virtual std::string buildBulkInsert() const;
    virtual std::string escapeString(const std::string& text) const;
    virtual std::string formatValue(const std::string& value, const std::string& type) const;
    virtual std::string toSQLTypeString(int typeCode) const;
    virtual std::string normalizeColumnType(const std::string& type) const;
    virtual std::string getTimestampType() const;
    virtual std::string getStringType() const;
    virtual std::string decodeConstraints(ColumnConstraint constraint) const;
    virtual std::string buildInformationSchemaQuery(const std::string& schema,
                                                    const std::string& table) const;
    virtual SQLBuilder* createSQLBuilder() const = 0;
    virtual std::string getHintName() const = 0;
    virtual std::string getIdentifierQuote() const;
    virtual std::string getIdentifierCloseQuote() const;
    virtual std::string getStringQuote() const;

    void setTableName(const std::string& table);
    void setColumns(const std::vector<std::string>& columnNames);
    void setValues(const std::vector<std::vector<std::string>>& rows);
    // Takes the rows over instead of copying them (a batch's rows are built for one statement).
    void setValues(std::vector<std::vector<std::string>>&& rows);

    // An identifier between the dialect's quotes, with any closing-quote character inside it
    // doubled so that a name can never end its identifier early.
    std::string quoteIdentifier(const std::string& name) const;
    // Length of the text buildBulkInsert writes before the first row ("INSERT INTO <table>
    // (<columns>) VALUES ") for the table and columns set last, worked out without writing it.
    size_t insertPrefixLength() const;

protected:
    std::string tableName;
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> values;

private:
    // "INSERT INTO <table> (<columns>) VALUES " or empty when there is nothing to insert.
    std::string insertPrefix() const;
};

#endif
