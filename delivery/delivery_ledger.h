#ifndef DELIVERY_DELIVERY_LEDGER_H
#define DELIVERY_DELIVERY_LEDGER_H

#include <cstddef>
#include <string>
#include <vector>

#include "client/statement_error.h"
#include "delivery/statement_runner.h"

class SQLBuilder;

// The two tables the plugin keeps beside the readings' own, and what it remembers of them:
// the delivery ledger (one row per delivered batch, written in the batch's transaction, so that
// a batch whose commit went unanswered is found instead of written twice) and the reject table.
class DeliveryLedger {
public:
    static constexpr const char* LEDGER_TABLE = "_varnholt_ledger";
    static constexpr const char* REJECT_TABLE = "_varnholt_rejects";
    // Ledger rows older than this are deleted now and then.
    static constexpr int KEEP_DAYS = 7;
    static constexpr size_t CLEANUP_EVERY_BATCHES = 1000;

    enum class Lookup { Found, NotFound, Failed };

    // Names readings cannot use: they would mix their rows with the plugin's own.
    static bool isReserved(const std::string& table);

    // Another database: its tables are made again, and the next batch is looked up first.
    void reset();
    // Someone changed the plugin's tables: they are made again before the next write.
    void tablesChanged() { tablesReady = false; }
    // Creates both tables when this instance has not done so yet, and brings a reject table of
    // an earlier version up to date.
    bool ensureTables(StatementRunner& runner, const SQLBuilder& builder, StatementError& error);
    // A look-up is due on the first batch of an instance (the host may have restarted after a
    // commit whose answer was lost) and after a commit whose outcome is unknown. Old rows due to
    // be deleted go in the same request.
    bool lookupNeeded() const { return lookupDue; }
    void markOutcomeUnknown() { lookupDue = true; }
    Lookup lookup(StatementRunner& runner, const SQLBuilder& builder, const std::string& instance,
                  const std::string& fingerprint, StatementError& error);
    // The ledger's row of a batch, written in the batch's transaction.
    std::string record(const SQLBuilder& builder, const std::string& instance,
                       const std::string& fingerprint, size_t rows) const;
    // After each committed batch: now and then old ledger rows are deleted. A failure only costs
    // a warning; the rows are deleted another time.
    void committed(StatementRunner& runner, const SQLBuilder& builder);

private:
    void cleanUp(StatementRunner& runner, const SQLBuilder& builder);
    void cleanedUp(const StatementRunner::Outcome& outcome);
    static Lookup found(const StatementRunner::Outcome& outcome);

    bool tablesReady = false;
    bool lookupDue = true;
    // Old rows are deleted when the tables were (re)made, then every CLEANUP_EVERY_BATCHES.
    bool cleanupDue = false;
    size_t batchesSinceCleanup = 0;
};

#endif
