#ifndef DELIVERY_BATCH_DELIVERY_H
#define DELIVERY_BATCH_DELIVERY_H

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "client/error_classification.h"
#include "client/odbc_client.h"
#include "delivery/batch_renderer.h"
#include "delivery/delivery_ledger.h"
#include "delivery/lost_requests.h"
#include "delivery/request_text.h"
#include "delivery/statement_runner.h"
#include "delivery/table_batch.h"

class Reading;
class ReadingMapper;
class RejectReplay;
class SchemaManager;
class SQLBuilder;
class TableSettler;

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
    enum class Trial { Passed, Refused, Failed };
    // What is known of a range of rows before its trial: nothing; refused (by the write or a
    // trial of exactly that range); or likely refused (the range it was split from was, and the
    // other half passed), which a single row still has to show in a trial of its own.
    enum class Known { Nothing, Refused, Likely };

    // The steps of `deliver`, in order.
    DeliveryLedger::Lookup lookUp(const std::string& fingerprint, StatementError& error);
    // The readings with the replayed ones after them (in `joined`), or the readings alone.
    const std::vector<Reading*>& replay(const std::vector<Reading*>& readings,
                                        std::vector<Reading*>& joined);
    // Readings by table, in batch order, and the kinds of each table's values.
    std::vector<TableBatch> group(const std::vector<Reading*>& readings,
                                  std::vector<Reject>& rejects);
    bool settle(std::vector<TableBatch>& tables, TableSettler& settler, StatementError& error);
    Result write(std::vector<TableBatch>& tables, const std::vector<Reject>& reserved,
                 TableSettler& settler, const std::string& fingerprint);
    Result report(const std::vector<TableBatch>& tables, const Attempt& attempt);
    static void logRejects(const std::vector<Reject>& rejects);

    // The parts of one round of `write`.
    bool prepare(std::vector<TableBatch>& tables, const std::vector<Reject>& reserved,
                 TableSettler& settler, const std::string& fingerprint, Attempt& attempt,
                 StatementError& error);
    Sent send(Attempt& attempt, StatementRunner::Outcome& outcome, StatementError& error);
    // The two ways of `send`: the text's own transaction in one request, or the driver's
    // transaction around requests of the statements between BEGIN and COMMIT.
    Sent sendInOneRequest(Attempt& attempt, StatementRunner::Outcome& outcome,
                          StatementError& error);
    Sent sendInTransaction(Attempt& attempt, StatementRunner::Outcome& outcome,
                           StatementError& error);
    // After a refused write: true when the batch is worth writing again (readings moved to
    // rejects, or tables read again).
    bool recover(std::vector<TableBatch>& tables, TableSettler& settler, const Attempt& attempt,
                 const StatementRunner::Outcome& outcome, bool& refreshed, StatementError& error);

    // Renders every table into `text` and lengthens (through `settler`) the text columns the
    // rows need.
    bool render(std::vector<TableBatch>& tables, TableSettler& settler,
                std::vector<BatchRenderer::RenderedTable>& rendered, std::vector<Reject>& rejects,
                RequestText& text, StatementError& error);
    // Diverts the readings whose rows still do not fit after the columns were lengthened.
    void rejectWhatStillDoesNotFit(
        const BatchRenderer::RenderedTable& table,
        const std::map<std::pair<std::string, std::string>, StatementError>& refused);
    // Lists the statements of the rendered rows and adds the rejects, the ledger row and the
    // commit to the text.
    void buildStatements(Attempt& attempt, const std::string& fingerprint) const;
    void addRejectStatements(const std::vector<Reject>& rejects, RequestText& text,
                             std::vector<Statement>& statements) const;

    // Runs a statement's rows [first, first + count) in a transaction that is rolled back.
    Trial trial(const BatchRenderer::RenderedTable& table, size_t first, size_t count,
                StatementError& error);
    // Finds the rows the database refuses among the statements from `from` on; `refusal` is the
    // answer to the write when it is known to be about statement `from` alone. False when
    // something else went wrong.
    bool isolate(const std::vector<BatchRenderer::RenderedTable>& rendered,
                 const std::vector<Statement>& statements, size_t from,
                 const StatementError* refusal, StatementError& error);
    bool locate(const BatchRenderer::RenderedTable& table, size_t first, size_t count, Known known,
                StatementError refusal, StatementError& error);
    // Reads again the tables from the failed statement's on, and remakes the plugin's own.
    bool refreshTables(std::vector<TableBatch>& tables, TableSettler& settler,
                       const Statement& failed, StatementError& error);
    Result fail(Result result, const StatementError& error);
    // One error line for a failed write: the table (or the tables, when the driver did not tell
    // which of a request's statements failed), the rows, and the database's answer.
    static void logFailure(const std::vector<Statement>& statements,
                           const std::vector<TableBatch>& tables, size_t failed, size_t suspects,
                           const StatementError& error);

    Parts parts;
    // Readings moved to the rejects after their rows were rendered, with the reason: refused by
    // the database (found by trial), or not fitting a column that was lengthened or asked for its
    // scale.
    std::map<const Reading*, Reject> diverted;
    bool sessionClosed = false;
};

#endif
