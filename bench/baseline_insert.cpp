#include "bench/baseline_insert.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "connector/odbc_connector.h"
#include "host/reading.h"

namespace bench {

namespace {

// A row never comes near this; it only bounds the reserve.
constexpr size_t MAX_ROW_BYTES = 64 * 1024;

// Snowflake string literal: quotes doubled, backslashes doubled, NUL bytes left out.
void appendLiteral(std::string& out, const char* text, size_t length) {
    out += '\'';
    size_t run = 0;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c != '\'' && c != '\\' && c != '\0') {
            continue;
        }
        out.append(text + run, i - run);
        if (c != '\0') {
            out += c;
            out += c;
        }
        run = i + 1;
    }
    out.append(text + run, length - run);
    out += '\'';
}

void appendLiteral(std::string& out, const std::string& text) {
    appendLiteral(out, text.data(), text.size());
}

void appendTimestamp(std::string& out, const std::string& time) {
    appendLiteral(out, time);
    out.insert(out.size() - 1, "+00:00");
}

// Identifier between double quotes, inner double quotes doubled.
void appendIdentifier(std::string& out, const std::string& name) {
    out += '"';
    for (char c : name) {
        out += c;
        if (c == '"') {
            out += c;
        }
    }
    out += '"';
}

void appendInteger(std::string& out, int64_t value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    out.append(digits, end);
}

// Six decimals when they read back as the same double, else the shortest text that does.
void appendDouble(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char digits[330];
    char* const limit = digits + sizeof(digits);
    auto fixed = std::to_chars(digits, limit, value, std::chars_format::fixed, 6);
    double back = 0.0;
    auto parsed = std::from_chars(digits, fixed.ptr, back);
    if (parsed.ptr == fixed.ptr && back == value) {
        out.append(digits, fixed.ptr);
        return;
    }
    out.append(digits, std::to_chars(digits, limit, value).ptr);
}

void appendValue(std::string& out, const DatapointValue& value) {
    switch (value.getType()) {
        case DatapointValue::T_STRING:
            appendLiteral(out, value.toStringValue());
            break;
        case DatapointValue::T_INTEGER:
            appendInteger(out, value.toInt());
            break;
        case DatapointValue::T_FLOAT:
            appendDouble(out, value.toDouble());
            break;
        default:
            out += "null";
            break;
    }
}

void appendRow(std::string& out, const Reading& reading, const std::string& instanceName) {
    out += '(';
    appendLiteral(out, reading.getAssetName());
    out += ", ";
    appendTimestamp(out, reading.getAssetDateUserTime(0, true));
    out += ", ";
    appendTimestamp(out, reading.getAssetDateTime(0, true));
    out += ", ";
    appendLiteral(out, instanceName);
    for (const Datapoint* datapoint : reading.getReadingData()) {
        out += ", ";
        appendValue(out, datapoint->getData());
    }
    out += ')';
}

void appendPrefix(std::string& out, const Reading& reading) {
    out += "INSERT INTO ";
    appendIdentifier(out, reading.getAssetName());
    out += " (\"asset_code\", \"user_ts\", \"ts\", \"tolvane\"";
    for (const Datapoint* datapoint : reading.getReadingData()) {
        out += ", ";
        appendIdentifier(out, datapoint->getName());
    }
    out += ") VALUES ";
}

}  // namespace

size_t baselineBufferCapacity() {
    return ODBCConnector::MAX_INSERT_BYTES + MAX_ROW_BYTES;
}

void writeBaselineInserts(const std::vector<Reading*>& readings, const std::string& instanceName,
                          std::string& buffer, const std::function<void(std::string_view)>& sink) {
    // The tables in byte order, each written in one pass over the batch.
    std::vector<const std::string*> tables;
    for (const Reading* reading : readings) {
        const std::string& asset = reading->getAssetName();
        if (std::none_of(tables.begin(), tables.end(),
                         [&asset](const std::string* table) { return *table == asset; })) {
            tables.push_back(&asset);
        }
    }
    std::sort(tables.begin(), tables.end(),
              [](const std::string* a, const std::string* b) { return *a < *b; });

    for (const std::string* table : tables) {
        buffer.clear();
        size_t prefixBytes = 0;
        size_t rows = 0;
        for (const Reading* reading : readings) {
            if (reading->getAssetName() != *table) {
                continue;
            }
            if (prefixBytes == 0) {
                appendPrefix(buffer, *reading);
                prefixBytes = buffer.size();
            }
            // Written in place; a row that overflows the statement moves to the next one.
            const size_t rowStart = buffer.size();
            if (rows > 0) {
                buffer += ", ";
            }
            appendRow(buffer, *reading, instanceName);
            if (rows > 0 && (rows >= ODBCConnector::MAX_ROWS_PER_INSERT ||
                             buffer.size() > ODBCConnector::MAX_INSERT_BYTES)) {
                sink(std::string_view(buffer.data(), rowStart));
                buffer.erase(prefixBytes, rowStart + 2 - prefixBytes);
                rows = 0;
            }
            ++rows;
        }
        if (rows > 0) {
            sink(buffer);
        }
    }
}

}  // namespace bench
