#include "delivery/lost_requests.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "delivery/delivery_ledger.h"
#include "delivery/statement_runner.h"
#include "host/logger.h"
#include "sql/sql_builder.h"

namespace {

// Session ids are numbers; anything else is not one the plugin writes into a statement.
bool isSessionId(const std::string& text) {
    return !text.empty() && text.size() <= 20 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The single value of a one-row, one-column result, or empty.
std::string singleValue(const StatementRunner::Outcome& outcome) {
    if (!outcome.success || outcome.results.empty()) {
        return "";
    }
    const auto& rows = outcome.results.back().rows;
    return rows.size() == 1 && rows.front().size() == 1 ? rows.front().front() : "";
}

void logFailure(const char* what, const std::string& session, const StatementError& error) {
    Logger::getLogger()->error(
        "Cannot settle the requests of database session %s whose answer was lost: %s "
        "(SQLSTATE %s, native error %d: %s); the batch waits and is sent again",
        session.c_str(), what, error.sqlState.c_str(), static_cast<int>(error.nativeError),
        error.message.c_str());
}

}  // namespace

void LostRequests::sessionStarted(bool useTableKeyword) {
    current.clear();
    identified = false;
    tableKeyword = useTableKeyword;
}

void LostRequests::identify(StatementRunner& runner, const SQLBuilder& builder) {
    if (identified) {
        return;
    }
    identified = true;
    const StatementRunner::Outcome outcome =
        runner.run({builder.buildCurrentSession()}, Results::Read);
    const std::string id = singleValue(outcome);
    if (isSessionId(id)) {
        current = id;
        return;
    }
    Logger::getLogger()->warn(
        "Cannot read the database session's id (SQLSTATE %s, native error %d: %s): a request "
        "of this session whose answer is lost is looked for in the user's query history",
        outcome.error.sqlState.c_str(), static_cast<int>(outcome.error.nativeError),
        outcome.error.message.c_str());
}

void LostRequests::reset() {
    unsettled.clear();
    searchDue = true;
}

void LostRequests::lost() {
    if (current.empty()) {
        searchDue = true;
    } else if (std::find(unsettled.begin(), unsettled.end(), current) == unsettled.end()) {
        unsettled.push_back(current);
    }
}

bool LostRequests::search(StatementRunner& runner, const SQLBuilder& builder,
                          const std::string& instance, StatementError& error) {
    const StatementRunner::Outcome outcome = runner.run(
        {builder.buildSessionsWritingLedger(DeliveryLedger::LEDGER_TABLE, instance, tableKeyword)},
        Results::Read);
    if (!outcome.success || outcome.results.empty()) {
        error = outcome.error;
        logFailure("the query history cannot be read", "(any)", error);
        return false;
    }
    for (const auto& row : outcome.results.back().rows) {
        if (row.empty() || !isSessionId(row.front()) || row.front() == current) {
            continue;
        }
        if (std::find(unsettled.begin(), unsettled.end(), row.front()) == unsettled.end()) {
            unsettled.push_back(row.front());
        }
    }
    searchDue = false;
    return true;
}

bool LostRequests::settleSession(StatementRunner& runner, const SQLBuilder& builder,
                                 const std::string& session, StatementError& error) {
    // Cancelling takes effect asynchronously: the history tells when nothing runs any more.
    const StatementRunner::Outcome cancel =
        runner.run({builder.buildCancelSessionQueries(session)});
    if (!cancel.success) {
        error = cancel.error;
        logFailure("its queries cannot be cancelled", session, error);
        return false;
    }
    for (int check = 0; check < CHECKS; ++check) {
        if (check > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(CHECK_PAUSE_MS));
        }
        const StatementRunner::Outcome running =
            runner.run({builder.buildSessionQueriesRunning(session, tableKeyword)}, Results::Read);
        if (!running.success) {
            error = running.error;
            logFailure("its query history cannot be read", session, error);
            return false;
        }
        if (singleValue(running) == "0") {
            Logger::getLogger()->info(
                "Requests of database session %s whose answer was lost are cancelled and no "
                "longer run",
                session.c_str());
            return true;
        }
    }
    error = StatementError{"", 0, "a query is still running after it was cancelled"};
    logFailure("a query is still running after it was cancelled", session, error);
    return false;
}

bool LostRequests::settle(StatementRunner& runner, const SQLBuilder& builder,
                          const std::string& instance, StatementError& error) {
    if (searchDue && !search(runner, builder, instance, error)) {
        return false;
    }
    while (!unsettled.empty()) {
        if (unsettled.front() != current &&
            !settleSession(runner, builder, unsettled.front(), error)) {
            return false;
        }
        unsettled.erase(unsettled.begin());
    }
    return true;
}
