#include "delivery/statement_runner.h"

#include "client/error_classification.h"
#include "host/logger.h"
#include "sql/sql_builder.h"

namespace {
const char* const PROBE_STATEMENT = "SELECT 1";
}  // namespace

StatementRunner::StatementRunner(ODBCClient* odbcClient) : client(odbcClient) {}

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

bool StatementRunner::runRequest(const std::vector<std::string>& statements, size_t first,
                                 size_t count, Outcome& outcome) {
    ++requestCount;
    ++outcome.requests;
    RequestResult result;
    if (count == 1) {
        result = client->executeRequest(statements[first], 1, 0);
    } else {
        const std::string separator = sqlBuilder->getStatementSeparator();
        std::string text;
        for (size_t i = first; i < first + count; ++i) {
            if (i > first) {
                text += separator;
            }
            text += statements[i];
        }
        result = client->executeRequest(text, count, sqlBuilder->getMultiStatementCountAttribute());
    }
    outcome.completed += result.completed;
    for (QueryResult& rows : result.results) {
        outcome.results.push_back(std::move(rows));
    }
    if (!result.success) {
        outcome.error = client->lastError();
    }
    return result.success;
}

bool StatementRunner::findMode(Outcome& outcome) {
    if (mode != Mode::Unknown) {
        return true;
    }
    Outcome probe;
    if (runRequest({PROBE_STATEMENT, PROBE_STATEMENT}, 0, 2, probe) && probe.completed == 2) {
        mode = Mode::Several;
        return true;
    }
    if (classifyError(probe.error.sqlState, probe.error.nativeError, probe.error.message) ==
        ErrorClass::Connection) {
        outcome.error = probe.error;
        return false;
    }
    mode = Mode::One;
    Logger::getLogger()->info(
        "The database driver does not run several statements in one request: statements are "
        "sent one by one in this session");
    return true;
}

StatementRunner::Outcome StatementRunner::run(const std::vector<std::string>& statements) {
    Outcome outcome;
    if (statements.empty()) {
        outcome.success = true;
        return outcome;
    }
    if (!sqlBuilder) {
        outcome.error.message = "no SQL builder";
        return outcome;
    }
    if (statements.size() > 1 && !findMode(outcome)) {
        return outcome;
    }
    const std::string separator = sqlBuilder->getStatementSeparator();
    size_t next = 0;
    while (next < statements.size()) {
        size_t count = 1;
        if (mode == Mode::Several) {
            size_t bytes = statements[next].size();
            while (next + count < statements.size() && count < MAX_STATEMENTS_PER_REQUEST &&
                   bytes + separator.size() + statements[next + count].size() <=
                       MAX_REQUEST_BYTES) {
                bytes += separator.size() + statements[next + count].size();
                ++count;
            }
        }
        const size_t before = outcome.completed;
        if (!runRequest(statements, next, count, outcome)) {
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
