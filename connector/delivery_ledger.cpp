#include "connector/delivery_ledger.h"

#include "connector/statement_runner.h"
#include "host/logger.h"
#include "sql/sql_builder.h"

const char* const DeliveryLedger::LEDGER_TABLE = "_varnholt_ledger";
const char* const DeliveryLedger::REJECT_TABLE = "_varnholt_rejects";

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
    const StatementRunner::Outcome outcome = runner.run(
        {builder.buildCreateLedgerTable(LEDGER_TABLE), builder.buildCreateRejectTable(REJECT_TABLE),
         builder.buildLedgerCleanup(LEDGER_TABLE, KEEP_DAYS)});
    if (!outcome.success) {
        error = outcome.error;
        Logger::getLogger()->error(
            "Failed to create the delivery tables '%s' and '%s': SQLSTATE %s, native error %d: %s",
            LEDGER_TABLE, REJECT_TABLE, error.sqlState.c_str(), static_cast<int>(error.nativeError),
            error.message.c_str());
        return false;
    }
    tablesReady = true;
    return true;
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

std::vector<std::string> DeliveryLedger::statements(const SQLBuilder& builder,
                                                    const std::string& instance,
                                                    const std::string& fingerprint,
                                                    size_t rows) const {
    std::vector<std::string> sql{
        builder.buildLedgerInsert(LEDGER_TABLE, instance, fingerprint, rows)};
    if (batchesSinceCleanup + 1 >= CLEANUP_EVERY_BATCHES) {
        sql.push_back(builder.buildLedgerCleanup(LEDGER_TABLE, KEEP_DAYS));
    }
    return sql;
}

void DeliveryLedger::committed() {
    if (++batchesSinceCleanup >= CLEANUP_EVERY_BATCHES) {
        batchesSinceCleanup = 0;
    }
}
