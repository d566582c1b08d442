#include "delivery/batch_renderer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <tuple>

#include "host/logger.h"
#include "host/reading.h"
#include "mapping/reading_mapper.h"
#include "schema/schema_manager.h"
#include "sql/sql_builder.h"

namespace {

enum class ColumnKind { Integer, Float, Text, Other };

std::string upper(const std::string& text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return result;
}

ColumnKind kindOf(const std::string& type) {
    const std::string name = upper(type);
    if (name.find("TIMESTAMP") != std::string::npos) {
        return ColumnKind::Other;
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

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal literal split into its digits and the position of the point among them.
struct Decimal {
    bool negative = false;
    std::string digits;
    long long point = 0;
    bool hasFractionOrExponent = false;
};

bool parseDecimal(const std::string& text, Decimal& decimal) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        decimal.negative = text[i] == '-';
        ++i;
    }
    while (i < text.size() && isDigit(text[i])) {
        decimal.digits += text[i++];
    }
    decimal.point = static_cast<long long>(decimal.digits.size());
    if (i < text.size() && text[i] == '.') {
        decimal.hasFractionOrExponent = true;
        ++i;
        while (i < text.size() && isDigit(text[i])) {
            decimal.digits += text[i++];
        }
    }
    if (decimal.digits.empty()) {
        return false;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        decimal.hasFractionOrExponent = true;
        ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            negative = text[i] == '-';
            ++i;
        }
        long long exponent = 0;
        size_t exponentDigits = 0;
        while (i < text.size() && isDigit(text[i])) {
            exponent = std::min(exponent * 10 + (text[i++] - '0'), 1000000LL);
            ++exponentDigits;
        }
        if (exponentDigits == 0) {
            return false;
        }
        decimal.point += negative ? -exponent : exponent;
    }
    return i == text.size();
}

std::string conflictFor(const std::string& value, ColumnKind kind, const std::string& type,
                        int scale);

}  // namespace

BatchRenderer::BatchRenderer(SchemaManager& schema, ReadingMapper& readingMapper,
                             const SQLBuilder& sqlBuilder)
    : schemaManager(schema), mapper(readingMapper), builder(sqlBuilder) {}

size_t BatchRenderer::characterCount(const std::string& text) {
    size_t count = 0;
    for (unsigned char c : text) {
        count += (c & 0xC0) != 0x80;
    }
    return count;
}

std::string BatchRenderer::roundingConflict(const std::string& value, const std::string& type,
                                            int scale) {
    return conflictFor(value, kindOf(type), type, scale);
}

namespace {

// The same rule with the column's kind worked out once per table, not once per value.
std::string conflictFor(const std::string& value, ColumnKind kind, const std::string& type,
                        int scale) {
    if (kind != ColumnKind::Integer && kind != ColumnKind::Float) {
        return std::string();
    }
    // Most values settle without being taken apart: a number without a point or exponent is
    // whole, and a float column holds every whole number of up to 15 digits exactly.
    const bool plain = value.find_first_of(".eE") == std::string::npos;
    if (kind == ColumnKind::Integer ? plain : (!plain || value.size() <= 15)) {
        return std::string();
    }
    Decimal decimal;
    if (!parseDecimal(value, decimal)) {
        return std::string();
    }
    if (kind == ColumnKind::Integer) {
        // Any non-zero digit beyond the column's scale is lost.
        const long long kept = decimal.point + std::max(scale, 0);
        for (size_t i = 0; i < decimal.digits.size(); ++i) {
            if (static_cast<long long>(i) >= kept && decimal.digits[i] != '0') {
                return scale > 0
                           ? "the value " + value + " has more than " + std::to_string(scale) +
                                 " digits after the point and a column of type " + type +
                                 " would round it"
                           : "the value " + value + " is not a whole number and a column of type " +
                                 type + " would round it";
            }
        }
        return std::string();
    }
    if (decimal.hasFractionOrExponent) {
        return std::string();
    }
    // A whole number: a double holds every one up to 2^53 exactly, and beyond only some.
    const size_t start = decimal.digits.find_first_not_of('0');
    if (start == std::string::npos || decimal.digits.size() - start <= 15) {
        return std::string();
    }
    const std::string digits = decimal.digits.substr(start);
    const double number = std::strtod(digits.c_str(), nullptr);
    char exact[400];
    std::snprintf(exact, sizeof(exact), "%.0f", number);
    if (digits == exact) {
        return std::string();
    }
    return "the whole number " + value + " is not exactly a double and a column of type " + type +
           " would round it";
}

}  // namespace

bool BatchRenderer::render(TableBatch& table, const std::map<const Reading*, Reject>& diverted,
                           RenderedTable& rendered, std::vector<Reject>& rejects) {
    rendered = RenderedTable();
    rendered.batch = &table;
    if (table.refused) {
        for (const GroupedReading& entry : table.readings) {
            rejects.push_back(Reject{table.name, entry.reading, table.refusal});
        }
        return true;
    }
    const SchemaManager::TableSchema schema = schemaManager.getCachedSchema(table.name);
    if (schema.empty()) {
        return false;
    }
    std::vector<std::string> columnNames;
    columnNames.reserve(schema.size());
    std::vector<const std::string*> columnTypes;
    std::vector<ColumnKind> kinds;
    std::vector<size_t> lengths;
    std::vector<int> scales;
    for (const auto& entry : schema) {
        columnNames.push_back(std::get<0>(entry));
    }
    // A name cached twice takes the type of its first entry.
    for (size_t i = 0; i < schema.size(); ++i) {
        size_t first = i;
        for (size_t j = 0; j < i; ++j) {
            if (columnNames[j] == columnNames[i]) {
                first = j;
                break;
            }
        }
        columnTypes.push_back(&std::get<1>(schema[first]));
        kinds.push_back(kindOf(*columnTypes.back()));
        lengths.push_back(schemaManager.columnLength(table.name, columnNames[i]));
        scales.push_back(schemaManager.columnScale(table.name, columnNames[i]));
    }
    Logger::getLogger()->debug("Using cached schema for table %s: %zu columns", table.name.c_str(),
                               columnNames.size());
    rendered.prefix = builder.buildInsertPrefix(table.name, columnNames);
    rendered.rows.reserve(table.readings.size());

    DatabaseRecord record;
    std::vector<std::string> values;
    bool inTableOrder = false;
    bool carriesRefused = false;
    for (const GroupedReading& entry : table.readings) {
        if (diverted.count(entry.reading)) {
            continue;
        }
        mapper.mapReadingInto(entry.reading, table.name, true, record);
        if (!entry.sameColumnsAsPrevious) {
            inTableOrder = record.columnNameList() == columnNames;
            carriesRefused = false;
            for (const std::string& column : record.columnNameList()) {
                if (table.refusedColumns.count(column)) {
                    carriesRefused = true;
                }
            }
        }
        if (carriesRefused) {
            for (const std::string& column : record.columnNameList()) {
                auto refused = table.refusedColumns.find(column);
                if (refused != table.refusedColumns.end()) {
                    rejects.push_back(Reject{table.name, entry.reading, refused->second});
                    break;
                }
            }
            continue;
        }
        values.clear();
        std::string conflict;
        const size_t rowIndex = rendered.rows.size();
        const size_t longBefore = rendered.longTexts.size();
        const size_t fractionsBefore = rendered.fractions.size();
        for (size_t i = 0; i < columnNames.size() && conflict.empty(); ++i) {
            const std::string* value =
                inTableOrder ? &record.valueList()[i] : record.findValue(columnNames[i]);
            if (!value) {
                values.emplace_back("NULL");
                continue;
            }
            if (kinds[i] == ColumnKind::Text) {
                const size_t limit = lengths[i] ? lengths[i] : ASSUMED_TEXT_LENGTH;
                if (value->size() > limit) {
                    const size_t characters = characterCount(*value);
                    if (characters > builder.getMaxVarcharLength()) {
                        conflict = "a text of " + std::to_string(characters) +
                                   " characters is longer than the longest text column (" +
                                   std::to_string(builder.getMaxVarcharLength()) + ") for '" +
                                   columnNames[i] + "'";
                    } else if (characters > limit) {
                        rendered.longTexts.push_back({rowIndex, columnNames[i], characters});
                    }
                }
            } else if (kinds[i] == ColumnKind::Integer || kinds[i] == ColumnKind::Float) {
                conflict = conflictFor(*value, kinds[i], *columnTypes[i], std::max(scales[i], 0));
                if (!conflict.empty() && kinds[i] == ColumnKind::Integer && scales[i] < 0) {
                    // A column the plugin did not make may keep digits after the point.
                    rendered.fractions.push_back({rowIndex, columnNames[i], *value});
                    conflict.clear();
                } else if (!conflict.empty()) {
                    conflict = "type conflict in column '" + columnNames[i] + "': " + conflict;
                }
            }
            values.push_back(builder.formatValue(*value, *columnTypes[i]));
        }
        if (!conflict.empty()) {
            rendered.longTexts.resize(longBefore);
            rendered.fractions.resize(fractionsBefore);
            rejects.push_back(Reject{table.name, entry.reading, StatementError{"", 0, conflict}});
            continue;
        }
        rendered.rows.push_back(Row{entry.reading, SQLBuilder::buildRowTuple(values)});
    }
    return true;
}
