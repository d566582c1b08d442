#include "delivery/delivery_ledger.h"

#include <utility>

#include "delivery/statement_runner.h"
#include "host/logger.h"
#include "sql/sql_builder.h"

bool DeliveryLedger::isReserved(const std::string& table) {
    return table == LEDGER_TABLE || table == REJECT_TABLE;
}

void DeliveryLedger::reset() {
    tablesReady = false;
    lookupDue = true;
    batchesSinceCleanup = 0;
}

bool DeliveryLedger::ensureTables(StatementRunner& runner, const SQLBuilder& builder,
                                  StatementError& error) {
    if (tablesReady) {
        return true;
    }
    std::vector<std::string> statements = {builder.buildCreateLedgerTable(LEDGER_TABLE),
                                           builder.buildCreateRejectTable(REJECT_TABLE)};
    // A reject table an earlier version made gains the columns a replay needs, rows kept.
    for (std::string& upgrade : builder.buildRejectTableUpgrade(REJECT_TABLE)) {
        statements.push_back(std::move(upgrade));
    }
    const StatementRunner::Outcome outcome = runner.run(statements);
    if (!outcome.success) {
        error = outcome.error;
        Logger::getLogger()->error(
            "Failed to create the delivery tables '%s' and '%s': SQLSTATE %s, native error %d: %s",
            LEDGER_TABLE, REJECT_TABLE, error.sqlState.c_str(), static_cast<int>(error.nativeError),
            error.message.c_str());
        return false;
    }
    tablesReady = true;
    cleanUp(runner, builder);
    return true;
}

void DeliveryLedger::cleanUp(StatementRunner& runner, const SQLBuilder& builder) {
    batchesSinceCleanup = 0;
    const StatementRunner::Outcome outcome =
        runner.run({builder.buildLedgerCleanup(LEDGER_TABLE, KEEP_DAYS)});
    if (!outcome.success) {
        Logger::getLogger()->warn(
            "Failed to delete old rows of the delivery ledger '%s': SQLSTATE %s, native error %d: "
            "%s",
            LEDGER_TABLE, outcome.error.sqlState.c_str(),
            static_cast<int>(outcome.error.nativeError), outcome.error.message.c_str());
    }
}

DeliveryLedger::Lookup DeliveryLedger::lookup(StatementRunner& runner, const SQLBuilder& builder,
                                              const std::string& instance,
                                              const std::string& fingerprint,
                                              StatementError& error) {
    const StatementRunner::Outcome outcome =
        runner.run({builder.buildLedgerLookup(LEDGER_TABLE, instance, fingerprint)});
    if (!outcome.success || outcome.results.empty()) {
        error = outcome.error;
        return Lookup::Failed;
    }
    lookupDue = false;
    const auto& rows = outcome.results.front().rows;
    const bool found = !rows.empty() && !rows.front().empty() && rows.front().front() != "0" &&
                       rows.front().front() != "NULL";
    return found ? Lookup::Found : Lookup::NotFound;
}

std::string DeliveryLedger::record(const SQLBuilder& builder, const std::string& instance,
                                   const std::string& fingerprint, size_t rows) const {
    return builder.buildLedgerInsert(LEDGER_TABLE, instance, fingerprint, rows);
}

void DeliveryLedger::committed(StatementRunner& runner, const SQLBuilder& builder) {
    if (++batchesSinceCleanup >= CLEANUP_EVERY_BATCHES) {
        cleanUp(runner, builder);
    }
}
