#include "mapping/reading_mapper.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "host/logger.h"
#include "host/reading.h"
#include "mapping/name_limit.h"
#include "mapping/table_groups.h"
#include "mapping/value_json.h"
#include "sql/sql_builder.h"

namespace {

// Beyond this many columns a record keeps a name index.
constexpr size_t WIDE_ROW_COLUMNS = 32;

const char* const DEFAULT_INSTANCE_NAME = "tolvaneInstance";
const char* const UTC_OFFSET = "+00:00";

// Table and column names become identifiers in statements sent as NUL-terminated text, where a
// NUL byte would cut the statement short and fail every resend of the batch.
std::string withoutNul(const std::string& name) {
    std::string cleaned;
    cleaned.reserve(name.size());
    for (char c : name) {
        if (c != '\0') {
            cleaned.push_back(c);
        }
    }
    return cleaned;
}

// Snowflake's numbers hold at most this many digits: a longer literal is not read as written.
constexpr size_t MAX_NUMBER_DIGITS = 38;

size_t digitCount(const char* begin, const char* end) {
    return static_cast<size_t>(
        std::count_if(begin, end, [](char c) { return c >= '0' && c <= '9'; }));
}

// "%f" text (fixed, six decimals) when it reads back as the same double and has at most
// MAX_NUMBER_DIGITS digits, otherwise the shortest text that reads back, so that small or very
// precise values are not rounded away and large ones are written in exponent form.
std::string formatDouble(double number) {
    if (!std::isfinite(number)) {
        return "null";
    }
    // The widest fixed text of a double: sign, 309 integer digits, point, six decimals.
    char buffer[330];
    char* const end = buffer + sizeof(buffer);
    auto fixed = std::to_chars(buffer, end, number, std::chars_format::fixed, 6);
    if (fixed.ec == std::errc() && digitCount(buffer, fixed.ptr) <= MAX_NUMBER_DIGITS) {
        double back = 0.0;
        auto parsed = std::from_chars(buffer, fixed.ptr, back);
        if (parsed.ec == std::errc() && parsed.ptr == fixed.ptr && back == number) {
            return std::string(buffer, fixed.ptr);
        }
    }
    auto shortest = std::to_chars(buffer, end, number);
    return std::string(buffer, shortest.ptr);
}

// A JSON array of the numbers, each in the shortest text that reads back as the same double;
// JSON has no NaN or infinity, so those become null.
std::string formatFloatArray(const std::vector<double>& numbers) {
    std::string text;
    // Most numbers of a spectrum take a few characters; the text grows when they do not.
    text.reserve(2 + numbers.size() * 8);
    text += '[';
    char buffer[32];
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0) {
            text += ',';
        }
        if (std::isfinite(numbers[i])) {
            auto written = std::to_chars(buffer, buffer + sizeof(buffer), numbers[i]);
            text.append(buffer, written.ptr);
        } else {
            text += "null";
        }
    }
    text += ']';
    return text;
}

}  // namespace

DatabaseRecord::DatabaseRecord() = default;

DatabaseRecord::DatabaseRecord(const std::string& tableName) : tableName(tableName) {}

DatabaseRecord::DatabaseRecord(DatabaseRecord&& other) noexcept
    : tableName(std::move(other.tableName)),
      columnNames(std::move(other.columnNames)),
      values(std::move(other.values)),
      sqlTypes(std::move(other.sqlTypes)),
      constraints(std::move(other.constraints)),
      wideIndex(std::move(other.wideIndex)) {
    // A moved-from standard container is only "valid"; a moved-from record must be empty.
    other.clear();
}

DatabaseRecord& DatabaseRecord::operator=(DatabaseRecord&& other) noexcept {
    if (this != &other) {
        clear();
        tableName = std::move(other.tableName);
        columnNames = std::move(other.columnNames);
        values = std::move(other.values);
        sqlTypes = std::move(other.sqlTypes);
        constraints = std::move(other.constraints);
        wideIndex = std::move(other.wideIndex);
        other.clear();
    }
    return *this;
}

DatabaseRecord::~DatabaseRecord() = default;

void DatabaseRecord::setTableName(const std::string& name) {
    tableName = name;
}

void DatabaseRecord::addColumn(const std::string& name, const std::string& value,
                               const std::string& sqlType, ColumnConstraint constraint) {
    putColumn(name, std::string(value), std::string(sqlType), constraint, true);
}

void DatabaseRecord::addColumn(const std::string& name, const std::string& value,
                               const std::string& sqlType) {
    putColumn(name, std::string(value), std::string(sqlType), NONE, false);
}

void DatabaseRecord::reserveColumns(size_t count) {
    columnNames.reserve(count);
    values.reserve(count);
    sqlTypes.reserve(count);
    constraints.reserve(count);
}

size_t DatabaseRecord::positionOf(const std::string& name) const {
    if (!wideIndex.empty()) {
        auto it = wideIndex.find(name);
        return it == wideIndex.end() ? std::string::npos : it->second;
    }
    for (size_t i = 0; i < columnNames.size(); ++i) {
        if (columnNames[i] == name) {
            return i;
        }
    }
    return std::string::npos;
}

void DatabaseRecord::beginRefill() {
    refilling = true;
    refilled = 0;
}

void DatabaseRecord::endRefill() {
    if (refilling) {
        truncate(refilled);
        refilling = false;
    }
}

void DatabaseRecord::truncate(size_t count) {
    if (count >= columnNames.size()) {
        return;
    }
    columnNames.resize(count);
    values.resize(count);
    sqlTypes.resize(count);
    constraints.resize(count);
    rebuildIndex();
}

void DatabaseRecord::rebuildIndex() {
    wideIndex.clear();
    if (columnNames.size() > WIDE_ROW_COLUMNS) {
        for (size_t i = 0; i < columnNames.size(); ++i) {
            wideIndex.emplace(columnNames[i], i);
        }
    }
}

void DatabaseRecord::putColumn(const std::string& name, std::string&& value, std::string&& sqlType,
                               ColumnConstraint constraint, bool replaceConstraint) {
    if (refilling) {
        // The names before this position are the old row's, which were distinct, and this one
        // is the old name of this position: it cannot repeat any of them.
        if (refilled < columnNames.size() && columnNames[refilled] == name) {
            values[refilled] = std::move(value);
            sqlTypes[refilled] = std::move(sqlType);
            constraints[refilled] = constraint;
            ++refilled;
            return;
        }
        truncate(refilled);
        refilling = false;
    }
    const size_t position = positionOf(name);
    if (position != std::string::npos) {
        values[position] = std::move(value);
        sqlTypes[position] = std::move(sqlType);
        if (replaceConstraint) {
            constraints[position] = constraint;
        }
        return;
    }
    columnNames.push_back(name);
    values.push_back(std::move(value));
    sqlTypes.push_back(std::move(sqlType));
    constraints.push_back(constraint);
    if (!wideIndex.empty()) {
        wideIndex.emplace(name, columnNames.size() - 1);
    } else if (columnNames.size() > WIDE_ROW_COLUMNS) {
        rebuildIndex();
    }
}

void DatabaseRecord::clear() {
    tableName.clear();
    columnNames.clear();
    values.clear();
    sqlTypes.clear();
    constraints.clear();
    wideIndex.clear();
    refilling = false;
    refilled = 0;
}

std::string DatabaseRecord::getTableName() const {
    return tableName;
}

std::vector<std::string> DatabaseRecord::getColumnNames() const {
    return columnNames;
}

std::vector<std::string> DatabaseRecord::getValues() const {
    return values;
}

std::string DatabaseRecord::getValue(const std::string& name) const {
    const std::string* value = findValue(name);
    return value ? *value : std::string();
}

std::string DatabaseRecord::getSQLType(const std::string& name) const {
    const size_t position = positionOf(name);
    return position == std::string::npos ? std::string() : sqlTypes[position];
}

ColumnConstraint DatabaseRecord::getConstraints(const std::string& name) const {
    const size_t position = positionOf(name);
    return position == std::string::npos ? NONE : constraints[position];
}

bool DatabaseRecord::hasColumn(const std::string& name) const {
    return positionOf(name) != std::string::npos;
}

const std::string* DatabaseRecord::findValue(const std::string& name) const {
    const size_t position = positionOf(name);
    return position == std::string::npos ? nullptr : &values[position];
}

ReadingMapper::ReadingMapper() : instanceName(DEFAULT_INSTANCE_NAME), sqlBuilder(nullptr) {}

ReadingMapper::ReadingMapper(const std::string& instanceName)
    : instanceName(instanceName), sqlBuilder(nullptr) {}

ReadingMapper::ReadingMapper(const std::string& instanceName, SQLBuilder* sqlBuilder)
    : instanceName(instanceName), sqlBuilder(sqlBuilder) {}

ReadingMapper::~ReadingMapper() = default;

void ReadingMapper::setTolvaneInstance(const std::string& name) {
    instanceName = name;
}

std::string ReadingMapper::getTolvaneInstance() const {
    return instanceName;
}

void ReadingMapper::setSQLBuilder(SQLBuilder* builder) {
    sqlBuilder = builder;
}

SQLBuilder* ReadingMapper::getSQLBuilder() const {
    return sqlBuilder;
}

std::string ReadingMapper::getHintName() const {
    return sqlBuilder ? sqlBuilder->getHintName() : std::string();
}

bool ReadingMapper::shouldSkipDatapoint(const std::string& name) const {
    return sqlBuilder && name == sqlBuilder->getHintName();
}

void ReadingMapper::setIdentifierCase(IdentifierCase newCase) {
    identifierCase = newCase;
}

std::string ReadingMapper::identifierFor(const std::string& name) const {
    std::string cased;
    return identifierFor(name, cased);
}

const std::string& ReadingMapper::identifierFor(const std::string& name, std::string& cased) const {
    if (identifierCase == IdentifierCase::AS_SENT) {
        return name;
    }
    // ASCII only, whatever the locale: the same name must give the same table on every
    // gateway, and only these letters make names that need no quotes.
    cased = name;
    for (char& c : cased) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return cased;
}

std::string ReadingMapper::tableNameFor(const Reading* reading) {
    std::string table = extractTableName(reading);
    std::string cased;
    const std::string& name = identifierFor(table, cased);
    return &name == &table ? table : cased;
}

std::string ReadingMapper::datapointValueToString(const DatapointValue& value) {
    switch (static_cast<int>(value.getType())) {
        case DatapointValue::T_STRING:
            return value.toStringValue();
        case DatapointValue::T_INTEGER: {
            char buffer[24];
            auto result = std::to_chars(buffer, buffer + sizeof(buffer), value.toInt());
            return std::string(buffer, result.ptr);
        }
        case DatapointValue::T_FLOAT:
            return formatDouble(value.toDouble());
        case DatapointValue::T_FLOAT_ARRAY:
            return formatFloatArray(value.getFloatArray());
        case DatapointValue::T_DP_DICT:
        case DatapointValue::T_DP_LIST:
            return value.toString();
        case DatapointValue::T_IMAGE:
        case DatapointValue::T_DATABUFFER:
            Logger::getLogger()->info(
                "Image and databuffer datapoint types not supported - using null value");
            return "null";
        default:
            return "null";
    }
}

std::string ReadingMapper::shortenName(const std::string& name) {
    constexpr size_t MAX_WARNED = 1000;
    std::string shortened = NameLimit::shorten(name);
    if (shortenedNames.size() < MAX_WARNED && shortenedNames.insert(shortened).second) {
        Logger::getLogger()->warn(
            "A name of %zu bytes is longer than the %zu characters the database takes: it is "
            "written as '%s'",
            name.size(), NameLimit::MAX_CHARACTERS, shortened.c_str());
    }
    return shortened;
}

std::string ReadingMapper::datapointValueToJSON(const DatapointValue& value) {
    rapidjson::StringBuffer buffer;
    JSONWriter writer(buffer);
    writeValueJSON(writer, value, OpaqueValues::AS_NULL);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string ReadingMapper::textToJSON(const char* text, size_t length) {
    rapidjson::StringBuffer buffer;
    JSONWriter writer(buffer);
    writer.String(text, static_cast<rapidjson::SizeType>(length), true);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string ReadingMapper::extractTableName(const Reading* reading) {
    std::string table = routedTableName(reading);
    return NameLimit::exceeded(table) ? shortenName(table) : table;
}

std::string ReadingMapper::routedTableName(const Reading* reading) {
    if (!reading) {
        return std::string();
    }
    std::string result = reading->getAssetName();
    if (result.find('\0') != std::string::npos) {
        result = withoutNul(result);
    }
    if (!sqlBuilder) {
        return result;
    }
    const std::string hintName = sqlBuilder->getHintName();
    const Datapoint* hint = reading->getDatapoint(hintName);
    if (!hint) {
        return result;
    }
    Logger::getLogger()->debug("Processing %s hint datapoint", hintName.c_str());

    const std::string raw = hint->getData().toString();
    std::string text;
    text.reserve(raw.size());
    for (char c : raw) {
        if (c != '\\') {
            text.push_back(c);
        }
    }
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text.pop_back();
        text.erase(0, 1);
    }

    // A hint longer than any table name needs is refused before parsing; its debug line quotes
    // only its start.
    if (text.size() > MAX_HINT_BYTES) {
        text.resize(MAX_HINT_BYTES);
        Logger::getLogger()->debug("Invalid hint JSON format: %s...", text.c_str());
        return result;
    }
    // The iterative parser keeps its nesting on the heap: hints come from data sources nobody
    // controls, and the recursive one would overflow the host's stack on deeply nested brackets.
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    // The parser takes a NUL byte for the end of its input; in JSON text it is never valid.
    if (document.HasParseError() || text.find('\0') != std::string::npos) {
        Logger::getLogger()->debug("Invalid hint JSON format: %s", text.c_str());
        return result;
    }
    if (document.IsObject()) {
        auto member = document.FindMember("tablename");
        // The empty name names no table: the reading keeps its asset's, as with every other
        // hint the plugin cannot use, instead of having nowhere to go.
        if (member != document.MemberEnd() && member->value.IsString() &&
            member->value.GetString()[0] != '\0') {
            result = member->value.GetString();
        }
    }
    return result;
}

DatabaseRecord ReadingMapper::mapReadingToRecord(const Reading* reading) {
    if (!reading) {
        Logger::getLogger()->error("Cannot process null reading - skipping");
        return DatabaseRecord();
    }
    if (!sqlBuilder) {
        Logger::getLogger()->error("Cannot map reading: no SQL builder set");
        return DatabaseRecord();
    }
    DatabaseRecord record;
    mapReadingInto(reading, tableNameFor(reading), true, record);
    return record;
}

void ReadingMapper::mapReadingInto(const Reading* reading, const std::string& tableName,
                                   bool withValues, DatabaseRecord& record) {
    if (!reading || !sqlBuilder) {
        record.clear();
        return;
    }
    record.tableName = tableName;
    record.beginRefill();
    // The reading is not changed while it is mapped, so its list is walked in place.
    const std::vector<Datapoint*>& datapoints = reading->getReadingData();
    record.reserveColumns(4 + datapoints.size());

    std::string asset;
    std::string userTime;
    std::string systemTime;
    std::string instance;
    if (withValues) {
        asset = reading->getAssetName();
        userTime = reading->getAssetDateUserTime(0, true);
        userTime += UTC_OFFSET;
        systemTime = reading->getAssetDateTime(0, true);
        systemTime += UTC_OFFSET;
        instance = instanceName;
    }
    static const std::string ASSET_CODE("asset_code");
    static const std::string USER_TS("user_ts");
    static const std::string TS("ts");
    static const std::string TOLVANE("tolvane");
    std::string cased;
    record.putColumn(identifierFor(ASSET_CODE, cased), std::move(asset),
                     sqlBuilder->getStringType(), NOT_NULL, true);
    record.putColumn(identifierFor(USER_TS, cased), std::move(userTime),
                     sqlBuilder->getTimestampType(), NONE, true);
    record.putColumn(identifierFor(TS, cased), std::move(systemTime),
                     sqlBuilder->getTimestampType(), NONE, true);
    record.putColumn(identifierFor(TOLVANE, cased), std::move(instance),
                     sqlBuilder->getStringType(), NONE, true);

    for (const Datapoint* datapoint : datapoints) {
        if (!datapoint) {
            continue;
        }
        const std::string* name = &datapoint->getName();
        std::string cleanedName;
        if (name->find('\0') != std::string::npos) {
            cleanedName = withoutNul(*name);
            name = &cleanedName;
        }
        std::string shortenedName;
        if (NameLimit::exceeded(*name)) {
            shortenedName = shortenName(*name);
            name = &shortenedName;
        }
        if (name->empty()) {
            // No database takes an empty column name; the rest of the row still lands.
            if (withValues) {
                Logger::getLogger()->warn(
                    "Datapoint without a name left out of a row for table '%s'", tableName.c_str());
            }
            continue;
        }
        if (shouldSkipDatapoint(*name)) {
            continue;
        }
        const DatapointValue& value = datapoint->getData();
        std::string sqlType = sqlBuilder->toSQLTypeString(static_cast<int>(value.getType()));
        record.putColumn(identifierFor(*name, cased),
                         withValues ? datapointValueToString(value) : std::string(),
                         std::move(sqlType), NULLABLE, true);
    }
    record.endRefill();
}

std::vector<DatabaseRecord> ReadingMapper::mapReadingsToRecords(
    const std::vector<Reading*>& readings) {
    std::vector<DatabaseRecord> records;
    records.reserve(readings.size());
    for (const Reading* reading : readings) {
        if (!reading) {
            continue;
        }
        DatabaseRecord record = mapReadingToRecord(reading);
        if (record.tableName.empty()) {
            continue;
        }
        records.push_back(std::move(record));
    }
    return records;
}

std::map<std::string, std::vector<DatabaseRecord>> ReadingMapper::groupRecordsByTable(
    std::vector<DatabaseRecord>& records) {
    TableGroups<std::vector<DatabaseRecord>> groups;
    for (DatabaseRecord& record : records) {
        if (record.tableName.empty()) {
            continue;
        }
        groups.groupFor(record.tableName).push_back(std::move(record));
    }
    return groups.take();
}
