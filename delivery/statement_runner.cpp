#include "delivery/statement_runner.h"

#include <utility>

#include "client/error_classification.h"
#include "host/logger.h"
#include "sql/sql_builder.h"

namespace {

const char* const PROBE_STATEMENT = "SELECT 1";

bool connectionLost(const StatementError& error) {
    return error.errorClass == ErrorClass::Connection;
}

}  // namespace

StatementRunner::StatementRunner(ODBCClient* odbcClient)
    : client(odbcClient), text(MAX_REQUEST_BYTES, MAX_STATEMENTS_PER_REQUEST) {}

void StatementRunner::setSQLBuilder(const SQLBuilder* builder) {
    sqlBuilder = builder;
}

void StatementRunner::resetSession() {
    mode = Mode::Unknown;
}

size_t StatementRunner::takeRequestCount() {
    const size_t count = requestCount;
    requestCount = 0;
    return count;
}

bool StatementRunner::runRequest(const char* requestText, size_t length, size_t count,
                                 Results results, Outcome& outcome) {
    ++requestCount;
    ++outcome.requests;
    RequestResult result = client->executeRequest(
        requestText, length, count, count == 1 ? 0 : sqlBuilder->getMultiStatementCountAttribute(),
        results);
    outcome.completed += result.completed;
    for (QueryResult& rows : result.results) {
        outcome.results.push_back(std::move(rows));
    }
    if (!result.success) {
        outcome.error = client->lastError();
    }
    return result.success;
}

bool StatementRunner::probe(Outcome& outcome) {
    const std::string request =
        std::string(PROBE_STATEMENT) + sqlBuilder->getStatementSeparator() + PROBE_STATEMENT;
    // Both results are read: a driver that silently runs only the first statement shows here.
    return runRequest(request.data(), request.size(), 2, Results::Read, outcome) &&
           outcome.completed == 2;
}

bool StatementRunner::findMode(Outcome& outcome) {
    if (mode != Mode::Unknown) {
        return true;
    }
    Outcome first;
    if (probe(first)) {
        mode = Mode::Several;
        return true;
    }
    if (connectionLost(first.error)) {
        outcome.error = first.error;
        return false;
    }
    // Some driver versions do not pass the statement attribute on; the session setting takes
    // its place.
    const std::string setting = sqlBuilder->getMultiStatementCountAttribute() != 0
                                    ? sqlBuilder->buildMultiStatementSession()
                                    : std::string();
    if (!setting.empty()) {
        Outcome set;
        Outcome second;
        const bool settingTaken = runRequest(setting.data(), setting.size(), 1, Results::Skip, set);
        if (settingTaken && probe(second)) {
            mode = Mode::Several;
            Logger::getLogger()->info(
                "The database driver does not pass on the statement count of a request: several "
                "statements per request are allowed for the session instead");
            return true;
        }
        const StatementError& error = settingTaken ? second.error : set.error;
        if (connectionLost(error)) {
            outcome.error = error;
            return false;
        }
    }
    mode = Mode::One;
    Logger::getLogger()->info(
        "The database driver does not run several statements in one request: statements are "
        "sent one by one in this session");
    return true;
}

bool StatementRunner::findMode(StatementError& error) {
    Outcome outcome;
    if (!sqlBuilder) {
        error.message = "no SQL builder";
        return false;
    }
    if (!findMode(outcome)) {
        error = outcome.error;
        return false;
    }
    return true;
}

StatementRunner::Outcome StatementRunner::run(const std::vector<std::string>& statements,
                                              Results results) {
    if (!sqlBuilder) {
        Outcome outcome;
        outcome.success = statements.empty();
        if (!outcome.success) {
            outcome.error.message = "no SQL builder";
        }
        return outcome;
    }
    RequestText requests(MAX_REQUEST_BYTES, MAX_STATEMENTS_PER_REQUEST);
    requests.reset(sqlBuilder->getStatementSeparator(), SQLBuilder::rowSeparator());
    for (const std::string& statement : statements) {
        requests.add(statement);
    }
    return run(requests, 0, requests.statementCount(), results);
}

StatementRunner::Outcome StatementRunner::run(const RequestText& requests, size_t first,
                                              size_t last) {
    return run(requests, first, last, Results::Skip);
}

StatementRunner::Outcome StatementRunner::run(const RequestText& requests, size_t first,
                                              size_t last, Results results) {
    Outcome outcome;
    if (first >= last) {
        outcome.success = true;
        return outcome;
    }
    if (!sqlBuilder) {
        outcome.error.message = "no SQL builder";
        return outcome;
    }
    if (last - first > 1 && !findMode(outcome)) {
        return outcome;
    }
    size_t next = first;
    while (next < last) {
        size_t count = 1;
        if (mode == Mode::Several) {
            const size_t request = requests.statement(next).request;
            while (next + count < last && requests.statement(next + count).request == request) {
                ++count;
            }
        }
        // Statements of one request follow each other in its text, separators included.
        const char* begin = requests.data(next);
        const char* end = requests.data(next + count - 1) + requests.length(next + count - 1);
        const size_t before = outcome.completed;
        if (!runRequest(begin, static_cast<size_t>(end - begin), count, results, outcome)) {
            // Where the driver told which statement failed, that one; else any not completed.
            outcome.suspects = outcome.completed == before ? count : 1;
            return outcome;
        }
        // A driver that ends a request early without an error still leaves statements unrun.
        if (outcome.completed != before + count) {
            outcome.completed = before;
            outcome.suspects = count;
            outcome.error.message = "the request ran fewer statements than it holds";
            return outcome;
        }
        next += count;
    }
    outcome.success = true;
    return outcome;
}
