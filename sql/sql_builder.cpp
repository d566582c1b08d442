#include "sql/sql_builder.h"

#include <cctype>
#include <cstring>
#include <utility>

namespace {

// Appends text with every occurrence of quote written twice.
void appendDoubled(std::string& out, const std::string& text, const std::string& quote) {
    if (quote.empty()) {
        out += text;
        return;
    }
    size_t start = 0;
    size_t found;
    while ((found = text.find(quote, start)) != std::string::npos) {
        out.append(text, start, found - start + quote.size());
        out += quote;
        start = found + quote.size();
    }
    out.append(text, start, std::string::npos);
}

// Length of text once appendDoubled has written it.
size_t doubledLength(const std::string& text, const std::string& quote) {
    size_t length = text.size();
    if (quote.empty()) {
        return length;
    }
    for (size_t found = text.find(quote); found != std::string::npos;
         found = text.find(quote, found + quote.size())) {
        length += quote.size();
    }
    return length;
}

void appendQuoted(std::string& out, const std::string& name, const std::string& open,
                  const std::string& close) {
    out += open;
    appendDoubled(out, name, close);
    out += close;
}

std::string toLowerCopy(const std::string& text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

size_t rowLength(const std::vector<std::string>& row) {
    size_t length = 2;  // the parentheses
    for (const std::string& text : row) {
        length += text.size();
    }
    if (row.size() > 1) {
        length += 2 * (row.size() - 1);
    }
    return length;
}

void appendRow(std::string& sql, const std::vector<std::string>& row) {
    sql += '(';
    for (size_t i = 0; i < row.size(); ++i) {
        if (i > 0) {
            sql += ", ";
        }
        sql += row[i];
    }
    sql += ')';
}

}  // namespace

SQLBuilder::SQLBuilder() = default;

SQLBuilder::~SQLBuilder() = default;

std::string SQLBuilder::quoteIdentifier(const std::string& name) const {
    const std::string open = getIdentifierQuote();
    const std::string close = getIdentifierCloseQuote();
    std::string quoted;
    quoted.reserve(open.size() + name.size() + close.size() + 2);
    appendQuoted(quoted, name, open, close);
    return quoted;
}

size_t SQLBuilder::insertPrefixLength() const {
    const std::string open = getIdentifierQuote();
    const std::string close = getIdentifierCloseQuote();
    const size_t quotes = open.size() + close.size();
    size_t length = std::strlen("INSERT INTO ") + quotes + doubledLength(tableName, close) +
                    std::strlen(" (") + std::strlen(") VALUES ");
    for (size_t i = 0; i < columns.size(); ++i) {
        length += quotes + doubledLength(columns[i], close) + (i > 0 ? 2 : 0);
    }
    return length;
}

std::string SQLBuilder::buildCreateTable(
    const std::string& table,
    const std::vector<std::pair<std::string, std::string>>& definitions) const {
    std::string sql = "CREATE TABLE ";
    sql += quoteIdentifier(table);
    sql += " (";
    for (size_t i = 0; i < definitions.size(); ++i) {
        if (i > 0) {
            sql += ", ";
        }
        sql += quoteIdentifier(definitions[i].first);
        sql += ' ';
        sql += definitions[i].second;
    }
    sql += ')';
    return sql;
}

std::string SQLBuilder::buildAlterTable(const std::string& table, const std::string& column,
                                        const std::string& type) const {
    std::string sql = "ALTER TABLE ";
    sql += quoteIdentifier(table);
    sql += " ADD COLUMN ";
    sql += quoteIdentifier(column);
    sql += ' ';
    sql += type;
    return sql;
}

std::string SQLBuilder::insertPrefix() const {
    if (tableName.empty() || columns.empty() || values.empty()) {
        return std::string();
    }
    // The quotes are asked for once per statement, not once per identifier.
    const std::string open = getIdentifierQuote();
    const std::string close = getIdentifierCloseQuote();
    std::string sql = "INSERT INTO ";
    appendQuoted(sql, tableName, open, close);
    sql += " (";
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) {
            sql += ", ";
        }
        appendQuoted(sql, columns[i], open, close);
    }
    sql += ") VALUES ";
    return sql;
}

std::string SQLBuilder::buildInsert() const {
    std::string sql = insertPrefix();
    if (sql.empty()) {
        return sql;
    }
    sql.reserve(sql.size() + rowLength(values.front()));
    appendRow(sql, values.front());
    return sql;
}

std::string SQLBuilder::buildBulkInsert() const {
    std::string sql = insertPrefix();
    if (sql.empty()) {
        return sql;
    }
    // A batch can hold a hundred thousand rows: size the text once, then only append.
    size_t length = sql.size() + 2 * (values.size() - 1);
    for (const auto& row : values) {
        length += rowLength(row);
    }
    sql.reserve(length);
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            sql += ", ";
        }
        appendRow(sql, values[i]);
    }
    return sql;
}

std::string SQLBuilder::escapeString(const std::string& text) const {
    const std::string quote = getStringQuote();
    std::string literal;
    literal.reserve(text.size() + 2 * quote.size() + 2);
    literal += quote;
    appendDoubled(literal, text, quote);
    literal += quote;
    return literal;
}

std::string SQLBuilder::formatValue(const std::string& value, const std::string&) const {
    return value;
}

std::string SQLBuilder::toSQLTypeString(int) const {
    return "VARCHAR(256)";
}

std::string SQLBuilder::normalizeColumnType(const std::string&) const {
    return std::string();
}

std::string SQLBuilder::getTimestampType() const {
    return "TIMESTAMP";
}

std::string SQLBuilder::getStringType() const {
    return "VARCHAR(256)";
}

std::string SQLBuilder::decodeConstraints(ColumnConstraint constraint) const {
    std::string clauses;
    if (constraint & NOT_NULL) {
        clauses += " NOT NULL";
    }
    if (constraint & PRIMARY_KEY) {
        clauses += " PRIMARY KEY";
    }
    if (constraint & UNIQUE) {
        clauses += " UNIQUE";
    }
    return clauses;
}

std::string SQLBuilder::buildInformationSchemaQuery(const std::string& schema,
                                                    const std::string& table) const {
    // The names are literals here: a single quote in one is doubled so it cannot end it.
    const std::string quote = "'";
    std::string sql =
        "SELECT column_name,data_type FROM information_schema.columns WHERE table_schema = '";
    appendDoubled(sql, toLowerCopy(schema), quote);
    sql += "' AND table_name = '";
    appendDoubled(sql, toLowerCopy(table), quote);
    sql += "' ORDER BY ordinal_position";
    return sql;
}

std::string SQLBuilder::getIdentifierQuote() const {
    return "`";
}

std::string SQLBuilder::getIdentifierCloseQuote() const {
    return "`";
}

std::string SQLBuilder::getStringQuote() const {
    return "'";
}

void SQLBuilder::setTableName(const std::string& table) {
    tableName = table;
}

void SQLBuilder::setColumns(const std::vector<std::string>& columnNames) {
    columns = columnNames;
}

void SQLBuilder::setValues(const std::vector<std::vector<std::string>>& rows) {
    values = rows;
}

void SQLBuilder::setValues(std::vector<std::vector<std::string>>&& rows) {
    values = std::move(rows);
}
