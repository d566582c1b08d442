#ifndef DELIVERY_STATEMENT_RUNNER_H
#define DELIVERY_STATEMENT_RUNNER_H

#include <cstddef>
#include <string>
#include <vector>

#include "client/odbc_client.h"
#include "delivery/request_text.h"

class SQLBuilder;

// Sends statements to the database in as few requests as the driver allows: several statements
// per request where the driver runs them (each request within MAX_REQUEST_BYTES of text and
// MAX_STATEMENTS_PER_REQUEST statements), one by one where it does not. Whether it does is
// found once per session.
class StatementRunner {
public:
    // Snowflake advises statements of at most about 1 MB; a request of several statements is
    // kept within the same bound.
    static constexpr size_t MAX_REQUEST_BYTES = 1024 * 1024;
    static constexpr size_t MAX_STATEMENTS_PER_REQUEST = 1000;

    struct Outcome {
        bool success = false;
        // Statements that succeeded, from the first; on failure the next one failed (or, when
        // the driver could not say which, a later one did).
        size_t completed = 0;
        std::vector<QueryResult> results;  // of the completed statements
        StatementError error;
        size_t requests = 0;
        // On failure: how many statements the failed request held from `completed` on. Some
        // drivers fail a request of several statements as a whole, so any of them may be the
        // one refused.
        size_t suspects = 0;
    };

    explicit StatementRunner(ODBCClient* client);

    void setSQLBuilder(const SQLBuilder* builder);
    // A new session: whether it runs several statements per request is found again.
    void resetSession();
    // With Results::Read the outcome holds the rows of every statement; look-ups ask for them,
    // writes do not, so that a successful write costs its requests and nothing more.
    Outcome run(const std::vector<std::string>& statements, Results results = Results::Skip);
    // Runs statements [first, last) of the text, whose results nobody reads: in the requests it
    // laid them out in where the driver runs several statements per request, one by one where
    // it does not.
    Outcome run(const RequestText& text, size_t first, size_t last);
    // Whether the session runs several statements per request, asked once per session; false
    // with `error` set when asking failed on the connection.
    bool findMode(StatementError& error);
    bool severalPerRequest() const { return mode == Mode::Several; }
    // The text a batch is rendered into, kept with its memory from one batch to the next.
    RequestText& batchText() { return text; }
    // Requests sent since the counter was last taken.
    size_t takeRequestCount();

private:
    enum class Mode { Unknown, Several, One };

    // Asks the driver to run a request of two statements; false when the session failed.
    bool findMode(Outcome& outcome);
    // A request of two trivial statements; true when the driver ran both.
    bool probe(Outcome& outcome);
    bool runRequest(const char* text, size_t length, size_t count, Results results,
                    Outcome& outcome);
    Outcome run(const RequestText& text, size_t first, size_t last, Results results);

    ODBCClient* client;
    const SQLBuilder* sqlBuilder = nullptr;
    Mode mode = Mode::Unknown;
    size_t requestCount = 0;
    RequestText text;
};

#endif
