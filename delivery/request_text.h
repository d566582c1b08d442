#ifndef DELIVERY_REQUEST_TEXT_H
#define DELIVERY_REQUEST_TEXT_H

#include <cstddef>
#include <string>
#include <vector>

// The statements of a batch laid out in the requests that will carry them, so that each is
// written once, in place: rows are rendered straight into the text of their request. A request
// holds at most `maxRequestBytes` of text (separators included) and `maxStatements`
// statements; a statement that outgrows the room left in its request moves whole to the next
// one. The texts keep their memory from one batch to the next.
class RequestText {
public:
    struct Statement {
        size_t request;
        size_t begin;  // in the request's text
        size_t end;
    };
    // Where a row of an INSERT ended up: its statement, and its text from `begin` to `end`
    // (the row separator before it excluded), counted from the statement's beginning.
    struct Row {
        size_t statement;
        size_t begin;
        size_t end;
    };

    RequestText(size_t maxRequestBytes, size_t maxStatements);

    // Empties the text, keeping its memory; `separator` goes between two statements of a
    // request, `rowSeparator` between two rows of an INSERT.
    void reset(const std::string& separator, const std::string& rowSeparator);
    // Appends a whole statement.
    void add(const std::string& statement);

    // An INSERT whose rows are written in place. Each statement starts with `prefix`, ends with
    // `suffix` and holds at most `maxRows` rows and `maxStatementBytes` of text, both included;
    // a row beyond either starts the next statement.
    void beginInsert(const std::string& prefix, size_t maxRows, size_t maxStatementBytes,
                     const std::string& suffix = std::string());
    // The text to append the next row to (its separator already written).
    std::string& beginRow();
    // Takes the row begun last back.
    void dropRow();
    // Applies the limits to the row begun last and tells where it ended up.
    Row endRow();
    void endInsert();

    size_t statementCount() const { return statements.size(); }
    const Statement& statement(size_t index) const { return statements[index]; }
    size_t requestCount() const { return used; }
    const std::string& request(size_t index) const { return requests[index]; }
    const char* data(size_t statement) const {
        return requests[statements[statement].request].data() + statements[statement].begin;
    }
    size_t length(size_t statement) const {
        return statements[statement].end - statements[statement].begin;
    }
    // The text of rows first..last of one statement (contiguous, row separators included).
    std::string rowsText(const Row& first, const Row& last) const;

private:
    // Starts a statement with `start` in the current request, or in a new one when it is full.
    void open(const char* start, size_t length);
    void newRequest();
    // Moves the open statement to a new request when its request grew beyond the limit.
    void keepWithinRequest();
    // Ends the open statement of an INSERT with its suffix.
    void closeInsertStatement();

    size_t maxRequestBytes;
    size_t maxStatements;
    std::string separator;
    std::string rowSeparator;
    std::vector<std::string> requests;  // [0, used) hold this batch's text
    size_t used = 0;
    // Statements in the current request.
    size_t inRequest = 0;
    std::vector<Statement> statements;

    // The INSERT being written.
    const std::string* prefix = nullptr;
    std::string suffix;
    size_t maxRows = 0;
    size_t maxStatementBytes = 0;
    bool statementOpen = false;
    size_t rowsInStatement = 0;
    size_t rowStart = 0;   // where the row begun last starts, its separator included
    size_t rowValues = 0;  // where its own text starts
    std::string movedRow;
};

#endif
