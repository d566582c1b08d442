#include "tests/odbc_driver/request_text.h"

#include <cctype>
#include <cstring>

namespace scripted {

namespace {

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$';
}

// Walks a text and tells for each byte whether it stands outside every literal, identifier
// and dollar-quoted string. `step` returns false to stop the walk.
template <typename Step>
void walk(const char* text, size_t length, Step step) {
    enum class In { CODE, LITERAL, IDENTIFIER, DOLLARS } in = In::CODE;
    for (size_t at = 0; at < length; ++at) {
        const char c = text[at];
        switch (in) {
            case In::CODE:
                if (c == '\'') {
                    in = In::LITERAL;
                } else if (c == '"') {
                    in = In::IDENTIFIER;
                } else if (c == '$' && at + 1 < length && text[at + 1] == '$') {
                    in = In::DOLLARS;
                    ++at;
                } else if (!step(at)) {
                    return;
                }
                break;
            case In::LITERAL:
                // '' inside a literal ends it and opens the next one at once: the same text.
                if (c == '\\') {
                    ++at;
                } else if (c == '\'') {
                    in = In::CODE;
                }
                break;
            case In::IDENTIFIER:
                if (c == '"') {
                    in = In::CODE;
                }
                break;
            case In::DOLLARS:
                if (c == '$' && at + 1 < length && text[at + 1] == '$') {
                    in = In::CODE;
                    ++at;
                }
                break;
        }
    }
}

std::string trimmed(const char* text, size_t length) {
    size_t begin = 0;
    while (begin < length && isSpace(text[begin])) {
        ++begin;
    }
    while (length > begin && isSpace(text[length - 1])) {
        --length;
    }
    return std::string(text + begin, length - begin);
}

bool keywordAt(const std::string& text, size_t at, const char* keyword) {
    const size_t size = std::strlen(keyword);
    if (at + size > text.size() || (at > 0 && isWordChar(text[at - 1])) ||
        (at + size < text.size() && isWordChar(text[at + size]))) {
        return false;
    }
    for (size_t i = 0; i < size; ++i) {
        if (std::toupper(static_cast<unsigned char>(text[at + i])) != keyword[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> splitRequest(const char* text, size_t length) {
    std::vector<std::string> statements;
    size_t start = 0;
    const auto cut = [&](size_t end) {
        std::string statement = trimmed(text + start, end - start);
        if (!statement.empty()) {
            statements.push_back(std::move(statement));
        }
        start = end + 1;
    };
    walk(text, length, [&](size_t at) {
        if (text[at] == ';') {
            cut(at);
        }
        return true;
    });
    if (start < length) {
        cut(length);
    }
    return statements;
}

size_t valuesRowCount(const std::string& statement) {
    const size_t first = statement.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || !keywordAt(statement, first, "INSERT")) {
        return 0;
    }
    bool inValues = false;
    int depth = 0;
    size_t rows = 0;
    walk(statement.data(), statement.size(), [&](size_t at) {
        const char c = statement[at];
        if (!inValues) {
            inValues = depth == 0 && keywordAt(statement, at, "VALUES");
            depth += c == '(' ? 1 : c == ')' ? -1 : 0;
            return true;
        }
        if (c == '(') {
            rows += depth == 0 ? 1 : 0;
            ++depth;
        } else if (c == ')') {
            --depth;
        }
        return true;
    });
    return rows;
}

}  // namespace scripted
