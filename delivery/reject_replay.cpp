#include "delivery/reject_replay.h"

#include <unordered_set>
#include <utility>

#include "delivery/delivery_ledger.h"
#include "delivery/rejected_reading.h"
#include "delivery/statement_runner.h"
#include "host/logger.h"
#include "host/reading.h"
#include "mapping/reading_parser.h"

namespace {

Logger* log() {
    return Logger::getLogger();
}

void logFailure(const char* what, const StatementError& error) {
    log()->warn("Failed to %s: SQLSTATE %s, native error %d: %s", what, error.sqlState.c_str(),
                static_cast<int>(error.nativeError), error.message.c_str());
}

}  // namespace

RejectReplay::RejectReplay() = default;

RejectReplay::~RejectReplay() = default;

void RejectReplay::setEnabled(bool on) {
    if (on && !enabled) {
        finished = false;
        backfilled = false;
        pass = RejectedReading::newId();
        totalLanded = totalRefused = totalUnreplayable = 0;
    }
    enabled = on;
    if (!on) {
        pass.clear();
    }
    entries.clear();
    idOf.clear();
}

bool RejectReplay::backfill(StatementRunner& runner, const SQLBuilder& builder,
                            const std::string& instance) {
    if (backfilled) {
        return true;
    }
    const StatementRunner::Outcome outcome =
        runner.run({builder.buildRejectIdBackfill(DeliveryLedger::REJECT_TABLE, instance)});
    if (!outcome.success) {
        logFailure("give rejected readings of an earlier version an id to replay them by",
                   outcome.error);
        return false;
    }
    backfilled = true;
    return true;
}

void RejectReplay::take(StatementRunner& runner, const SQLBuilder& builder,
                        const std::string& instance, std::vector<Reading*>& batch) {
    entries.clear();
    idOf.clear();
    landed = refused = unreplayable = 0;
    if (!active() || !backfill(runner, builder, instance)) {
        return;
    }
    const StatementRunner::Outcome outcome =
        runner.run({builder.buildRejectReplaySelect(DeliveryLedger::REJECT_TABLE, instance, pass,
                                                    MAX_PER_BATCH)},
                   Results::Read);
    if (!outcome.success || outcome.results.empty()) {
        logFailure("read rejected readings to replay", outcome.error);
        return;
    }
    const auto& rows = outcome.results.front().rows;
    if (rows.empty()) {
        finish();
        return;
    }
    entries.reserve(rows.size());
    for (const auto& row : rows) {
        Entry entry;
        entry.id = row.size() > 0 ? row[0] : std::string();
        const std::string json = row.size() > 1 ? row[1] : std::string();
        try {
            std::vector<std::unique_ptr<Reading>> readings = ReadingParser::parse(json);
            if (readings.size() != 1) {
                throw ReadingParseError("the text holds " + std::to_string(readings.size()) +
                                        " readings, not one");
            }
            entry.reading = std::move(readings.front());
        } catch (const ReadingParseError& error) {
            // Kept where it is, marked with the pass so that the pass moves on.
            const std::string part = RejectedReading::partKept(json);
            log()->warn("Rejected reading '%s' cannot be replayed: %s", entry.id.c_str(),
                        part.empty() ? error.what() : part.c_str());
        }
        entries.push_back(std::move(entry));
    }
    for (const Entry& entry : entries) {
        if (entry.reading) {
            idOf.emplace(entry.reading.get(), &entry.id);
            batch.push_back(entry.reading.get());
        }
    }
}

void RejectReplay::stamp(const Reading* reading, SQLBuilder::RejectRow& row) const {
    if (!active()) {
        return;
    }
    row.replayPass = pass;
    auto it = idOf.find(reading);
    if (it != idOf.end()) {
        row.id = *it->second;
    }
}

std::vector<std::string> RejectReplay::rowStatements(
    const SQLBuilder& builder, const std::string& instance,
    const std::vector<BatchRenderer::RenderedTable>& rendered, const std::vector<Reject>& rejects) {
    landed = refused = unreplayable = 0;
    if (entries.empty()) {
        return {};
    }
    std::unordered_set<const Reading*> written;
    for (const auto& table : rendered) {
        for (const auto& row : table.rows) {
            if (idOf.count(row.reading) && written.insert(row.reading).second) {
                ++landed;
            }
        }
    }
    for (const Reject& reject : rejects) {
        if (idOf.count(reject.reading) && written.insert(reject.reading).second) {
            ++refused;
        }
    }
    std::vector<std::string> deleted;
    std::vector<std::string> marked;
    for (const Entry& entry : entries) {
        (entry.reading && written.count(entry.reading.get()) ? deleted : marked)
            .push_back(entry.id);
    }
    unreplayable = marked.size();
    std::vector<std::string> statements;
    if (!deleted.empty()) {
        statements.push_back(
            builder.buildRejectDelete(DeliveryLedger::REJECT_TABLE, instance, deleted));
    }
    if (!marked.empty()) {
        statements.push_back(
            builder.buildRejectPassMark(DeliveryLedger::REJECT_TABLE, instance, pass, marked));
    }
    return statements;
}

void RejectReplay::committed() {
    if (entries.empty()) {
        return;
    }
    totalLanded += landed;
    totalRefused += refused;
    totalUnreplayable += unreplayable;
    log()->info("Replayed %zu rejected readings: %zu delivered to their tables, %zu refused again",
                entries.size() - unreplayable, landed, refused);
    entries.clear();
    idOf.clear();
}

void RejectReplay::finish() {
    finished = true;
    log()->info(
        "Replay of rejected readings done: %zu delivered to their tables; %zu refused again and "
        "%zu that could not be replayed are left in the reject table",
        totalLanded, totalRefused, totalUnreplayable);
}
