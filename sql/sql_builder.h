#ifndef SQL_SQL_BUILDER_H
#define SQL_SQL_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sql/column_constraint.h"

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

    // Requests of several statements: the text between two statements, and the driver's
    // statement attribute that announces how many a request holds (0: none).
    virtual std::string getStatementSeparator() const;
    virtual int32_t getMultiStatementCountAttribute() const;
    // The session setting that lets a request hold any number of statements, for drivers that
    // do not pass the statement attribute on; empty when the dialect has none.
    virtual std::string buildMultiStatementSession() const;
    // The session settings the plugin's SQL relies on, whatever the account's or user's
    // defaults, as one statement; empty when the dialect has none.
    virtual std::string buildSessionSettings() const;
    // A transaction written as statements, for a request that carries its own.
    virtual std::string buildBegin() const;
    virtual std::string buildCommit() const;
    virtual std::string buildRollback() const;
    // The longest VARCHAR the database allows.
    virtual size_t getMaxVarcharLength() const;
    // Each column of a table with its declared maximum length in characters and its numeric
    // scale (NULL where a column has none).
    virtual std::string buildColumnLengthQuery(const std::string& table) const;
    // A value's text as the literal of the table-name comparisons of the column queries.
    virtual std::string tableNameLiteral(const std::string& table) const;
    // The type of a column that holds JSON values queried by path (Snowflake's VARIANT); empty
    // when the dialect has none.
    virtual std::string getVariantType() const;

    void setTableName(const std::string& table);
    void setColumns(const std::vector<std::string>& columnNames);
    void setValues(const std::vector<std::vector<std::string>>& rows);
    // Takes the rows over instead of copying them (a batch's rows are built for one statement).
    void setValues(std::vector<std::vector<std::string>>&& rows);

    // An identifier between the dialect's quotes, with any closing-quote character inside it
    // doubled so that a name can never end its identifier early.
    std::string quoteIdentifier(const std::string& name) const;

    // How the values of a column are written, worked out once per column from its type:
    // as they are, always as a string literal, or unquoted when they are a number or NULL.
    // A value a row lacks is the keyword NULL in any column; an empty value is NULL in the
    // Number style, the empty text in the Literal style and nothing in the Verbatim style.
    enum class ValueStyle { Verbatim, Literal, Number };
    // What a column's values are: whole or fixed-point numbers (BIGINT, NUMBER), floating point,
    // text, timestamps, JSON queried by path (VARIANT), or anything else.
    enum class ColumnKind { Integer, Float, Text, Timestamp, Variant, Other };
    // What a column is, decided once per column from its type's text as the cache holds it (a
    // declared type with its constraint clauses, or what normalizeColumnType made of the type
    // the database reported). Every answer that depends on a type's text comes from here.
    struct ColumnShape {
        ColumnKind kind = ColumnKind::Other;
        ValueStyle style = ValueStyle::Verbatim;
        // The type this dialect makes for such a column; empty when it makes none.
        std::string ownType;
        // The length a "VARCHAR(n)" type declares, 0 for none.
        size_t length = 0;
        // The digits after the point the type keeps when its name says so (0 for BIGINT),
        // -1 when only the database can tell.
        int scale = -1;
    };
    virtual ColumnShape columnShape(const std::string& type) const;
    // The kind by the type names every dialect shares, for rules that have a type but no
    // dialect at hand; columnShape starts from it.
    static ColumnKind kindOf(const std::string& type);
    // columnShape(type).style.
    ValueStyle valueStyle(const std::string& type) const;
    // Appends the value as formatValue writes it for a column of a type of that style, without
    // a string of its own; a row is rendered straight into a statement's text with these.
    virtual void appendValue(std::string& out, const char* text, size_t length,
                             ValueStyle style) const;
    // Appends escapeString of the text.
    virtual void appendLiteral(std::string& out, const char* text, size_t length) const;
    // The punctuation of a multi-row INSERT's VALUES list: "(v1, v2), (v3, v4)".
    static void appendRowStart(std::string& out) { out += '('; }
    static void appendValueSeparator(std::string& out) { out.append(", ", 2); }
    static void appendRowEnd(std::string& out) { out += ')'; }
    static const char* rowSeparator() { return ", "; }

    // "INSERT INTO <table> (<columns>) VALUES ", which every multi-row INSERT starts with.
    std::string buildInsertPrefix(const std::string& table,
                                  const std::vector<std::string>& columnNames) const;
    // A table with VARIANT columns, whose values must be parsed from JSON text where Snowflake
    // takes only constants inside VALUES: "INSERT INTO t (a, b) SELECT c1, PARSE_JSON(c2) FROM
    // (VALUES " before the rows and ") AS v(c1, c2)" after them, `parsed` telling the columns
    // of JSON text.
    std::string buildInsertSelectPrefix(const std::string& table,
                                        const std::vector<std::string>& columnNames,
                                        const std::vector<bool>& parsed) const;
    static std::string buildInsertSelectSuffix(size_t columnCount);
    // "ALTER TABLE t ALTER COLUMN c SET DATA TYPE VARCHAR(n)": lengthens a text column.
    std::string buildWidenColumn(const std::string& table, const std::string& column,
                                 size_t length) const;

    // The settings check: a table of one column made, written and dropped again, to learn
    // whether the session may create tables and run a write in its warehouse.
    std::string buildCreateCheckTable(const std::string& table) const;
    std::string buildCheckInsert(const std::string& table) const;
    std::string buildDropTable(const std::string& table) const;
    // The database and schema the session writes into (NULL for one that does not exist or
    // that the session may not use).
    static std::string buildSessionQuery();
    // Snowflake only: the session's warehouse and role, and its parameters (key, value, ...).
    static std::string buildWarehouseQuery();
    static std::string buildSessionParametersQuery();

    // The delivery ledger: one row per delivered batch, written in the batch's transaction.
    std::string buildCreateLedgerTable(const std::string& table) const;
    std::string buildLedgerInsert(const std::string& table, const std::string& instance,
                                  const std::string& fingerprint, size_t rowCount) const;
    // The ledger row's text up to the instance's name, which only the plugin's requests hold.
    std::string buildLedgerInsertStart(const std::string& table, const std::string& instance) const;
    std::string buildLedgerLookup(const std::string& table, const std::string& instance,
                                  const std::string& fingerprint) const;
    std::string buildLedgerCleanup(const std::string& table, int days) const;

    // Requests that may outlive their connection: the session's id; cancelling every query of
    // a session; how many queries of a session have not ended; the sessions of the user with a
    // query not ended that writes the instance's ledger row. The query history is read through
    // table functions, written in TABLE(...) where `tableKeyword` (Snowflake), bare otherwise.
    std::string buildCurrentSession() const;
    std::string buildCancelSessionQueries(const std::string& sessionId) const;
    std::string buildSessionQueriesRunning(const std::string& sessionId, bool tableKeyword) const;
    std::string buildSessionsWritingLedger(const std::string& table, const std::string& instance,
                                           bool tableKeyword) const;

    // The reject table: readings the database cannot take as they are, with the reason.
    struct RejectRow {
        std::string instance;
        std::string targetTable;
        std::string asset;
        std::string userTimestamp;  // as the row's user_ts value
        std::string readingJSON;
        std::string sqlState;
        int64_t nativeCode = 0;
        std::string message;
        // The row's identity, which a replay deletes it by.
        std::string id;
        // The replay pass that wrote the row, which does not try it again; empty for none.
        std::string replayPass;
    };
    std::string buildCreateRejectTable(const std::string& table) const;
    // Brings a reject table made by an earlier version up to date in place: the columns it
    // lacks among those it has (`columns`, as the column query reports them), added empty.
    // Nothing for a table that reports no columns: the plugin has just made it whole.
    std::vector<std::string> buildRejectTableUpgrade(const std::string& table,
                                                     const std::vector<std::string>& columns) const;
    std::string buildRejectInsert(const std::string& table,
                                  const std::vector<RejectRow>& rows) const;
    // Replaying rejects: an id for the instance's rows without one (written by an earlier
    // version), with the UUID_STRING() function Snowflake has; the instance's rows no replay
    // pass has tried, oldest first, as (id, reading JSON); the rows a batch replayed, deleted by
    // id; rows a pass could not replay, marked with it.
    std::string buildRejectIdBackfill(const std::string& table, const std::string& instance) const;
    std::string buildRejectReplaySelect(const std::string& table, const std::string& instance,
                                        const std::string& pass, size_t limit) const;
    std::string buildRejectDelete(const std::string& table, const std::string& instance,
                                  const std::vector<std::string>& ids) const;
    std::string buildRejectPassMark(const std::string& table, const std::string& instance,
                                    const std::string& pass,
                                    const std::vector<std::string>& ids) const;

protected:
    std::string tableName;
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> values;

private:
    // "INSERT INTO <table> (<columns>) VALUES " or empty when there is nothing to insert.
    std::string insertPrefix() const;
    std::string quotedList(const std::vector<std::string>& names) const;
};

#endif
