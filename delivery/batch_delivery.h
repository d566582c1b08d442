#ifndef DELIVERY_BATCH_DELIVERY_H
#define DELIVERY_BATCH_DELIVERY_H

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "client/error_classification.h"
#include "delivery/batch_renderer.h"
#include "delivery/delivery_ledger.h"
#include "delivery/lost_requests.h"
#include "delivery/refused_row_search.h"
#include "delivery/request_text.h"
#include "delivery/statement_runner.h"
#include "delivery/table_batch.h"
#include "delivery/table_settler.h"

class ODBCClient;
class Reading;
class ReadingMapper;
class RejectReplay;
class SchemaManager;
class SQLBuilder;

// Delivers one batch: all of it in one transaction, or nothing.
//  0. replay   while "replayRejects" is on, rejected readings of the instance join the batch
//              (RejectReplay); their reject rows are deleted in the batch's transaction
//  1. group    readings by table, batch order kept per table
//  2. settle   tables and columns, outside the transaction (DDL commits on Snowflake)
//  3. render   each reading into a row of its table, or into a reject with the reason
//  4. write    every INSERT, the rejects, the ledger row and the commit: one request that
//              carries its own BEGIN ... COMMIT when the driver runs several statements per
//              request and the batch fits; else in as few requests as the driver allows, in a
//              transaction of the driver's
//  5. on failure, roll back; a value the database refuses is found with trial statements that
//     are rolled back and its reading becomes a reject; a table changed under us is read again;
//     then back to 3. Anything else fails the batch, and the host sends it again.
class BatchDelivery {
public:
    // Snowflake refuses more rows than this in one VALUES list.
    static constexpr size_t MAX_ROWS_PER_INSERT = 16384;
    // Statements are kept within this much text, as Snowflake advises.
    static constexpr size_t MAX_INSERT_BYTES = 1024 * 1024;

    struct Parts {
        ODBCClient& client;
        SchemaManager& schemaManager;
        ReadingMapper& mapper;
        const SQLBuilder& builder;
        StatementRunner& runner;
        DeliveryLedger& ledger;
        LostRequests& lostRequests;
        RejectReplay& replay;
        const std::string& databaseName;
        const std::string& instance;
        // Columns made for whole numbers alone are floating point, so that fractions sent later
        // fit as well.
        bool wholeNumbersAsReal;
        // Columns made for nested values or float arrays are VARIANT, queried by path.
        bool nestedAsVariant = false;
    };

    struct Result {
        bool delivered = false;
        // Why not, when not delivered.
        ErrorClass failure = ErrorClass::Other;
        StatementError error;
        size_t rows = 0;
        size_t tables = 0;
        size_t rejects = 0;
        size_t requests = 0;
        // A rollback failed, and the session was closed so that nothing of it is committed.
        bool sessionClosed = false;
    };

    explicit BatchDelivery(const Parts& parts);
    Result deliver(const std::vector<Reading*>& readings);

private:
    // One statement of the transaction and the rows it carries (the table's position in the
    // batch, or a mark for one of the plugin's own tables).
    struct Statement {
        size_t table;
        size_t first;
        size_t count;
    };
    // One try at writing the batch: what was rendered, and the statements that carry it. The
    // text holds BEGIN, then the statements in this order, then COMMIT.
    struct Attempt {
        std::vector<Reject> rejects;
        std::vector<BatchRenderer::RenderedTable> rendered;
        std::vector<Statement> statements;
        size_t rows = 0;
        RequestText* text = nullptr;
        // The commit failed or its answer was lost (logged as such).
        bool commitFailed = false;
    };
    // InDoubt: the request's outcome is unknown (it may have committed, or still run).
    enum class Sent { Committed, Refused, Failed, InDoubt };
    using ColumnKey = std::pair<std::string, std::string>;  // table, column

    // The steps of `deliver`, in order. A step that fails leaves the reason in `error`.
    DeliveryLedger::Lookup lookUp();
    // The readings with the replayed ones after them (in `joined`), or the readings alone.
    const std::vector<Reading*>& replay(const std::vector<Reading*>& readings);
    // Readings by table into `tables`, in batch order, with the kinds of each table's values;
    // readings with no table of their own into `reserved`.
    void group(const std::vector<Reading*>& readings);
    bool settle();
    Result write();
    Result report(const Attempt& attempt);
    static void logRejects(const std::vector<Reject>& rejects);

    // The parts of one round of `write`.
    bool prepare(Attempt& attempt);
    Sent send(Attempt& attempt, StatementRunner::Outcome& outcome);
    // The two ways of `send`: the text's own transaction in one request, or the driver's
    // transaction around requests of the statements between BEGIN and COMMIT.
    Sent sendInOneRequest(Attempt& attempt, StatementRunner::Outcome& outcome);
    Sent sendInTransaction(Attempt& attempt, StatementRunner::Outcome& outcome);
    // After a refused write: true when the batch is worth writing again (readings moved to
    // rejects, or tables read again).
    bool recover(const Attempt& attempt, const StatementRunner::Outcome& outcome);

    // Renders every table into the attempt's text and lengthens (through the settler) the text
    // columns the rows need.
    bool render(Attempt& attempt);
    // Diverts the readings whose rows still do not fit after the columns were lengthened.
    void rejectWhatStillDoesNotFit(const BatchRenderer::RenderedTable& table,
                                   const std::map<ColumnKey, StatementError>& refused);
    // Lists the statements of the rendered rows and adds the rejects, the ledger row and the
    // commit to the text.
    void buildStatements(Attempt& attempt) const;
    void addRejectStatements(Attempt& attempt) const;

    // Finds the rows the database refuses among the statements from `from` on; `refusal` is the
    // answer to the write when it is known to be about statement `from` alone. False when
    // something else went wrong.
    bool isolate(const Attempt& attempt, size_t from, const StatementError* refusal);
    // Runs rows of a statement in a transaction that is rolled back.
    RefusedRowSearch::Trial trial(const BatchRenderer::RenderedTable& table,
                                  RefusedRowSearch::Rows rows, StatementError& answer);
    // Reads again the tables from the failed statement's on, and remakes the plugin's own.
    bool refreshTables(const Statement& failed);
    Result fail(Result result) const;
    // One error line for a failed write: the table (or the tables, when the driver did not tell
    // which of a request's statements failed), the rows, and the database's answer.
    void logFailure(const Attempt& attempt, const StatementRunner::Outcome& outcome) const;

    Parts parts;
    TableSettler settler;
    // The batch on its way.
    std::string fingerprint;
    std::vector<Reading*> joined;
    std::vector<TableBatch> tables;
    // Readings that have no table to go to, known when the batch is grouped.
    std::vector<Reject> reserved;
    // Readings moved to the rejects after their rows were rendered, with the reason: refused by
    // the database (found by trial), or not fitting a column that was lengthened or asked for its
    // scale.
    std::map<const Reading*, Reject> diverted;
    // Why the last step failed.
    StatementError error;
    // The tables were read again once after a write named a missing or existing object.
    bool refreshed = false;
    bool sessionClosed = false;
};

#endif
