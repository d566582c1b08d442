#include "delivery/batch_renderer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <string_view>
#include <tuple>

#include "host/logger.h"
#include "host/reading.h"
#include "mapping/reading_mapper.h"
#include "mapping/row_reader.h"
#include "schema/schema_manager.h"
#include "sql/sql_builder.h"

namespace {

using ColumnKind = SQLBuilder::ColumnKind;

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

bool parseDecimal(std::string_view text, Decimal& decimal) {
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

std::string conflictFor(std::string_view value, ColumnKind kind, const std::string& type,
                        int scale);

// A NUMBER holds at most this many digits; a FLOAT's largest value has this many before the point.
constexpr long long MAX_NUMBER_DIGITS = 38;
constexpr long long MAX_DOUBLE_DIGITS = 309;
// Longer values are cut in a refusal's message: the reject keeps the whole reading anyway.
constexpr size_t QUOTED_VALUE_BYTES = 100;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool equalsIgnoreCase(std::string_view text, const char* word) {
    size_t i = 0;
    for (; word[i] != '\0'; ++i) {
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != word[i]) {
            return false;
        }
    }
    return i == text.size();
}

// The words a FLOAT column reads as its special values, after an optional sign.
bool isSpecialFloat(std::string_view text) {
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        text.remove_prefix(1);
    }
    return equalsIgnoreCase(text, "nan") || equalsIgnoreCase(text, "inf") ||
           equalsIgnoreCase(text, "infinity");
}

// The value as a refusal's message quotes it: cut, never inside a UTF-8 sequence.
std::string quotedValue(std::string_view value) {
    if (value.size() <= QUOTED_VALUE_BYTES) {
        return std::string(value);
    }
    size_t cut = QUOTED_VALUE_BYTES;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return std::string(value.substr(0, cut)) + "...";
}

// Reads a decimal literal: [+-] digits [. digits] [(e|E) [+-] digits], with a digit on at least
// one side of the point. `magnitude` is the number of digits before the point once the exponent
// is applied, leading zeros aside (so 1 for 5, 3 for 1.5e2, -1 for 0.05), and very small for 0.
// Runs for every value of a numeric column, so it reads in place.
bool readNumber(std::string_view text, long long& magnitude) {
    constexpr long long ZERO = -(1LL << 40);
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    long long whole = 0;  // significant digits before the point
    size_t digits = 0;
    for (; i < text.size() && isDigit(text[i]); ++i, ++digits) {
        whole += whole > 0 || text[i] != '0' ? 1 : 0;
    }
    long long zerosAfterPoint = 0;  // before the first significant digit, when whole is 0
    bool significant = whole > 0;
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && isDigit(text[i]); ++i, ++digits) {
            if (!significant && text[i] == '0') {
                ++zerosAfterPoint;
            } else {
                significant = true;
            }
        }
    }
    if (digits == 0) {
        return false;
    }
    long long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            negative = text[i] == '-';
            ++i;
        }
        size_t exponentDigits = 0;
        for (; i < text.size() && isDigit(text[i]); ++i, ++exponentDigits) {
            exponent = std::min(exponent * 10 + (text[i] - '0'), 1000000LL);
        }
        if (exponentDigits == 0) {
            return false;
        }
        exponent = negative ? -exponent : exponent;
    }
    if (i != text.size()) {
        return false;
    }
    magnitude = !significant ? ZERO : (whole > 0 ? whole : -zerosAfterPoint) + exponent;
    return true;
}

// A refusal the plugin foresaw, in Snowflake's own words (its codes 100038, 100039 and 100035),
// so that a reject reads the same whoever found it; no SQLSTATE, as the database said nothing.
bool refuse(const std::string& message, StatementError& refusal) {
    refusal = StatementError{"", 0, message};
    refusal.errorClass = ErrorClass::Data;
    return true;
}

// Whether a column of that kind would refuse the value for certain, and with what (in
// `refusal`). Only what no reading of Snowflake's rules lets through counts: anything in doubt
// goes to the database, which has the last word. Runs for every value of a batch.
bool foreseenRefusal(std::string_view value, ColumnKind kind, int scale, StatementError& refusal) {
    if (kind == ColumnKind::Timestamp) {
        // Every form a timestamp is read in has digits.
        if (value.empty() || std::any_of(value.begin(), value.end(), isDigit)) {
            return false;
        }
        return refuse("Timestamp '" + quotedValue(value) + "' is not recognized", refusal);
    }
    if (kind != ColumnKind::Integer && kind != ColumnKind::Float) {
        return false;
    }
    // An empty value and the word NULL are written as NULL.
    const std::string_view number = trimmed(value);
    if (number.empty() || equalsIgnoreCase(number, "null") ||
        (kind == ColumnKind::Float && isSpecialFloat(number))) {
        return false;
    }
    long long magnitude = 0;
    if (!readNumber(number, magnitude)) {
        return refuse("Numeric value '" + quotedValue(value) + "' is not recognized", refusal);
    }
    const bool tooLarge = kind == ColumnKind::Integer
                              ? magnitude > MAX_NUMBER_DIGITS - std::max(scale, 0)
                              : magnitude > MAX_DOUBLE_DIGITS ||
                                    (magnitude == MAX_DOUBLE_DIGITS &&
                                     std::isinf(std::strtod(std::string(number).c_str(), nullptr)));
    return tooLarge &&
           refuse("Numeric value '" + quotedValue(value) + "' is out of range", refusal);
}

size_t countCharacters(std::string_view text) {
    size_t count = 0;
    for (unsigned char c : text) {
        count += (c & 0xC0) != 0x80;
    }
    return count;
}

}  // namespace

BatchRenderer::BatchRenderer(SchemaManager& schema, ReadingMapper& readingMapper,
                             const SQLBuilder& sqlBuilder, size_t maxRowsPerInsert,
                             size_t maxInsertBytes)
    : schemaManager(schema),
      mapper(readingMapper),
      builder(sqlBuilder),
      maxRows(maxRowsPerInsert),
      maxBytes(maxInsertBytes) {}

size_t BatchRenderer::characterCount(const std::string& text) {
    return countCharacters(text);
}

std::string BatchRenderer::roundingConflict(const std::string& value, const std::string& type,
                                            int scale) {
    return conflictFor(value, SQLBuilder::kindOf(type), type, scale);
}

StatementError BatchRenderer::refusalFor(const std::string& value, const std::string& type,
                                         int scale) {
    StatementError refusal;
    foreseenRefusal(value, SQLBuilder::kindOf(type), scale, refusal);
    return refusal;
}

namespace {

// The same rule with the column's kind worked out once per table, not once per value.
std::string conflictFor(std::string_view value, ColumnKind kind, const std::string& type,
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
                const std::string text(value);
                return scale > 0
                           ? "the value " + text + " has more than " + std::to_string(scale) +
                                 " digits after the point and a column of type " + type +
                                 " would round it"
                           : "the value " + text + " is not a whole number and a column of type " +
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
    return "the whole number " + std::string(value) +
           " is not exactly a double and a column of type " + type + " would round it";
}

}  // namespace

namespace {

// What a row needs to know of each of its table's columns, worked out once per table and batch.
struct Columns {
    std::vector<std::string> names;
    std::vector<const std::string*> types;
    std::vector<ColumnKind> kinds;
    std::vector<SQLBuilder::ValueStyle> styles;
    std::vector<size_t> lengths;
    std::vector<int> scales;
    // VARIANT columns, whose values are written as JSON text and parsed by the statement.
    std::vector<bool> variant;
    bool anyVariant = false;
};

Columns columnsOf(const std::string& table, const SchemaManager::TableSchema& schema,
                  const SchemaManager& schemaManager, const SQLBuilder& builder) {
    Columns columns;
    columns.names.reserve(schema.size());
    for (const auto& entry : schema) {
        columns.names.push_back(std::get<0>(entry));
    }
    // A name cached twice takes the type of its first entry.
    for (size_t i = 0; i < schema.size(); ++i) {
        size_t first = i;
        for (size_t j = 0; j < i; ++j) {
            if (columns.names[j] == columns.names[i]) {
                first = j;
                break;
            }
        }
        columns.types.push_back(&std::get<1>(schema[first]));
        const SQLBuilder::ColumnShape shape = builder.columnShape(*columns.types.back());
        columns.kinds.push_back(shape.kind);
        columns.styles.push_back(shape.style);
        columns.lengths.push_back(schemaManager.columnLength(table, columns.names[i]));
        columns.scales.push_back(schemaManager.columnScale(table, columns.names[i]));
        columns.variant.push_back(shape.kind == ColumnKind::Variant);
        columns.anyVariant = columns.anyVariant || columns.variant.back();
    }
    return columns;
}

// No datapoint gives the column a value.
constexpr int NO_SOURCE = std::numeric_limits<int>::min();

// Where the values of a table's columns come from for readings of one set of datapoint names.
struct Layout {
    std::vector<std::string> names;  // of the reading's row
    std::vector<int> sources;        // of the reading's row
    std::vector<int> columns;        // per table column: its source, or NO_SOURCE
    size_t unnamed = 0;
    // The first column the database refused to add that the row carries, with its answer, or
    // null.
    const std::pair<const std::string, StatementError>* refusedColumn = nullptr;
};

void layOut(const Reading& reading, const RowReader& reader, const Columns& columns,
            const TableBatch& table, Layout& layout) {
    reader.readColumns(reading, layout.names, layout.sources, layout.unnamed);
    layout.columns.assign(columns.names.size(), NO_SOURCE);
    for (size_t i = 0; i < columns.names.size(); ++i) {
        const auto found = std::find(layout.names.begin(), layout.names.end(), columns.names[i]);
        if (found != layout.names.end()) {
            layout.columns[i] = layout.sources[static_cast<size_t>(found - layout.names.begin())];
        }
    }
    layout.refusedColumn = nullptr;
    for (const std::string& column : layout.names) {
        auto refused = table.refusedColumns.find(column);
        if (refused != table.refusedColumns.end()) {
            layout.refusedColumn = &*refused;
            break;
        }
    }
}

std::string typeConflictCause(const std::string& column, const std::string& declared) {
    // The type alone, without the constraint the plugin declares it with.
    std::string type = declared.substr(0, declared.find(" NOT NULL"));
    type = type.substr(0, type.find(" NULL"));
    return "type conflict in column '" + column + "' of type " + type +
           " (a column made with integerType REAL takes fractions; an existing column has to be "
           "made again by hand with a type that takes these values, and the readings replayed "
           "with replayRejects)";
}

std::string unreadableValueCause(const std::string& column, const std::string& declared) {
    std::string type = declared.substr(0, declared.find(" NOT NULL"));
    type = type.substr(0, type.find(" NULL"));
    return "type conflict in column '" + column + "' of type " + type +
           ": a value it cannot read (an existing column has to be made again by hand with a type "
           "that takes these values, and the readings replayed with replayRejects)";
}

// What the rows of one table are rendered from, and where what they need is noted.
struct RowContext {
    const Layout& layout;
    const Columns& columns;
    RowReader& reader;
    const SQLBuilder& builder;
    BatchRenderer::RenderedTable& rendered;
};

// Why a row cannot land as it is (empty when it can), the reason it shares with others, and the
// database's answer when it is known beforehand.
struct RowRefusal {
    std::string conflict;
    std::string cause;
    StatementError foreseen;
};

// Why a text for column `i` cannot land at all, or empty; a text longer than its column is noted
// so that the column is lengthened before the transaction.
std::string checkText(std::string_view value, size_t i, const RowContext& context,
                      std::string& cause) {
    const Columns& columns = context.columns;
    const std::string& column = columns.names[i];
    const size_t length = columns.lengths[i];
    const size_t maxLength = context.builder.getMaxVarcharLength();
    const size_t limit = length ? length : BatchRenderer::ASSUMED_TEXT_LENGTH;
    if (value.size() <= limit) {
        return std::string();
    }
    const size_t characters = countCharacters(value);
    if (characters > maxLength) {
        cause = "text longer than the longest text column for '" + column + "'";
        return "a text of " + std::to_string(characters) +
               " characters is longer than the longest text column (" + std::to_string(maxLength) +
               ") for '" + column + "'";
    }
    if (characters > limit) {
        context.rendered.longTexts.push_back({context.rendered.rows.size(), column, characters});
    }
    return std::string();
}

// Renders a reading's values in the table's column order as the row "(v1, v2, ...)" at the end
// of `out`; says why the row cannot land as it is, or nothing (then `out` holds a part of it).
RowRefusal renderRow(const Reading& reading, const RowContext& context, std::string& out) {
    const Layout& layout = context.layout;
    const Columns& columns = context.columns;
    BatchRenderer::RenderedTable& rendered = context.rendered;
    const size_t row = rendered.rows.size();
    const size_t longBefore = rendered.longTexts.size();
    const size_t fractionsBefore = rendered.fractions.size();
    RowRefusal refused;
    SQLBuilder::appendRowStart(out);
    for (size_t i = 0; i < columns.names.size() && refused.conflict.empty(); ++i) {
        if (i > 0) {
            SQLBuilder::appendValueSeparator(out);
        }
        const int source = layout.columns[i];
        if (source == NO_SOURCE) {
            out.append("NULL", 4);
            continue;
        }
        if (columns.variant[i]) {
            // Any value is JSON to such a column; the database says whether it parses.
            const std::string& json = context.reader.jsonOf(reading, source);
            context.builder.appendValue(out, json.data(), json.size(), columns.styles[i]);
            continue;
        }
        refused.conflict =
            context.reader.withValue(reading, source, [&](const char* text, size_t size) {
                const std::string_view value(text, size);
                const std::string& name = columns.names[i];
                const ColumnKind kind = columns.kinds[i];
                std::string refusal;
                if (kind != ColumnKind::Text &&
                    foreseenRefusal(value, kind, columns.scales[i], refused.foreseen)) {
                    refused.cause = unreadableValueCause(name, *columns.types[i]);
                    return refused.foreseen.message;
                }
                if (kind == ColumnKind::Text) {
                    refusal = checkText(value, i, context, refused.cause);
                } else if (kind == ColumnKind::Integer || kind == ColumnKind::Float) {
                    const int scale = columns.scales[i];
                    refusal = conflictFor(value, kind, *columns.types[i], std::max(scale, 0));
                    if (!refusal.empty() && kind == ColumnKind::Integer && scale < 0) {
                        // A column the plugin did not make may keep digits after the point.
                        rendered.fractions.push_back({row, name, std::string(value)});
                        refusal.clear();
                    } else if (!refusal.empty()) {
                        refusal = "type conflict in column '" + name + "': " + refusal;
                        refused.cause = typeConflictCause(name, *columns.types[i]);
                    }
                }
                if (refusal.empty()) {
                    context.builder.appendValue(out, text, size, columns.styles[i]);
                }
                return refusal;
            });
    }
    if (!refused.conflict.empty()) {
        rendered.longTexts.resize(longBefore);
        rendered.fractions.resize(fractionsBefore);
        return refused;
    }
    SQLBuilder::appendRowEnd(out);
    return refused;
}

// The readings of one table lie apart in memory when assets take turns in a batch: those a few
// rows ahead are fetched while this one is rendered, a reading first, then its list, then its
// datapoints, each step from what the one before brought in.
void fetchAhead(const GroupedReading* entry, const GroupedReading* end) {
    constexpr ptrdiff_t READING = 12;
    constexpr ptrdiff_t LIST = 8;
    constexpr ptrdiff_t DATAPOINTS = 4;
    const ptrdiff_t left = end - entry;
    if (left > READING) {
        __builtin_prefetch(entry[READING].reading);
    }
    if (left > LIST) {
        __builtin_prefetch(entry[LIST].reading->getReadingData().data());
    }
    if (left > DATAPOINTS) {
        for (const Datapoint* datapoint : entry[DATAPOINTS].reading->getReadingData()) {
            __builtin_prefetch(datapoint);
        }
    }
}

}  // namespace

bool BatchRenderer::render(TableBatch& table, const std::map<const Reading*, Reject>& diverted,
                           RenderedTable& rendered, std::vector<Reject>& rejects,
                           RequestText& text) {
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
    const Columns columns = columnsOf(table.name, schema, schemaManager, builder);
    Logger::getLogger()->debug("Using cached schema for table %s: %zu columns", table.name.c_str(),
                               columns.names.size());
    if (columns.anyVariant) {
        rendered.prefix =
            builder.buildInsertSelectPrefix(table.name, columns.names, columns.variant);
        rendered.suffix = SQLBuilder::buildInsertSelectSuffix(columns.names.size());
    } else {
        rendered.prefix = builder.buildInsertPrefix(table.name, columns.names);
    }
    rendered.rows.reserve(table.readings.size());

    RowReader reader(mapper);
    Layout layout;
    const RowContext context{layout, columns, reader, builder, rendered};
    // The reading the layout was worked out for, or its successors of the same columns.
    const GroupedReading* laidOut = nullptr;
    text.beginInsert(rendered.prefix, maxRows, maxBytes, rendered.suffix);
    const GroupedReading* const end = table.readings.data() + table.readings.size();
    for (const GroupedReading& entry : table.readings) {
        fetchAhead(&entry, end);
        if (diverted.count(entry.reading)) {
            continue;
        }
        if (!entry.sameColumnsAsPrevious || laidOut != &entry - 1) {
            layOut(*entry.reading, reader, columns, table, layout);
        }
        laidOut = &entry;
        for (size_t i = 0; i < layout.unnamed; ++i) {
            Logger::getLogger()->warn("Datapoint without a name left out of a row for table '%s'",
                                      table.name.c_str());
        }
        if (layout.refusedColumn) {
            rejects.push_back(
                Reject{table.name, entry.reading, layout.refusedColumn->second,
                       "the database refused to add column '" + layout.refusedColumn->first + "'"});
            continue;
        }
        std::string& out = text.beginRow();
        const size_t rowStart = out.size();
        const size_t longBefore = rendered.longTexts.size();
        const size_t fractionsBefore = rendered.fractions.size();
        RowRefusal refused = renderRow(*entry.reading, context, out);
        std::string& conflict = refused.conflict;
        std::string& cause = refused.cause;
        StatementError& foreseen = refused.foreseen;
        const size_t rowBytes =
            rendered.prefix.size() + (out.size() - rowStart) + rendered.suffix.size();
        if (conflict.empty() && rowBytes > maxBytes) {
            // An INSERT of this row alone is more than a request may carry: no resend of the
            // batch could ever deliver it.
            rendered.longTexts.resize(longBefore);
            rendered.fractions.resize(fractionsBefore);
            conflict = "the row takes " + std::to_string(rowBytes) +
                       " bytes of statement text, more than one request may carry (" +
                       std::to_string(maxBytes) + ")";
            cause = "row longer than one request may carry";
        }
        if (!conflict.empty()) {
            text.dropRow();
            rejects.push_back(Reject{table.name, entry.reading,
                                     foreseen.message.empty()
                                         ? StatementError{"", 0, std::move(conflict)}
                                         : std::move(foreseen),
                                     std::move(cause)});
            continue;
        }
        rendered.rows.push_back(Row{entry.reading, text.endRow()});
    }
    text.endInsert();
    return true;
}
