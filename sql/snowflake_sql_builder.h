#ifndef SQL_SNOWFLAKE_SQL_BUILDER_H
#define SQL_SNOWFLAKE_SQL_BUILDER_H

#include "sql/sql_builder.h"

// The Snowflake dialect: double-quoted identifiers, Snowflake column types, explicit NULL for
// nullable columns, a column query scoped to the connection's schema, and literals that survive
// Snowflake's backslash escapes.
class SnowflakeSQLBuilder : public SQLBuilder {
public:
    SnowflakeSQLBuilder();
    ~SnowflakeSQLBuilder() override;

    std::string escapeString(const std::string& text) const override;
    std::string formatValue(const std::string& value, const std::string& type) const override;
    std::string toSQLTypeString(int typeCode) const override;
    std::string normalizeColumnType(const std::string& type) const override;
    ColumnShape columnShape(const std::string& type) const override;
    std::string getTimestampType() const override;
    std::string getStringType() const override;
    std::string decodeConstraints(ColumnConstraint constraint) const override;
    std::string buildInformationSchemaQuery(const std::string& schema,
                                            const std::string& table) const override;
    SQLBuilder* createSQLBuilder() const override;
    std::string getHintName() const override;
    std::string getIdentifierQuote() const override;
    std::string getIdentifierCloseQuote() const override;
    int32_t getMultiStatementCountAttribute() const override;
    std::string buildMultiStatementSession() const override;
    std::string buildSessionSettings() const override;
    void appendValue(std::string& out, const char* text, size_t length,
                     ValueStyle style) const override;
    void appendLiteral(std::string& out, const char* text, size_t length) const override;
    size_t getMaxVarcharLength() const override;
    std::string buildColumnLengthQuery(const std::string& table) const override;
    std::string tableNameLiteral(const std::string& table) const override;
    std::string getVariantType() const override;

    // The Snowflake ODBC driver's statement attribute for the number of statements in a
    // request (SQL_SF_STMT_ATTR_MULTI_STATEMENT_COUNT).
    static constexpr int32_t MULTI_STATEMENT_COUNT_ATTRIBUTE = 16648;
    static constexpr size_t MAX_VARCHAR_LENGTH = 16777216;

    std::string formatValueForSnowflake(const std::string& value, const std::string& type) const;
};

#endif
