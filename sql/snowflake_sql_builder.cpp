#include "sql/snowflake_sql_builder.h"

#include <cstring>

namespace {

char upperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whether text contains needle (given in upper case), ignoring the letter case of text.
// Runs once per value of a batch, so it compares in place instead of upper-casing a copy.
bool containsIgnoreCase(const std::string& text, const char* needle) {
    const size_t needleLength = std::strlen(needle);
    if (needleLength > text.size()) {
        return false;
    }
    const size_t last = text.size() - needleLength;
    for (size_t start = 0; start <= last; ++start) {
        size_t i = 0;
        while (i < needleLength && upperAscii(text[start + i]) == needle[i]) {
            ++i;
        }
        if (i == needleLength) {
            return true;
        }
    }
    return false;
}

// Appends text as the inside of a literal quoted by the one character quote: NUL bytes left out,
// backslashes and quotes doubled. Copies the runs between those characters whole.
void appendEscaped(std::string& out, const char* text, size_t length, char quote) {
    size_t run = 0;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c != '\0' && c != '\\' && c != quote) {
            continue;
        }
        out.append(text + run, i - run);
        if (c == '\\') {
            out += "\\\\";
        } else if (c != '\0') {
            out += c;
            out += c;
        }
        run = i + 1;
    }
    out.append(text + run, length - run);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A plain SQL numeric literal: [+-] digits [. [digits]] | [+-] . digits, then [e [+-] digits].
bool isNumericLiteral(const char* text, size_t n) {
    size_t i = 0;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    size_t digits = 0;
    while (i < n && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        size_t exponentDigits = 0;
        while (i < n && isDigit(text[i])) {
            ++i;
            ++exponentDigits;
        }
        if (exponentDigits == 0) {
            return false;
        }
    }
    return i == n;
}

bool isNullWord(const char* text, size_t length) {
    return length == 4 && upperAscii(text[0]) == 'N' && upperAscii(text[1]) == 'U' &&
           upperAscii(text[2]) == 'L' && upperAscii(text[3]) == 'L';
}

}  // namespace

SnowflakeSQLBuilder::SnowflakeSQLBuilder() = default;

SnowflakeSQLBuilder::~SnowflakeSQLBuilder() = default;

std::string SnowflakeSQLBuilder::escapeString(const std::string& text) const {
    // Snowflake reads backslash escapes inside single quotes, so a backslash is doubled to
    // arrive as itself; a NUL byte would end the statement text and is left out.
    const std::string quote = getStringQuote();
    std::string literal;
    literal.reserve(text.size() + 2 * quote.size() + 4);
    literal += quote;
    if (quote.size() == 1) {
        appendEscaped(literal, text.data(), text.size(), quote[0]);
        literal += quote;
        return literal;
    }
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '\0') {
            ++i;
        } else if (c == '\\') {
            literal += "\\\\";
            ++i;
        } else if (!quote.empty() && text.compare(i, quote.size(), quote) == 0) {
            literal += quote;
            literal += quote;
            i += quote.size();
        } else {
            literal += c;
            ++i;
        }
    }
    literal += quote;
    return literal;
}

std::string SnowflakeSQLBuilder::formatValue(const std::string& value,
                                             const std::string& type) const {
    return formatValueForSnowflake(value, type);
}

std::string SnowflakeSQLBuilder::formatValueForSnowflake(const std::string& value,
                                                         const std::string& type) const {
    if (valueStyle(type) == ValueStyle::Literal) {
        return escapeString(value);
    }
    // Unquoted only what cannot be anything but a number or NULL; any other text is a literal,
    // so a value never becomes SQL of its own.
    if (value.empty()) {
        return "NULL";
    }
    if (isNumericLiteral(value.data(), value.size()) || isNullWord(value.data(), value.size())) {
        return value;
    }
    return escapeString(value);
}

std::string SnowflakeSQLBuilder::toSQLTypeString(int typeCode) const {
    switch (typeCode) {
        case 1:
            return "BIGINT";
        case 2:
            return "REAL";
        default:
            return "VARCHAR(256)";
    }
}

std::string SnowflakeSQLBuilder::normalizeColumnType(const std::string& type) const {
    return columnShape(type).ownType;
}

SQLBuilder::ColumnShape SnowflakeSQLBuilder::columnShape(const std::string& type) const {
    ColumnShape shape = SQLBuilder::columnShape(type);
    // The types this dialect makes, by the first name the type's text holds; Snowflake reports
    // its own columns by these names too (FLOAT for REAL, NUMBER for BIGINT, TEXT for VARCHAR).
    if (containsIgnoreCase(type, "VARIANT")) {
        shape.ownType = "VARIANT";
        shape.kind = ColumnKind::Variant;
    } else if (containsIgnoreCase(type, "FLOAT")) {
        shape.ownType = "REAL";
    } else if (containsIgnoreCase(type, "NUMBER")) {
        shape.ownType = "BIGINT";
    } else if (containsIgnoreCase(type, "TIMESTAMP_TZ")) {
        shape.ownType = "TIMESTAMP_TZ";
    } else if (containsIgnoreCase(type, "TEXT") || containsIgnoreCase(type, "VARCHAR") ||
               containsIgnoreCase(type, "STRING")) {
        shape.ownType = "VARCHAR(256)";
    } else if (containsIgnoreCase(type, "INT")) {
        shape.ownType = "BIGINT";
    }
    // Text, timestamps with their offset and JSON text are string literals; anything else is
    // written unquoted only when it is a number or NULL, so a value never becomes SQL of its own.
    const bool literal = !shape.ownType.empty() &&
                         (shape.kind == ColumnKind::Text || shape.kind == ColumnKind::Timestamp ||
                          shape.kind == ColumnKind::Variant);
    shape.style = literal ? ValueStyle::Literal : ValueStyle::Number;
    return shape;
}

std::string SnowflakeSQLBuilder::getTimestampType() const {
    return "TIMESTAMP_TZ";
}

std::string SnowflakeSQLBuilder::getStringType() const {
    return "VARCHAR(256)";
}

std::string SnowflakeSQLBuilder::decodeConstraints(ColumnConstraint constraint) const {
    std::string clauses;
    if (constraint & NOT_NULL) {
        clauses += " NOT NULL";
    } else if (constraint & NULLABLE) {
        clauses += " NULL";
    }
    if (constraint & PRIMARY_KEY) {
        clauses += " PRIMARY KEY";
    }
    if (constraint & UNIQUE) {
        clauses += " UNIQUE";
    }
    return clauses;
}

std::string SnowflakeSQLBuilder::buildInformationSchemaQuery(const std::string&,
                                                             const std::string& table) const {
    return "SELECT column_name,data_type FROM information_schema.columns WHERE table_name = " +
           tableNameLiteral(table) +
           " AND table_schema = CURRENT_SCHEMA() ORDER BY ordinal_position";
}

std::string SnowflakeSQLBuilder::tableNameLiteral(const std::string& table) const {
    // A dollar-quoted constant ends at the first "$$": a name holding one, or ending in "$",
    // goes into an ordinary string literal instead.
    if (table.find("$$") == std::string::npos && (table.empty() || table.back() != '$')) {
        return "$$" + table + "$$";
    }
    return escapeString(table);
}

std::string SnowflakeSQLBuilder::buildColumnLengthQuery(const std::string& table) const {
    return "SELECT column_name, character_maximum_length, numeric_scale FROM "
           "information_schema.columns WHERE "
           "table_name = " +
           tableNameLiteral(table) +
           " AND table_schema = CURRENT_SCHEMA() ORDER BY ordinal_position";
}

std::string SnowflakeSQLBuilder::getVariantType() const {
    return "VARIANT";
}

int32_t SnowflakeSQLBuilder::getMultiStatementCountAttribute() const {
    return MULTI_STATEMENT_COUNT_ATTRIBUTE;
}

std::string SnowflakeSQLBuilder::buildMultiStatementSession() const {
    // Takes the place of the statement attribute for drivers that do not pass it on: any number
    // of statements per request for the rest of the session.
    return "ALTER SESSION SET MULTI_STATEMENT_COUNT = 0";
}

std::string SnowflakeSQLBuilder::buildSessionSettings() const {
    // Any number of statements per request; quoted names kept as written, so that the column
    // query finds the tables the plugin made; timestamps with an offset read as such; every row
    // of a look-up returned, so that no column of a table goes unseen.
    return "ALTER SESSION SET MULTI_STATEMENT_COUNT = 0 QUOTED_IDENTIFIERS_IGNORE_CASE = FALSE "
           "TIMESTAMP_INPUT_FORMAT = 'AUTO' ROWS_PER_RESULTSET = 0";
}

void SnowflakeSQLBuilder::appendValue(std::string& out, const char* text, size_t length,
                                      ValueStyle style) const {
    // The rules of formatValueForSnowflake, with the type's part worked out beforehand.
    if (style == ValueStyle::Verbatim) {
        out.append(text, length);
    } else if (style == ValueStyle::Literal) {
        appendLiteral(out, text, length);
    } else if (length == 0) {
        out.append("NULL", 4);
    } else if (isNumericLiteral(text, length) || isNullWord(text, length)) {
        out.append(text, length);
    } else {
        appendLiteral(out, text, length);
    }
}

void SnowflakeSQLBuilder::appendLiteral(std::string& out, const char* text, size_t length) const {
    const std::string quote = getStringQuote();
    if (quote.size() != 1) {
        out += escapeString(std::string(text, length));
        return;
    }
    out += quote[0];
    appendEscaped(out, text, length, quote[0]);
    out += quote[0];
}

size_t SnowflakeSQLBuilder::getMaxVarcharLength() const {
    return MAX_VARCHAR_LENGTH;
}

SQLBuilder* SnowflakeSQLBuilder::createSQLBuilder() const {
    return new SnowflakeSQLBuilder();
}

std::string SnowflakeSQLBuilder::getHintName() const {
    return "snowflakeHint";
}

std::string SnowflakeSQLBuilder::getIdentifierQuote() const {
    return "\"";
}

std::string SnowflakeSQLBuilder::getIdentifierCloseQuote() const {
    return "\"";
}
