#ifndef MAPPING_READING_MAPPER_H
#define MAPPING_READING_MAPPER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sql/column_constraint.h"

class Reading;
class DatapointValue;
class SQLBuilder;

// One row bound for one table. Move-only: rows travel from mapping to grouping to insertion
// without ever being copied.
class DatabaseRecord {
public:
    DatabaseRecord();
    explicit DatabaseRecord(const std::string& tableName);
    DatabaseRecord(DatabaseRecord&& other) noexcept;
    DatabaseRecord& operator=(DatabaseRecord&& other) noexcept;
    DatabaseRecord(const DatabaseRecord&) = delete;
    DatabaseRecord& operator=(const DatabaseRecord&) = delete;
    ~DatabaseRecord();

    void setTableName(const std::string& tableName);
    void addColumn(const std::string& name, const std::string& value, const std::string& sqlType,
                   ColumnConstraint constraint);
    void addColumn(const std::string& name, const std::string& value, const std::string& sqlType);
    void clear();

    std::string getTableName() const;
    std::vector<std::string> getColumnNames() const;
    std::vector<std::string> getValues() const;
    std::string getValue(const std::string& name) const;
    std::string getSQLType(const std::string& name) const;
    ColumnConstraint getConstraints(const std::string& name) const;
    bool hasColumn(const std::string& name) const;

    // Allocation-free views for hot paths: the columns in insertion order and a value by name
    // (null when the record has no such column).
    const std::vector<std::string>& columnNameList() const { return columnNames; }
    const std::string* findValue(const std::string& name) const;

private:
    // The mapper builds each row once and hands its freshly rendered texts over by move.
    friend class ReadingMapper;
    void reserveColumns(size_t count);
    // Position of the column of that name, or npos.
    size_t positionOf(const std::string& name) const;
    // Refilling: the mapper writes each row of a batch into one record, and consecutive rows
    // nearly always have the same columns. Between these two calls a column added under the name
    // it had at that position before takes over that position's storage without a search for
    // duplicates; at the first other name the old columns from there on are dropped and adding
    // goes on as usual. endRefill drops old columns that were not reached.
    void beginRefill();
    void endRefill();
    void truncate(size_t count);
    // The name index, kept only for rows wider than a linear search suits.
    void rebuildIndex();
    void putColumn(const std::string& name, std::string&& value, std::string&& sqlType,
                   ColumnConstraint constraint, bool replaceConstraint);

    std::string tableName;
    std::vector<std::string> columnNames;
    std::vector<std::string> values;
    std::vector<std::string> sqlTypes;
    std::vector<ColumnConstraint> constraints;
    // Name lookup for wide rows only. A row of a few dozen columns is searched in place, which
    // is faster than any index and allocates nothing.
    std::unordered_map<std::string, size_t> wideIndex;
    bool refilling = false;
    size_t refilled = 0;
};

// Turns readings into rows and groups the rows by target table.
class ReadingMapper {
public:
    // How the names of the tables and columns made for readings are written in the database.
    enum class IdentifierCase { AS_SENT, UPPER };

    ReadingMapper();
    explicit ReadingMapper(const std::string& instanceName);
    ReadingMapper(const std::string& instanceName, SQLBuilder* sqlBuilder);
    ~ReadingMapper();

    void setTolvaneInstance(const std::string& name);
    std::string getTolvaneInstance() const;
    void setSQLBuilder(SQLBuilder* builder);
    SQLBuilder* getSQLBuilder() const;
    std::string getHintName() const;
    bool shouldSkipDatapoint(const std::string& name) const;

    void setIdentifierCase(IdentifierCase identifierCase);
    // The name a table or column made for readings has in the database: the one place where
    // the identifier case applies, to table names, the four standard columns and datapoint
    // columns alike. With UPPER the letters a-z become A-Z, as Snowflake stores unquoted names;
    // other characters stay as they are.
    std::string identifierFor(const std::string& name) const;
    // The same without a copy when the name stays as it is: `name` itself, or `cased` holding
    // the name in case.
    const std::string& identifierFor(const std::string& name, std::string& cased) const;
    // The table of a reading as the database names it: extractTableName's, in case.
    std::string tableNameFor(const Reading* reading);

    std::string datapointValueToString(const DatapointValue& value);
    // The value as JSON, for a column that holds JSON: text as a JSON string, nested values as
    // objects and arrays, NaN and infinities as null, images and data buffers as null.
    static std::string datapointValueToJSON(const DatapointValue& value);
    static std::string textToJSON(const char* text, size_t length);
    // A hint's text, once cleaned, may be this long at most: room for a table name of any length
    // a database allows, written with escapes, and a few other members.
    static constexpr size_t MAX_HINT_BYTES = 4096;
    std::string extractTableName(const Reading* reading);
    DatabaseRecord mapReadingToRecord(const Reading* reading);
    // The row of a reading bound for `tableName` (as tableNameFor gives it), written into
    // `record`, whose storage is reused. Without values only the columns' names, SQL types and
    // constraints are filled in, which is all that schema work reads; the values stay empty and
    // are not rendered. A null reading or a missing builder leaves the record empty.
    void mapReadingInto(const Reading* reading, const std::string& tableName, bool withValues,
                        DatabaseRecord& record);
    std::vector<DatabaseRecord> mapReadingsToRecords(const std::vector<Reading*>& readings);
    std::map<std::string, std::vector<DatabaseRecord>> groupRecordsByTable(
        std::vector<DatabaseRecord>& records);
    // A table or column name too long for the database, shortened (NameLimit); a warning the
    // first time this mapper shortens it.
    std::string shortenName(const std::string& name);

private:
    std::string routedTableName(const Reading* reading);

    std::string instanceName;
    SQLBuilder* sqlBuilder;
    // The shortened names warned about; a few only, so that a stream of new names costs no
    // memory beyond them.
    std::set<std::string> shortenedNames;
    IdentifierCase identifierCase = IdentifierCase::AS_SENT;
};

#endif
