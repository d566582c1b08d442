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
    std::string getTimestampType() const override;
    std::string getStringType() const override;
    std::string decodeConstraints(ColumnConstraint constraint) const override;
    std::string buildInformationSchemaQuery(const std::string& schema,
                                            const std::string& table) const override;
    SQLBuilder* createSQLBuilder() const override;
    std::string getHintName() const override;
    std::string getIdentifierQuote() const override;
    std::string getIdentifierCloseQuote() const override;

    std::string formatValueForSnowflake(const std::string& value, const std::string& type) const;
};

#endif
