#include "delivery/delivery_ledger.h"

#include <utility>

#include "client/error_classification.h"
#include "delivery/statement_runner.h"
#include "host/logger.h"
#include "sql/sql_builder.h"

bool DeliveryLedger::isReserved(const std::string& table) {
    return table == LEDGER_TABLE || table == REJECT_TABLE;
}

void DeliveryLedger::reset() {
    tablesReady = false;
    lookupDue = true;
    cleanupDue = false;
    batchesSinceCleanup = 0;
}

bool DeliveryLedger::ensureTables(StatementRunner& runner, const SQLBuilder& builder,
                                  StatementError& error) {
    if (tablesReady) {
        return true;
    }
    StatementRunner::Outcome outcome = runner.run({builder.buildCreateLedgerTable(LEDGER_TABLE),
                                                   builder.buildCreateRejectTable(REJECT_TABLE)});
    if (outcome.success) {
        // A reject table an earlier version made gains the columns a replay needs, rows kept.
        outcome =
            runner.run({builder.buildInformationSchemaQuery("", REJECT_TABLE)}, Results::Read);
    }
    if (outcome.success && !outcome.results.empty()) {
        std::vector<std::string> columns;
        for (const auto& row : outcome.results.front().rows) {
            if (!row.empty()) {
                columns.push_back(row.front());
            }
        }
        const std::vector<std::string> upgrade =
            builder.buildRejectTableUpgrade(REJECT_TABLE, columns);
        if (!upgrade.empty()) {
            outcome = runner.run(upgrade);
        }
    }
    if (!outcome.success) {
        error = outcome.error;
        Logger::getLogger()->error(
            "Failed to create the delivery tables '%s' and '%s': SQLSTATE %s, native error %d: %s",
            LEDGER_TABLE, REJECT_TABLE, error.sqlState.c_str(), static_cast<int>(error.nativeError),
            error.message.c_str());
        return false;
    }
    tablesReady = true;
    // With the look-up of the first batch when there is one, else after the next commit.
    cleanupDue = true;
    return true;
}

void DeliveryLedger::cleanedUp(const StatementRunner::Outcome& outcome) {
    cleanupDue = false;
    batchesSinceCleanup = 0;
    if (!outcome.success) {
        Logger::getLogger()->warn(
            "Failed to delete old rows of the delivery ledger '%s': SQLSTATE %s, native error %d: "
            "%s",
            LEDGER_TABLE, outcome.error.sqlState.c_str(),
            static_cast<int>(outcome.error.nativeError), outcome.error.message.c_str());
    }
}

void DeliveryLedger::cleanUp(StatementRunner& runner, const SQLBuilder& builder) {
    cleanedUp(runner.run({builder.buildLedgerCleanup(LEDGER_TABLE, KEEP_DAYS)}));
}

DeliveryLedger::Lookup DeliveryLedger::found(const StatementRunner::Outcome& outcome) {
    const auto& rows = outcome.results.back().rows;
    const bool hit = !rows.empty() && !rows.front().empty() && rows.front().front() != "0" &&
                     rows.front().front() != "NULL";
    return hit ? Lookup::Found : Lookup::NotFound;
}

DeliveryLedger::Lookup DeliveryLedger::lookup(StatementRunner& runner, const SQLBuilder& builder,
                                              const std::string& instance,
                                              const std::string& fingerprint,
                                              StatementError& error) {
    const std::string query = builder.buildLedgerLookup(LEDGER_TABLE, instance, fingerprint);
    StatementRunner::Outcome outcome;
    if (cleanupDue) {
        outcome =
            runner.run({builder.buildLedgerCleanup(LEDGER_TABLE, KEEP_DAYS), query}, Results::Read);
        const ErrorClass cause = outcome.error.errorClass;
        if (outcome.completed == 0 && cause != ErrorClass::Connection &&
            cause != ErrorClass::ObjectMissing) {
            // The clean-up failed and the look-up did not run: it goes alone. (Without the
            // session or the table both are tried again later.)
            cleanedUp(outcome);
            outcome = runner.run({query}, Results::Read);
        } else if (outcome.completed > 0) {
            StatementRunner::Outcome cleanup;
            cleanup.success = true;
            cleanedUp(cleanup);
        }
    } else {
        outcome = runner.run({query}, Results::Read);
    }
    if (!outcome.success || outcome.results.empty()) {
        error = outcome.error;
        return Lookup::Failed;
    }
    lookupDue = false;
    return found(outcome);
}

std::string DeliveryLedger::record(const SQLBuilder& builder, const std::string& instance,
                                   const std::string& fingerprint, size_t rows) const {
    return builder.buildLedgerInsert(LEDGER_TABLE, instance, fingerprint, rows);
}

void DeliveryLedger::committed(StatementRunner& runner, const SQLBuilder& builder) {
    if (++batchesSinceCleanup >= CLEANUP_EVERY_BATCHES || cleanupDue) {
        cleanUp(runner, builder);
    }
}
