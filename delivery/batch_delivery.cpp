#include "delivery/batch_delivery.h"

#include <algorithm>
#include <utility>

#include "client/transaction.h"
#include "delivery/batch_fingerprint.h"
#include "delivery/delivery_ledger.h"
#include "delivery/reject_replay.h"
#include "delivery/rejected_reading.h"
#include "delivery/statement_runner.h"
#include "delivery/table_settler.h"
#include "host/logger.h"
#include "host/reading.h"
#include "mapping/name_limit.h"
#include "mapping/reading_mapper.h"
#include "mapping/table_groups.h"
#include "schema/schema_manager.h"
#include "sql/sql_builder.h"

namespace {

// Rounds of writing a batch: each round after the first follows a failure that made progress
// (readings diverted to rejects, or tables read again).
constexpr int MAX_ROUNDS = 8;
// The table of a statement into one of the plugin's own tables.
constexpr size_t LEDGER_STATEMENT = static_cast<size_t>(-1);
constexpr size_t REJECT_STATEMENT = static_cast<size_t>(-2);

bool intoOwnTable(size_t table) {
    return table >= REJECT_STATEMENT;
}

Logger* log() {
    return Logger::getLogger();
}

// Whether two readings give rows of the same columns: the row's columns follow from the
// datapoint names alone.
bool sameColumns(const std::vector<Datapoint*>& a, const std::vector<Datapoint*>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && (!a[i] || !b[i] || a[i]->getName() != b[i]->getName())) {
            return false;
        }
    }
    return true;
}

ValueKind kindOf(const DatapointValue& value) {
    switch (value.getType()) {
        case DatapointValue::T_INTEGER:
            return ValueKind::Integer;
        case DatapointValue::T_FLOAT:
            return ValueKind::Float;
        case DatapointValue::T_FLOAT_ARRAY:
        case DatapointValue::T_DP_DICT:
        case DatapointValue::T_DP_LIST:
            return ValueKind::Json;
        default:
            return ValueKind::Text;
    }
}

// A table's share of the batch while the batch is grouped, and where the kinds of the last
// reading's datapoints are kept, by position.
struct Group {
    TableBatch batch;
    std::vector<ValueKind*> slots;
};

// Adds a reading to its table's group and widens the kinds of its datapoints' columns. Both are
// done here, while the datapoints are being read anyway, so that later steps only look at the
// flag and the kinds.
void addToGroup(Group& group, const Reading* reading, const ReadingMapper& mapper) {
    std::vector<GroupedReading>& grouped = group.batch.readings;
    const std::vector<Datapoint*>& datapoints = reading->getReadingData();
    const bool same =
        !grouped.empty() && sameColumns(grouped.back().reading->getReadingData(), datapoints);
    grouped.push_back(GroupedReading{reading, same});
    if (!same) {
        // Names are looked up only when the columns change; then the kinds go by position.
        group.slots.clear();
        std::string shortened;
        std::string cased;
        for (const Datapoint* datapoint : datapoints) {
            // By the column's name, which a name too long for the database is not.
            group.slots.push_back(
                datapoint ? &group.batch.kinds
                                 .try_emplace(mapper.identifierFor(
                                     NameLimit::apply(datapoint->getName(), shortened), cased))
                                 .first->second
                          : nullptr);
        }
    }
    for (size_t i = 0; i < datapoints.size(); ++i) {
        if (ValueKind* slot = group.slots[i]) {
            *slot = std::max(*slot, kindOf(datapoints[i]->getData()));
        }
    }
}

}  // namespace

BatchDelivery::BatchDelivery(const Parts& deliveryParts)
    : parts(deliveryParts),
      settler(parts.schemaManager, parts.mapper, parts.builder, parts.runner, parts.databaseName,
              parts.wholeNumbersAsReal, parts.nestedAsVariant) {}

void BatchDelivery::logFailure(const Attempt& attempt,
                               const StatementRunner::Outcome& outcome) const {
    // The tables of the statements that may have failed, and their rows. The plugin's own small
    // statements ride along in most requests; they are named only when nothing else can be.
    const std::vector<Statement>& statements = attempt.statements;
    const size_t failed = std::min(outcome.completed, statements.size() - 1);
    const size_t end = std::min(failed + std::max<size_t>(outcome.suspects, 1), statements.size());
    bool readingsTable = false;
    for (size_t i = failed; i < end; ++i) {
        readingsTable = readingsTable || !intoOwnTable(statements[i].table);
    }
    std::string names;
    size_t rows = 0;
    for (size_t i = failed; i < end; ++i) {
        const Statement& statement = statements[i];
        if (readingsTable && intoOwnTable(statement.table)) {
            continue;
        }
        const std::string name =
            statement.table == LEDGER_STATEMENT   ? std::string(DeliveryLedger::LEDGER_TABLE)
            : statement.table == REJECT_STATEMENT ? std::string(DeliveryLedger::REJECT_TABLE)
                                                  : tables[statement.table].name;
        const std::string quoted = "'" + name + "'";
        if (names.find(quoted) == std::string::npos) {
            names += names.empty() ? quoted : ", " + quoted;
        }
        rows += statement.count;
    }
    log()->error(
        "Failed to execute database query for %s %s (%zu rows): SQLSTATE %s, native error %d: %s",
        names.find(',') == std::string::npos ? "table" : "one of the tables", names.c_str(), rows,
        error.sqlState.c_str(), static_cast<int>(error.nativeError), error.message.c_str());
}

BatchDelivery::Result BatchDelivery::fail(Result result) const {
    result.delivered = false;
    result.sessionClosed = sessionClosed;
    result.error = error;
    result.failure = error.errorClass;
    result.requests += parts.runner.takeRequestCount();
    return result;
}

void BatchDelivery::group(const std::vector<Reading*>& readings) {
    TableGroups<Group> groups;
    for (const Reading* reading : readings) {
        if (!reading) {
            continue;
        }
        std::string table = parts.mapper.tableNameFor(reading);
        if (table.empty()) {
            // An empty asset name without a hint naming a table: no table to go to, and
            // dropping the reading would lose it while the batch counts as delivered.
            reserved.push_back(
                Reject{table, reading,
                       StatementError{"", 0, "the reading names no table: its asset name is empty"},
                       "the reading names no table: its asset name is empty"});
            continue;
        }
        if (DeliveryLedger::isReserved(table)) {
            reserved.push_back(Reject{
                table, reading,
                StatementError{"", 0, "the table name is reserved for the plugin's own table"}});
            continue;
        }
        addToGroup(groups.groupFor(std::move(table)), reading, parts.mapper);
    }
    std::map<std::string, Group> byTable = groups.take();
    tables.reserve(byTable.size());
    for (auto& entry : byTable) {
        entry.second.batch.name = entry.first;
        tables.push_back(std::move(entry.second.batch));
    }
}

bool BatchDelivery::render(Attempt& attempt) {
    BatchRenderer renderer(parts.schemaManager, parts.mapper, parts.builder, MAX_ROWS_PER_INSERT,
                           MAX_INSERT_BYTES);
    std::vector<BatchRenderer::RenderedTable>& rendered = attempt.rendered;
    rendered.resize(tables.size());
    std::vector<TableSettler::LongText> longTexts;
    std::vector<ColumnKey> scales;
    for (size_t t = 0; t < tables.size(); ++t) {
        if (!renderer.render(tables[t], diverted, rendered[t], attempt.rejects, *attempt.text)) {
            // The rows have nowhere to go; reporting the batch as delivered would lose them.
            log()->error("Failed to get cached schema for table '%s'", tables[t].name.c_str());
            error = StatementError{"", 0, "no cached schema for table '" + tables[t].name + "'"};
            return false;
        }
        for (const auto& text : rendered[t].longTexts) {
            longTexts.push_back({tables[t].name, text.column, text.characters});
        }
        for (const auto& fraction : rendered[t].fractions) {
            scales.emplace_back(tables[t].name, fraction.column);
        }
    }
    if (longTexts.empty() && scales.empty()) {
        return true;
    }
    std::map<ColumnKey, StatementError> refused;
    if (!settler.widen(longTexts, scales, refused, error)) {
        log()->error("Failed to lengthen text columns: SQLSTATE %s, native error %d: %s",
                     error.sqlState.c_str(), static_cast<int>(error.nativeError),
                     error.message.c_str());
        return false;
    }
    for (BatchRenderer::RenderedTable& table : rendered) {
        rejectWhatStillDoesNotFit(table, refused);
    }
    return true;
}

void BatchDelivery::rejectWhatStillDoesNotFit(const BatchRenderer::RenderedTable& table,
                                              const std::map<ColumnKey, StatementError>& refused) {
    if (table.longTexts.empty() && table.fractions.empty()) {
        return;
    }
    // Texts still longer than their column, and fractions the column would round.
    const std::string& name = table.batch->name;
    std::vector<bool> out(table.rows.size(), false);
    for (const auto& fraction : table.fractions) {
        const int scale = parts.schemaManager.columnScale(name, fraction.column);
        const std::string conflict =
            BatchRenderer::roundingConflict(fraction.value, "NUMBER", std::max(scale, 0));
        if (conflict.empty() || out[fraction.row]) {
            continue;
        }
        out[fraction.row] = true;
        const Reading* reading = table.rows[fraction.row].reading;
        diverted.insert_or_assign(
            reading,
            Reject{name, reading,
                   StatementError{"", 0,
                                  "type conflict in column '" + fraction.column + "': " + conflict},
                   "type conflict in column '" + fraction.column +
                       "': more digits after the point than the column keeps"});
    }
    for (const auto& text : table.longTexts) {
        size_t length = parts.schemaManager.columnLength(name, text.column);
        length = length ? length : BatchRenderer::ASSUMED_TEXT_LENGTH;
        if (text.characters <= length || out[text.row]) {
            continue;
        }
        out[text.row] = true;
        auto reason = refused.find({name, text.column});
        const Reading* reading = table.rows[text.row].reading;
        diverted.insert_or_assign(
            reading,
            Reject{name, reading,
                   reason != refused.end()
                       ? reason->second
                       : StatementError{"", 0,
                                        "a text of " + std::to_string(text.characters) +
                                            " characters is longer than column '" + text.column +
                                            "' takes (" + std::to_string(length) + ")"},
                   "text longer than column '" + text.column + "' takes"});
    }
}

void BatchDelivery::buildStatements(Attempt& attempt) const {
    RequestText& text = *attempt.text;
    // The rows are in the text already, each table's in statements of their own.
    for (size_t t = 0; t < attempt.rendered.size(); ++t) {
        const std::vector<BatchRenderer::Row>& rows = attempt.rendered[t].rows;
        for (size_t r = 0; r < rows.size(); ++r) {
            if (r == 0 || rows[r].place.statement != rows[r - 1].place.statement) {
                attempt.statements.push_back(Statement{t, r, 0});
            }
            ++attempt.statements.back().count;
        }
    }
    // Before the rejects: a replayed reading refused again is written back under its old id.
    for (const std::string& settled : parts.replay.rowStatements(
             parts.builder, parts.instance, attempt.rendered, attempt.rejects)) {
        text.add(settled);
        attempt.statements.push_back(Statement{REJECT_STATEMENT, 0, 0});
    }
    addRejectStatements(attempt);
    text.add(parts.ledger.record(parts.builder, parts.instance, fingerprint, attempt.rows));
    attempt.statements.push_back(Statement{LEDGER_STATEMENT, 0, 1});
    text.add(parts.builder.buildCommit());
}

void BatchDelivery::addRejectStatements(Attempt& attempt) const {
    std::vector<SQLBuilder::RejectRow> rejectRows;
    size_t rejectBytes = 0;
    auto flushRejects = [&]() {
        attempt.text->add(
            parts.builder.buildRejectInsert(DeliveryLedger::REJECT_TABLE, rejectRows));
        attempt.statements.push_back(Statement{REJECT_STATEMENT, 0, rejectRows.size()});
        rejectRows.clear();
        rejectBytes = 0;
    };
    for (const Reject& reject : attempt.rejects) {
        SQLBuilder::RejectRow row = RejectedReading::toRow(reject, parts.instance);
        parts.replay.stamp(reject.reading, row);
        // Room for the other columns, and for escapes, which at most double a text.
        const size_t rowBytes = 2 * (row.readingJSON.size() + row.message.size() +
                                     row.asset.size() + row.targetTable.size()) +
                                512;
        if (!rejectRows.empty() && (rejectRows.size() >= MAX_ROWS_PER_INSERT ||
                                    rejectBytes + rowBytes > MAX_INSERT_BYTES)) {
            flushRejects();
        }
        rejectBytes += rowBytes;
        rejectRows.push_back(std::move(row));
    }
    if (!rejectRows.empty()) {
        flushRejects();
    }
}

RefusedRowSearch::Trial BatchDelivery::trial(const BatchRenderer::RenderedTable& table,
                                             RefusedRowSearch::Rows rows, StatementError& answer) {
    using Trial = RefusedRowSearch::Trial;
    // The rows of one statement follow each other in the batch's text.
    const std::string statement =
        table.prefix +
        parts.runner.batchText().rowsText(table.rows[rows.first].place,
                                          table.rows[rows.first + rows.count - 1].place) +
        table.suffix;
    // A trial only looks: one request that begins, writes and rolls back, so that nothing it
    // wrote can stay, and no autocommit switch can commit a failure's leftovers.
    Transaction transaction(parts.client, parts.builder.buildRollback());
    const StatementRunner::Outcome outcome =
        parts.runner.run({parts.builder.buildBegin(), statement, parts.builder.buildRollback()});
    if (outcome.success) {
        transaction.ended();
        return Trial::Passed;
    }
    answer = outcome.error;
    // The trial's own ROLLBACK failed: the session goes rather than a second try.
    const bool rollbackFailed = outcome.completed == 2 && outcome.suspects == 1;
    if (rollbackFailed) {
        transaction.closeSession(answer);
        sessionClosed = true;
        return Trial::Failed;
    }
    if (!transaction.rollback()) {
        sessionClosed = true;
        answer = transaction.error();
        return Trial::Failed;
    }
    const bool insertRefused = outcome.completed == 1 || outcome.suspects > 1;
    return insertRefused && answer.errorClass == ErrorClass::Data ? Trial::Refused : Trial::Failed;
}

bool BatchDelivery::isolate(const Attempt& attempt, size_t from, const StatementError* refusal) {
    for (size_t i = from; i < attempt.statements.size(); ++i) {
        const Statement& statement = attempt.statements[i];
        if (intoOwnTable(statement.table)) {
            continue;
        }
        const BatchRenderer::RenderedTable& table = attempt.rendered[statement.table];
        RefusedRowSearch search(
            [this, &table](RefusedRowSearch::Rows rows, StatementError& answer) {
                return trial(table, rows, answer);
            });
        const bool searched =
            search.search({statement.first, statement.count}, i == from ? refusal : nullptr);
        if (searched) {
            log()->debug(
                "Searched %zu rows of table '%s' for refused values: %zu found in %zu trials",
                statement.count, table.batch->name.c_str(), search.refused().size(),
                search.trials());
        }
        for (const auto& row : search.refused()) {
            const Reading* reading = table.rows[row.first].reading;
            diverted.insert_or_assign(reading, Reject{table.batch->name, reading, row.second});
        }
        if (!searched) {
            error = search.error();
            return false;
        }
    }
    return true;
}

bool BatchDelivery::refreshTables(const Statement& failed) {
    parts.ledger.tablesChanged();
    if (!parts.ledger.ensureTables(parts.runner, parts.builder, error)) {
        return false;
    }
    // The failed statement's table, and those after it: which one changed is not always told
    // exactly.
    const size_t from = intoOwnTable(failed.table) ? 0 : failed.table;
    for (size_t t = from; t < tables.size(); ++t) {
        if (!settler.refresh(tables[t], error)) {
            return false;
        }
    }
    return true;
}

DeliveryLedger::Lookup BatchDelivery::lookUp() {
    if (!parts.ledger.ensureTables(parts.runner, parts.builder, error)) {
        return DeliveryLedger::Lookup::Failed;
    }
    if (!parts.ledger.lookupNeeded()) {
        return DeliveryLedger::Lookup::NotFound;
    }
    // A lost request still running could commit after the look-up found nothing.
    if (parts.lostRequests.pending() &&
        !parts.lostRequests.settle(parts.runner, parts.builder, parts.instance, error)) {
        return DeliveryLedger::Lookup::Failed;
    }
    DeliveryLedger::Lookup found =
        parts.ledger.lookup(parts.runner, parts.builder, parts.instance, fingerprint, error);
    if (found == DeliveryLedger::Lookup::Failed && error.errorClass == ErrorClass::ObjectMissing) {
        // Someone dropped the ledger: made again, it cannot hold the batch.
        parts.ledger.tablesChanged();
        if (!parts.ledger.ensureTables(parts.runner, parts.builder, error)) {
            return DeliveryLedger::Lookup::Failed;
        }
        found =
            parts.ledger.lookup(parts.runner, parts.builder, parts.instance, fingerprint, error);
    }
    if (found == DeliveryLedger::Lookup::Failed) {
        log()->error(
            "Failed to look the batch up in the delivery ledger: SQLSTATE %s, native error %d: %s",
            error.sqlState.c_str(), static_cast<int>(error.nativeError), error.message.c_str());
    }
    return found;
}

const std::vector<Reading*>& BatchDelivery::replay(const std::vector<Reading*>& readings) {
    if (!parts.replay.active()) {
        return readings;
    }
    joined = readings;
    parts.replay.take(parts.runner, parts.builder, parts.instance, joined);
    return joined;
}

bool BatchDelivery::settle() {
    std::vector<TableBatch*> settling;
    settling.reserve(tables.size());
    for (TableBatch& table : tables) {
        settling.push_back(&table);
    }
    return settler.settle(settling, error);
}

bool BatchDelivery::prepare(Attempt& attempt) {
    attempt.text = &parts.runner.batchText();
    while (true) {
        attempt.rejects = reserved;
        for (const auto& entry : diverted) {
            attempt.rejects.push_back(entry.second);
        }
        attempt.text->reset(parts.builder.getStatementSeparator(), SQLBuilder::rowSeparator());
        attempt.text->add(parts.builder.buildBegin());
        const size_t divertedBefore = diverted.size();
        if (!render(attempt)) {
            return false;
        }
        // Rows that still do not fit once their columns were lengthened are rejects now: the
        // text is rendered again without them.
        if (diverted.size() == divertedBefore) {
            break;
        }
    }
    for (const auto& table : attempt.rendered) {
        attempt.rows += table.rows.size();
    }
    buildStatements(attempt);
    return true;
}

BatchDelivery::Sent BatchDelivery::send(Attempt& attempt, StatementRunner::Outcome& outcome) {
    if (!parts.runner.findMode(outcome.error)) {
        // Nothing was sent: the session failed when asked what it runs.
        return Sent::Refused;
    }
    // One round trip when the driver runs several statements per request and the batch fits in
    // one: the request carries its own transaction.
    if (parts.runner.severalPerRequest() && attempt.text->requestCount() == 1) {
        return sendInOneRequest(attempt, outcome);
    }
    return sendInTransaction(attempt, outcome);
}

BatchDelivery::Sent BatchDelivery::sendInOneRequest(Attempt& attempt,
                                                    StatementRunner::Outcome& outcome) {
    const RequestText& text = *attempt.text;
    const size_t commit = text.statementCount() - 1;
    Transaction transaction(parts.client, parts.builder.buildRollback());
    outcome = parts.runner.run(text, 0, text.statementCount());
    if (outcome.success) {
        transaction.ended();
        return Sent::Committed;
    }
    error = outcome.error;
    const ErrorClass errorClass = error.errorClass;
    const bool commitFailed = outcome.completed == commit && outcome.suspects == 1;
    // The database refused a statement before the commit: nothing was committed. Any other
    // failure may have come after the commit reached the database, or left the request running.
    const bool inDoubt =
        commitFailed ||
        (errorClass != ErrorClass::Data && errorClass != ErrorClass::ObjectMissing &&
         errorClass != ErrorClass::ObjectExists && errorClass != ErrorClass::Limit);
    // A failed statement leaves the transaction open on Snowflake, with the statements before
    // it; a failed request may have left it open anywhere.
    const bool rolledBack = transaction.rollback();
    sessionClosed = sessionClosed || !rolledBack;
    if (!rolledBack && !inDoubt) {
        error = transaction.error();
        return Sent::Failed;
    }
    if (commitFailed) {
        attempt.commitFailed = true;
        log()->error("Failed to commit a batch of %zu rows: SQLSTATE %s, native error %d: %s",
                     attempt.rows, error.sqlState.c_str(), static_cast<int>(error.nativeError),
                     error.message.c_str());
        return Sent::InDoubt;
    }
    // From here on statements are counted from the first after BEGIN, as attempt.statements.
    const size_t statements = attempt.statements.size();
    outcome.completed = outcome.completed > 0 ? outcome.completed - 1 : 0;
    outcome.completed = std::min(outcome.completed, statements - 1);
    outcome.suspects = std::min(outcome.suspects, statements - outcome.completed);
    if (inDoubt) {
        return Sent::InDoubt;
    }
    return Sent::Refused;
}

BatchDelivery::Sent BatchDelivery::sendInTransaction(Attempt& attempt,
                                                     StatementRunner::Outcome& outcome) {
    Transaction transaction(parts.client);
    if (!transaction.began()) {
        error = transaction.error();
        log()->error("Failed to begin a transaction: SQLSTATE %s, native error %d: %s",
                     error.sqlState.c_str(), static_cast<int>(error.nativeError),
                     error.message.c_str());
        return Sent::Failed;
    }
    // The driver's transaction takes the place of the text's BEGIN and COMMIT.
    outcome = parts.runner.run(*attempt.text, 1, attempt.text->statementCount() - 1);
    if (!outcome.success) {
        if (!transaction.rollback()) {
            sessionClosed = true;
            error = transaction.error();
            return Sent::Failed;
        }
        return Sent::Refused;
    }
    if (transaction.commit() == Transaction::Commit::InDoubt) {
        sessionClosed = sessionClosed || transaction.sessionClosed();
        attempt.commitFailed = true;
        error = transaction.error();
        log()->error("Failed to commit a batch of %zu rows: SQLSTATE %s, native error %d: %s",
                     attempt.rows, error.sqlState.c_str(), static_cast<int>(error.nativeError),
                     error.message.c_str());
        return Sent::InDoubt;
    }
    return Sent::Committed;
}

bool BatchDelivery::recover(const Attempt& attempt, const StatementRunner::Outcome& outcome) {
    error = outcome.error;
    const std::vector<Statement>& statements = attempt.statements;
    const size_t failed = std::min(outcome.completed, statements.size() - 1);
    logFailure(attempt, outcome);
    const ErrorClass errorClass = error.errorClass;
    if (errorClass == ErrorClass::Data) {
        const size_t before = diverted.size();
        // The write's answer is about the failed statement alone when the driver said which one
        // it was.
        const StatementError refusal = error;
        if (!isolate(attempt, failed, outcome.suspects == 1 ? &refusal : nullptr)) {
            return false;
        }
        return diverted.size() != before;
    }
    if ((errorClass == ErrorClass::ObjectMissing || errorClass == ErrorClass::ObjectExists) &&
        !refreshed) {
        refreshed = true;
        return refreshTables(statements[failed]);
    }
    return false;
}

void BatchDelivery::logRejects(const std::vector<Reject>& rejects) {
    // One warning per table and cause, however many readings share it: a busy gateway's log
    // stays readable, and the reject table keeps every detail.
    struct Count {
        const Reject* first;
        size_t readings;
    };
    std::vector<Count> counts;
    std::map<std::pair<std::string, std::string>, size_t> positions;
    for (const Reject& reject : rejects) {
        log()->debug("Reading rejected from table '%s' (asset '%s'): %s", reject.table.c_str(),
                     reject.reading ? reject.reading->getAssetName().c_str() : "",
                     reject.reason.message.c_str());
        const std::string cause =
            !reject.cause.empty()
                ? reject.cause
                : reject.reason.sqlState + "/" + std::to_string(reject.reason.nativeError);
        auto position = positions.try_emplace({reject.table, cause}, counts.size());
        if (position.second) {
            counts.push_back(Count{&reject, 0});
        }
        ++counts[position.first->second].readings;
    }
    for (const Count& count : counts) {
        const Reject& first = *count.first;
        const std::string cause =
            !first.cause.empty()
                ? first.cause
                : "refused by the database, SQLSTATE " + first.reason.sqlState + ", native error " +
                      std::to_string(first.reason.nativeError) + ": " + first.reason.message;
        log()->warn("%zu %s rejected from table '%s', the first from asset '%s' at %s: %s",
                    count.readings, count.readings == 1 ? "reading" : "readings",
                    first.table.c_str(), first.reading ? first.reading->getAssetName().c_str() : "",
                    first.reading ? first.reading->getAssetDateUserTime(0, true).c_str() : "",
                    cause.c_str());
    }
}

BatchDelivery::Result BatchDelivery::report(const Attempt& attempt) {
    parts.ledger.committed(parts.runner, parts.builder);
    for (const auto& table : attempt.rendered) {
        if (!table.rows.empty()) {
            log()->debug("Sent %zu records to table '%s'", table.rows.size(),
                         table.batch->name.c_str());
        }
    }
    logRejects(attempt.rejects);
    Result result;
    result.delivered = true;
    result.rows = attempt.rows;
    result.rejects = attempt.rejects.size();
    result.tables = tables.size();
    result.requests = parts.runner.takeRequestCount();
    log()->info("Delivered %zu rows to %zu tables, %zu readings rejected, in %zu requests",
                result.rows, result.tables, result.rejects, result.requests);
    return result;
}

BatchDelivery::Result BatchDelivery::write() {
    for (int round = 0; round < MAX_ROUNDS; ++round) {
        Attempt attempt;
        if (!prepare(attempt)) {
            return fail(Result());
        }
        StatementRunner::Outcome outcome;
        switch (send(attempt, outcome)) {
            case Sent::Committed:
                return report(attempt);
            case Sent::Failed:
                return fail(Result());
            case Sent::InDoubt:
                if (!attempt.commitFailed) {
                    logFailure(attempt, outcome);
                }
                // The request may still run, or have committed: the next batch settles it and
                // looks the batch up before anything is written again.
                parts.ledger.markOutcomeUnknown();
                parts.lostRequests.lost();
                return fail(Result());
            case Sent::Refused:
                break;
        }
        if (!recover(attempt, outcome)) {
            return fail(Result());
        }
    }
    return fail(Result());
}

BatchDelivery::Result BatchDelivery::deliver(const std::vector<Reading*>& readings) {
    parts.runner.takeRequestCount();
    Result result;
    if (std::none_of(readings.begin(), readings.end(),
                     [](const Reading* reading) { return reading != nullptr; })) {
        result.delivered = true;
        return result;
    }
    fingerprint = BatchFingerprint::of(readings);
    // Known before the session's first request that may be lost.
    parts.lostRequests.identify(parts.runner, parts.builder);
    switch (lookUp()) {
        case DeliveryLedger::Lookup::Found:
            log()->info(
                "Batch of %zu readings found in the delivery ledger: it was delivered before, "
                "nothing is written again",
                readings.size());
            // So were the rejects replayed with it, when this instance sent it.
            parts.replay.committed();
            result.delivered = true;
            result.requests = parts.runner.takeRequestCount();
            return result;
        case DeliveryLedger::Lookup::Failed:
            return fail(result);
        case DeliveryLedger::Lookup::NotFound:
            break;
    }
    group(replay(readings));
    if (!settle()) {
        return fail(result);
    }
    result = write();
    if (result.delivered) {
        parts.replay.committed();
    }
    return result;
}
