#include "sql/sql_builder.h"

#include <algorithm>
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

std::string toLowerCopy(const std::string& text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

std::string toUpperCopy(const std::string& text) {
    std::string upper(text);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

// The length n of a "VARCHAR(n)" type (any letter case, constraints after it), or 0.
size_t varcharLength(const std::string& type) {
    const std::string upper = toUpperCopy(type);
    const size_t at = upper.find("VARCHAR(");
    if (at == std::string::npos) {
        return 0;
    }
    size_t length = 0;
    for (size_t i = at + 8; i < upper.size() && std::isdigit(static_cast<unsigned char>(upper[i]));
         ++i) {
        length = length * 10 + static_cast<size_t>(upper[i] - '0');
    }
    return length;
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

// A row of values already formatted, punctuated as the delivery punctuates the rows it
// renders in place.
void appendRow(std::string& sql, const std::vector<std::string>& row) {
    SQLBuilder::appendRowStart(sql);
    for (size_t i = 0; i < row.size(); ++i) {
        if (i > 0) {
            SQLBuilder::appendValueSeparator(sql);
        }
        sql += row[i];
    }
    SQLBuilder::appendRowEnd(sql);
}

}  // namespace

SQLBuilder::SQLBuilder() = default;

SQLBuilder::~SQLBuilder() = default;

std::string SQLBuilder::quoteIdentifier(const std::string& name) const {
    const std::string open = getIdentifierQuote();
    const std::string close = getIdentifierCloseQuote();
    std::string quoted;
    quoted.reserve(open.size() + name.size() + close.size() + 2);
    quoted += open;
    appendDoubled(quoted, name, close);
    quoted += close;
    return quoted;
}

std::string SQLBuilder::quotedList(const std::vector<std::string>& names) const {
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            list += ", ";
        }
        list += quoteIdentifier(names[i]);
    }
    return list;
}

std::string SQLBuilder::buildInsertPrefix(const std::string& table,
                                          const std::vector<std::string>& columnNames) const {
    std::string sql = "INSERT INTO ";
    sql += quoteIdentifier(table);
    sql += " (";
    sql += quotedList(columnNames);
    sql += ") VALUES ";
    return sql;
}

std::string SQLBuilder::buildInsertSelectPrefix(const std::string& table,
                                                const std::vector<std::string>& columnNames,
                                                const std::vector<bool>& parsed) const {
    // The VALUES list's columns are named c1, c2, ... in the derived table v.
    std::string sql = "INSERT INTO ";
    sql += quoteIdentifier(table);
    sql += " (";
    sql += quotedList(columnNames);
    sql += ") SELECT ";
    for (size_t i = 0; i < columnNames.size(); ++i) {
        const std::string value = "c" + std::to_string(i + 1);
        if (i > 0) {
            sql += ", ";
        }
        sql += i < parsed.size() && parsed[i] ? "PARSE_JSON(" + value + ")" : value;
    }
    sql += " FROM (VALUES ";
    return sql;
}

std::string SQLBuilder::buildInsertSelectSuffix(size_t columnCount) {
    std::string sql = ") AS v(";
    for (size_t i = 0; i < columnCount; ++i) {
        if (i > 0) {
            sql += ", ";
        }
        sql += "c" + std::to_string(i + 1);
    }
    sql += ')';
    return sql;
}

std::string SQLBuilder::buildWidenColumn(const std::string& table, const std::string& column,
                                         size_t length) const {
    return "ALTER TABLE " + quoteIdentifier(table) + " ALTER COLUMN " + quoteIdentifier(column) +
           " SET DATA TYPE VARCHAR(" + std::to_string(length) + ")";
}

std::string SQLBuilder::buildCreateCheckTable(const std::string& table) const {
    return "CREATE TABLE " + quoteIdentifier(table) + " (" + quoteIdentifier("checked") +
           " BIGINT)";
}

std::string SQLBuilder::buildCheckInsert(const std::string& table) const {
    return "INSERT INTO " + quoteIdentifier(table) + " (" + quoteIdentifier("checked") +
           ") VALUES (1)";
}

std::string SQLBuilder::buildDropTable(const std::string& table) const {
    return "DROP TABLE IF EXISTS " + quoteIdentifier(table);
}

std::string SQLBuilder::buildSessionQuery() {
    return "SELECT CURRENT_DATABASE(), CURRENT_SCHEMA()";
}

std::string SQLBuilder::buildWarehouseQuery() {
    return "SELECT CURRENT_WAREHOUSE(), CURRENT_ROLE()";
}

std::string SQLBuilder::buildSessionParametersQuery() {
    return "SHOW PARAMETERS IN SESSION";
}

std::string SQLBuilder::buildCreateLedgerTable(const std::string& table) const {
    return "CREATE TABLE IF NOT EXISTS " + quoteIdentifier(table) + " (" +
           quoteIdentifier("instance") + " VARCHAR NOT NULL, " + quoteIdentifier("fingerprint") +
           " VARCHAR(32) NOT NULL, " + quoteIdentifier("row_count") + " BIGINT NOT NULL, " +
           quoteIdentifier("delivered_at") + " " + getTimestampType() + " NOT NULL)";
}

std::string SQLBuilder::buildLedgerInsertStart(const std::string& table,
                                               const std::string& instance) const {
    return "INSERT INTO " + quoteIdentifier(table) + " (" +
           quotedList({"instance", "fingerprint", "row_count", "delivered_at"}) + ") VALUES (" +
           escapeString(instance) + ", ";
}

std::string SQLBuilder::buildLedgerInsert(const std::string& table, const std::string& instance,
                                          const std::string& fingerprint, size_t rowCount) const {
    return buildLedgerInsertStart(table, instance) + escapeString(fingerprint) + ", " +
           std::to_string(rowCount) + ", CURRENT_TIMESTAMP)";
}

namespace {

// The states of a query that has not ended yet, in the query history.
const char* const NOT_ENDED = "('RUNNING', 'QUEUED', 'BLOCKED', 'RESUMING_WAREHOUSE')";

std::string tableFunction(const std::string& call, bool tableKeyword) {
    return tableKeyword ? "TABLE(" + call + ")" : call;
}

}  // namespace

std::string SQLBuilder::buildCurrentSession() const {
    return "SELECT CURRENT_SESSION()";
}

std::string SQLBuilder::buildCancelSessionQueries(const std::string& sessionId) const {
    return "SELECT SYSTEM$CANCEL_ALL_QUERIES(" + sessionId + ")";
}

std::string SQLBuilder::buildSessionQueriesRunning(const std::string& sessionId,
                                                   bool tableKeyword) const {
    return "SELECT COUNT(*) FROM " +
           tableFunction("INFORMATION_SCHEMA.QUERY_HISTORY_BY_SESSION(SESSION_ID => " + sessionId +
                             ", RESULT_LIMIT => 10000)",
                         tableKeyword) +
           " WHERE EXECUTION_STATUS IN " + NOT_ENDED;
}

std::string SQLBuilder::buildSessionsWritingLedger(const std::string& table,
                                                   const std::string& instance,
                                                   bool tableKeyword) const {
    return "SELECT DISTINCT SESSION_ID FROM " +
           tableFunction("INFORMATION_SCHEMA.QUERY_HISTORY_BY_USER(RESULT_LIMIT => 10000)",
                         tableKeyword) +
           " WHERE EXECUTION_STATUS IN " + NOT_ENDED + " AND POSITION(" +
           escapeString(buildLedgerInsertStart(table, instance)) + " IN QUERY_TEXT) > 0";
}

std::string SQLBuilder::buildLedgerLookup(const std::string& table, const std::string& instance,
                                          const std::string& fingerprint) const {
    return "SELECT COUNT(*) FROM " + quoteIdentifier(table) + " WHERE " +
           quoteIdentifier("instance") + " = " + escapeString(instance) + " AND " +
           quoteIdentifier("fingerprint") + " = " + escapeString(fingerprint);
}

std::string SQLBuilder::buildLedgerCleanup(const std::string& table, int days) const {
    return "DELETE FROM " + quoteIdentifier(table) + " WHERE " + quoteIdentifier("delivered_at") +
           " < CURRENT_TIMESTAMP - INTERVAL '" + std::to_string(days) + " days'";
}

std::string SQLBuilder::buildCreateRejectTable(const std::string& table) const {
    const std::string timestamp = getTimestampType();
    return "CREATE TABLE IF NOT EXISTS " + quoteIdentifier(table) + " (" +
           quoteIdentifier("rejected_at") + " " + timestamp + " NOT NULL, " +
           quoteIdentifier("instance") + " VARCHAR, " + quoteIdentifier("target_table") +
           " VARCHAR, " + quoteIdentifier("asset_code") + " VARCHAR, " +
           quoteIdentifier("user_ts") + " " + timestamp + ", " + quoteIdentifier("reading") +
           " VARCHAR, " + quoteIdentifier("sqlstate") + " VARCHAR(5), " +
           quoteIdentifier("native_code") + " BIGINT, " + quoteIdentifier("message") +
           " VARCHAR, " + quoteIdentifier("reject_id") + " VARCHAR(36), " +
           quoteIdentifier("replay_pass") + " VARCHAR(36))";
}

std::vector<std::string> SQLBuilder::buildRejectTableUpgrade(
    const std::string& table, const std::vector<std::string>& columns) const {
    // Nullable even in a new table: a gateway still on the earlier version writes rows without
    // them. Only the missing ones are added: "ADD COLUMN IF NOT EXISTS" is not taken everywhere.
    std::vector<std::string> statements;
    if (columns.empty()) {
        return statements;
    }
    for (const char* column : {"reject_id", "replay_pass"}) {
        if (std::find(columns.begin(), columns.end(), column) == columns.end()) {
            statements.push_back(buildAlterTable(table, column, "VARCHAR(36)"));
        }
    }
    return statements;
}

std::string SQLBuilder::buildRejectIdBackfill(const std::string& table,
                                              const std::string& instance) const {
    return "UPDATE " + quoteIdentifier(table) + " SET " + quoteIdentifier("reject_id") +
           " = UUID_STRING() WHERE " + quoteIdentifier("instance") + " = " +
           escapeString(instance) + " AND " + quoteIdentifier("reject_id") + " IS NULL";
}

std::string SQLBuilder::buildRejectReplaySelect(const std::string& table,
                                                const std::string& instance,
                                                const std::string& pass, size_t limit) const {
    const std::string passColumn = quoteIdentifier("replay_pass");
    return "SELECT " + quoteIdentifier("reject_id") + ", " + quoteIdentifier("reading") + " FROM " +
           quoteIdentifier(table) + " WHERE " + quoteIdentifier("instance") + " = " +
           escapeString(instance) + " AND " + quoteIdentifier("reject_id") + " IS NOT NULL AND (" +
           passColumn + " IS NULL OR " + passColumn + " <> " + escapeString(pass) + ") ORDER BY " +
           quoteIdentifier("rejected_at") + ", " + quoteIdentifier("reject_id") + " LIMIT " +
           std::to_string(limit);
}

std::string SQLBuilder::buildRejectDelete(const std::string& table, const std::string& instance,
                                          const std::vector<std::string>& ids) const {
    std::string sql = "DELETE FROM " + quoteIdentifier(table) + " WHERE " +
                      quoteIdentifier("instance") + " = " + escapeString(instance) + " AND " +
                      quoteIdentifier("reject_id") + " IN (";
    for (size_t i = 0; i < ids.size(); ++i) {
        sql += (i > 0 ? ", " : "") + escapeString(ids[i]);
    }
    return sql + ")";
}

std::string SQLBuilder::buildRejectPassMark(const std::string& table, const std::string& instance,
                                            const std::string& pass,
                                            const std::vector<std::string>& ids) const {
    std::string sql = "UPDATE " + quoteIdentifier(table) + " SET " +
                      quoteIdentifier("replay_pass") + " = " + escapeString(pass) + " WHERE " +
                      quoteIdentifier("instance") + " = " + escapeString(instance) + " AND " +
                      quoteIdentifier("reject_id") + " IN (";
    for (size_t i = 0; i < ids.size(); ++i) {
        sql += (i > 0 ? ", " : "") + escapeString(ids[i]);
    }
    return sql + ")";
}

std::string SQLBuilder::buildRejectInsert(const std::string& table,
                                          const std::vector<RejectRow>& rows) const {
    std::string sql =
        "INSERT INTO " + quoteIdentifier(table) + " (" +
        quotedList({"rejected_at", "instance", "target_table", "asset_code", "user_ts", "reading",
                    "sqlstate", "native_code", "message", "reject_id", "replay_pass"}) +
        ") VALUES ";
    const std::string timestamp = getTimestampType();
    for (size_t i = 0; i < rows.size(); ++i) {
        const RejectRow& row = rows[i];
        sql += i > 0 ? ", (" : "(";
        sql += "CURRENT_TIMESTAMP, ";
        sql += escapeString(row.instance) + ", ";
        sql += escapeString(row.targetTable) + ", ";
        sql += escapeString(row.asset) + ", ";
        sql += (row.userTimestamp.empty() ? std::string("NULL")
                                          : formatValue(row.userTimestamp, timestamp)) +
               ", ";
        sql += escapeString(row.readingJSON) + ", ";
        sql += (row.sqlState.empty() ? std::string("NULL") : escapeString(row.sqlState)) + ", ";
        sql += std::to_string(row.nativeCode) + ", ";
        sql += escapeString(row.message) + ", ";
        sql += escapeString(row.id) + ", ";
        sql += (row.replayPass.empty() ? std::string("NULL") : escapeString(row.replayPass)) + ")";
    }
    return sql;
}

std::string SQLBuilder::getStatementSeparator() const {
    return ";\n";
}

std::string SQLBuilder::buildMultiStatementSession() const {
    return std::string();
}

std::string SQLBuilder::buildSessionSettings() const {
    return std::string();
}

std::string SQLBuilder::buildBegin() const {
    return "BEGIN";
}

std::string SQLBuilder::buildCommit() const {
    return "COMMIT";
}

std::string SQLBuilder::buildRollback() const {
    return "ROLLBACK";
}

SQLBuilder::ColumnKind SQLBuilder::kindOf(const std::string& type) {
    const std::string name = toUpperCopy(type);
    if (name.find("TIMESTAMP") != std::string::npos) {
        return ColumnKind::Timestamp;
    }
    if (name.find("CHAR") != std::string::npos || name.find("TEXT") != std::string::npos ||
        name.find("STRING") != std::string::npos) {
        return ColumnKind::Text;
    }
    if (name.find("REAL") != std::string::npos || name.find("FLOAT") != std::string::npos ||
        name.find("DOUBLE") != std::string::npos) {
        return ColumnKind::Float;
    }
    if (name.find("INT") != std::string::npos || name.find("NUMBER") != std::string::npos) {
        return ColumnKind::Integer;
    }
    return ColumnKind::Other;
}

SQLBuilder::ColumnShape SQLBuilder::columnShape(const std::string& type) const {
    ColumnShape shape;
    shape.kind = kindOf(type);
    shape.length = varcharLength(type);
    // BIGINT is the whole-number type the plugin makes; any other numeric type may keep digits
    // after the point, which the database is asked for.
    if (type.compare(0, 6, "BIGINT") == 0) {
        shape.scale = 0;
    }
    return shape;
}

SQLBuilder::ValueStyle SQLBuilder::valueStyle(const std::string& type) const {
    return columnShape(type).style;
}

void SQLBuilder::appendValue(std::string& out, const char* text, size_t length,
                             ValueStyle style) const {
    if (style == ValueStyle::Literal) {
        appendLiteral(out, text, length);
    } else {
        out.append(text, length);
    }
}

void SQLBuilder::appendLiteral(std::string& out, const char* text, size_t length) const {
    out += escapeString(std::string(text, length));
}

int32_t SQLBuilder::getMultiStatementCountAttribute() const {
    return 0;
}

size_t SQLBuilder::getMaxVarcharLength() const {
    return 10485760;
}

std::string SQLBuilder::tableNameLiteral(const std::string& table) const {
    return escapeString(table);
}

std::string SQLBuilder::getVariantType() const {
    return std::string();
}

std::string SQLBuilder::buildColumnLengthQuery(const std::string& table) const {
    return "SELECT column_name, character_maximum_length, numeric_scale FROM "
           "information_schema.columns WHERE "
           "table_name = " +
           tableNameLiteral(table) + " ORDER BY ordinal_position";
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
    return buildInsertPrefix(tableName, columns);
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
    const char* const separator = rowSeparator();
    const size_t separatorLength = std::strlen(separator);
    size_t length = sql.size() + separatorLength * (values.size() - 1);
    for (const auto& row : values) {
        length += rowLength(row);
    }
    sql.reserve(length);
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            sql.append(separator, separatorLength);
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

std::string SQLBuilder::normalizeColumnType(const std::string& type) const {
    return columnShape(type).ownType;
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
