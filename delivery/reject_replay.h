#ifndef DELIVERY_REJECT_REPLAY_H
#define DELIVERY_REJECT_REPLAY_H

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "delivery/batch_renderer.h"
#include "delivery/table_batch.h"
#include "sql/sql_builder.h"

class Reading;
class StatementRunner;

// Sends the instance's rejected readings again once their cause is fixed ("replayRejects"): a
// pass over the reject table, up to MAX_PER_BATCH rows with each batch, oldest first. Each row's
// JSON is rebuilt into a reading that joins the batch and goes the way of any other; in the
// batch's transaction its row is deleted, and a reading refused again is written back under the
// same id. So a row and its reading's landing commit together, and a commit whose answer was lost
// is covered by the batch's ledger row like the rest of the batch.
//
// Rows the pass wrote (refused again, new rejects) or could not read carry the pass's id and are
// not tried again in that pass; it ends when no other row of the instance is left. A pass starts
// when replay is turned on, that is with each start of the plugin. Rows of other instances are
// never read or written.
class RejectReplay {
public:
    static constexpr size_t MAX_PER_BATCH = 1000;

    RejectReplay();
    ~RejectReplay();
    RejectReplay(const RejectReplay&) = delete;
    RejectReplay& operator=(const RejectReplay&) = delete;

    // Turning replay on starts a new pass; on while on changes nothing.
    void setEnabled(bool enabled);
    // A pass is under way.
    bool active() const { return enabled && !finished; }

    // Appends up to MAX_PER_BATCH readings rebuilt from the instance's rejects to `batch`; they
    // live until the next take. A failed look costs a warning, and the batch goes on without.
    void take(StatementRunner& runner, const SQLBuilder& builder, const std::string& instance,
              std::vector<Reading*>& batch);
    // The reject row of a replayed reading keeps its id; every row a pass writes carries it.
    void stamp(const Reading* reading, SQLBuilder::RejectRow& row) const;
    // The statements that close the taken rows in the batch's transaction, given what the batch
    // made of their readings: rows whose reading landed, or is written back as a reject, are
    // deleted; the rest (unreadable, or with nowhere to go) are marked with the pass. Placed
    // before the batch's reject rows, which may reuse the ids.
    std::vector<std::string> rowStatements(
        const SQLBuilder& builder, const std::string& instance,
        const std::vector<BatchRenderer::RenderedTable>& rendered,
        const std::vector<Reject>& rejects);
    // The batch carrying the taken rows committed (or was found in the ledger when sent again
    // after its commit went unanswered): counts them and logs one line.
    void committed();

private:
    struct Entry {
        std::string id;
        std::unique_ptr<Reading> reading;  // null when the row's JSON could not be read
    };
    bool backfill(StatementRunner& runner, const SQLBuilder& builder, const std::string& instance);
    void finish();

    bool enabled = false;
    bool finished = false;
    bool backfilled = false;
    std::string pass;
    std::vector<Entry> entries;
    std::unordered_map<const Reading*, const std::string*> idOf;
    // What the last rowStatements found, and the pass's totals.
    size_t landed = 0;
    size_t refused = 0;
    size_t unreplayable = 0;
    size_t totalLanded = 0;
    size_t totalRefused = 0;
    size_t totalUnreplayable = 0;
};

#endif
