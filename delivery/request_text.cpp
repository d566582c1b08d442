#include "delivery/request_text.h"

namespace {
constexpr size_t ROW_ROOM = 64 * 1024;
}  // namespace

RequestText::RequestText(size_t requestBytes, size_t statementsPerRequest)
    : maxRequestBytes(requestBytes), maxStatements(statementsPerRequest) {}

void RequestText::reset(const std::string& statementSeparator,
                        const std::string& insertRowSeparator) {
    separator = statementSeparator;
    rowSeparator = insertRowSeparator;
    for (size_t i = 0; i < used; ++i) {
        requests[i].clear();
    }
    used = 0;
    inRequest = 0;
    statements.clear();
    prefix = nullptr;
    statementOpen = false;
}

void RequestText::newRequest() {
    if (used == requests.size()) {
        requests.emplace_back();
        // A request of a large batch fills up to the limit: one allocation instead of a doubling
        // series, kept for the next batch, with room for the row that goes past the limit before
        // its statement moves on.
        requests.back().reserve(maxRequestBytes + ROW_ROOM);
    }
    requests[used].clear();
    ++used;
    inRequest = 0;
}

void RequestText::open(const char* start, size_t length) {
    if (used == 0 || inRequest >= maxStatements ||
        (inRequest > 0 &&
         requests[used - 1].size() + separator.size() + length > maxRequestBytes)) {
        newRequest();
    }
    std::string& text = requests[used - 1];
    if (inRequest > 0) {
        text += separator;
    }
    const size_t begin = text.size();
    text.append(start, length);
    statements.push_back(Statement{used - 1, begin, text.size()});
    ++inRequest;
}

void RequestText::add(const std::string& statement) {
    open(statement.data(), statement.size());
}

void RequestText::beginInsert(const std::string& insertPrefix, size_t rows, size_t bytes,
                              const std::string& insertSuffix) {
    prefix = &insertPrefix;
    suffix = insertSuffix;
    maxRows = rows;
    maxStatementBytes = bytes;
    statementOpen = false;
}

std::string& RequestText::beginRow() {
    if (!statementOpen) {
        open(prefix->data(), prefix->size());
        statementOpen = true;
        rowsInStatement = 0;
    }
    const Statement& open = statements.back();
    std::string& text = requests[open.request];
    rowStart = text.size() - open.begin;
    if (rowsInStatement > 0) {
        text += rowSeparator;
    }
    rowValues = text.size() - open.begin;
    return text;
}

void RequestText::dropRow() {
    Statement& open = statements.back();
    std::string& text = requests[open.request];
    if (rowsInStatement > 0) {
        text.resize(open.begin + rowStart);
        return;
    }
    // A statement without rows is no statement: it goes, and the separator before it.
    text.resize(inRequest > 1 ? open.begin - separator.size() : open.begin);
    statements.pop_back();
    statementOpen = false;
    --inRequest;
    if (inRequest == 0 && used > 1) {
        // It had a request of its own: the one before is the current one again.
        --used;
        for (size_t i = statements.size(); i > 0 && statements[i - 1].request == used - 1; --i) {
            ++inRequest;
        }
    }
}

void RequestText::keepWithinRequest() {
    Statement& open = statements.back();
    // The suffix is still to come.
    if (requests[open.request].size() + suffix.size() <= maxRequestBytes || inRequest == 1) {
        return;
    }
    // Whole statements only: this one moves, the separator before it stays behind no more.
    const size_t from = open.request;
    const size_t begin = open.begin;
    newRequest();
    std::string& source = requests[from];
    requests[used - 1].append(source, begin, std::string::npos);
    source.resize(begin - separator.size());
    open.request = used - 1;
    open.begin = 0;
    open.end = requests[used - 1].size();
    inRequest = 1;
}

RequestText::Row RequestText::endRow() {
    Statement* open = &statements.back();
    std::string* text = &requests[open->request];
    const size_t length = text->size() - open->begin;
    if (rowsInStatement > 0 &&
        (rowsInStatement >= maxRows || length + suffix.size() > maxStatementBytes)) {
        // The row starts the next statement.
        movedRow.assign(*text, open->begin + rowValues, std::string::npos);
        text->resize(open->begin + rowStart);
        closeInsertStatement();
        this->open(prefix->data(), prefix->size());
        rowsInStatement = 0;
        open = &statements.back();
        text = &requests[open->request];
        rowStart = text->size() - open->begin;
        rowValues = rowStart;
        text->append(movedRow);
    }
    keepWithinRequest();
    open = &statements.back();
    open->end = requests[open->request].size();
    ++rowsInStatement;
    return Row{statements.size() - 1, rowValues, open->end - open->begin};
}

void RequestText::closeInsertStatement() {
    Statement& open = statements.back();
    std::string& text = requests[open.request];
    text += suffix;
    open.end = text.size();
}

void RequestText::endInsert() {
    if (statementOpen) {
        closeInsertStatement();
    }
    statementOpen = false;
    prefix = nullptr;
    suffix.clear();
}

std::string RequestText::rowsText(const Row& first, const Row& last) const {
    const char* text = data(first.statement);
    return std::string(text + first.begin, last.end - first.begin);
}
