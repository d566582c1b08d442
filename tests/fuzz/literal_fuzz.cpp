// Fuzzes the Snowflake literal writers: every string literal that escapeString or formatValue
// writes must read back, under Snowflake's rules for single-quoted constants (doubled quotes
// and backslash escapes), as the value it was given, NUL bytes left out; every unquoted value
// must be a plain number or NULL, so that no value ever becomes SQL of its own; appendValue, which
// rows are rendered with, must write what formatValue returns.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sql/snowflake_sql_builder.h"

namespace {

// Column types as the schema cache holds them: created here (type and constraint clauses) or
// read back from the database and normalised.
const char* const TYPES[] = {"VARCHAR(256) NOT NULL",
                             "VARCHAR(256) NULL",
                             "TIMESTAMP_TZ",
                             "BIGINT NULL",
                             "REAL NULL",
                             "",
                             "varchar(256)",
                             "BIGINT",
                             "REAL"};
constexpr size_t TYPE_COUNT = sizeof(TYPES) / sizeof(TYPES[0]);

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads a Snowflake single-quoted string constant that must span the whole text. Returns false
// when the text is not exactly one such constant (it ends early or never ends).
bool readLiteral(const std::string& text, std::string& value) {
    if (text.size() < 2 || text.front() != '\'' || text.back() != '\'') {
        return false;
    }
    value.clear();
    size_t i = 1;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\'') {
            if (i + 1 < text.size() && text[i + 1] == '\'') {
                value += '\'';
                i += 2;
                continue;
            }
            return i == text.size() - 1;
        }
        if (c != '\\') {
            value += c;
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) {
            return false;
        }
        const char escaped = text[i + 1];
        i += 2;
        switch (escaped) {
            case 'n':
                value += '\n';
                break;
            case 't':
                value += '\t';
                break;
            case 'r':
                value += '\r';
                break;
            case 'b':
                value += '\b';
                break;
            case 'f':
                value += '\f';
                break;
            case '0':
                value += '\0';
                break;
            case 'x': {
                int high = i < text.size() ? hexDigit(text[i]) : -1;
                int low = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
                if (high < 0 || low < 0) {
                    return false;
                }
                value += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                // \\, \' and any other character stand for themselves.
                value += escaped;
                break;
        }
    }
    return false;
}

std::string withoutNul(const std::string& text) {
    std::string clean;
    for (char c : text) {
        if (c != '\0') {
            clean += c;
        }
    }
    return clean;
}

bool isPlainNumber(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.' &&
            c != 'e' && c != 'E') {
            return false;
        }
    }
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size();
}

bool isNullWord(const std::string& text) {
    if (text.size() != 4) {
        return false;
    }
    const char* word = "NULL";
    for (size_t i = 0; i < 4; ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != word[i]) {
            return false;
        }
    }
    return true;
}

void checkQuoted(const std::string& literal, const std::string& value) {
    std::string readBack;
    if (!readLiteral(literal, readBack) || readBack != withoutNul(value)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const SnowflakeSQLBuilder builder;
    if (size == 0) {
        return 0;
    }
    const char* type = TYPES[data[0] % TYPE_COUNT];
    const std::string value(reinterpret_cast<const char*>(data) + 1, size - 1);

    checkQuoted(builder.escapeString(value), value);

    const std::string formatted = builder.formatValue(value, type);
    if (!formatted.empty() && formatted.front() == '\'') {
        checkQuoted(formatted, value);
    } else if (isNullWord(formatted)) {
        // SQL NULL only for what carries no value: an empty text or the word null itself.
        if (!value.empty() && !isNullWord(value)) {
            std::abort();
        }
    } else if (formatted != value || !isPlainNumber(value)) {
        std::abort();
    }
    // Rows are written in place with the column's style: the same text, behind any other.
    std::string row = "(";
    builder.appendValue(row, value.data(), value.size(), builder.valueStyle(type));
    if (row.compare(1, std::string::npos, formatted) != 0) {
        std::abort();
    }
    return 0;
}
