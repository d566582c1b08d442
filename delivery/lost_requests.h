#ifndef DELIVERY_LOST_REQUESTS_H
#define DELIVERY_LOST_REQUESTS_H

#include <cstddef>
#include <string>
#include <vector>

#include "client/statement_error.h"

class SQLBuilder;
class StatementRunner;

// Requests whose answer never came. The database keeps running a request after its connection
// is gone (Snowflake does not abort a detached query by default), so a batch's request may still
// commit after the plugin reconnected and found nothing in the ledger. Before the ledger is
// trusted again, every such request is cancelled and waited for:
//   - the id of each session is read when it starts (CURRENT_SESSION());
//   - after a loss, the next session cancels that session's queries and reads its query history
//     until none is running;
//   - a new instance (the host may have restarted after a loss) and a session whose id could not
//     be read do the same for every session of the user running a request that writes the
//     instance's ledger row.
// When that cannot be confirmed, the batch fails and waits for the host to send it again.
class LostRequests {
public:
    // Look-ups of the query history after a cancel, and the pause between two of them.
    static constexpr int CHECKS = 5;
    static constexpr int CHECK_PAUSE_MS = 200;

    // A new session: its id is read before its first request that may be lost. The query
    // history is read with TABLE(...) where `tableKeyword` (Snowflake; not the emulator).
    void sessionStarted(bool tableKeyword);
    // Reads the session's id when it is not known yet; a failure is only logged (a later loss
    // is then settled by the user's query history).
    void identify(StatementRunner& runner, const SQLBuilder& builder);
    // Another database: the sessions of the one before are not settled there, and any running
    // request of the instance is looked for again.
    void reset();
    // The outcome of a request of the current session is unknown.
    void lost();
    // Whether something must be settled before the ledger is trusted.
    bool pending() const { return searchDue || !unsettled.empty(); }
    // Cancels and waits for the lost requests; false with `error` set when that could not be
    // confirmed.
    bool settle(StatementRunner& runner, const SQLBuilder& builder, const std::string& instance,
                StatementError& error);

private:
    bool search(StatementRunner& runner, const SQLBuilder& builder, const std::string& instance,
                StatementError& error);
    bool settleSession(StatementRunner& runner, const SQLBuilder& builder,
                       const std::string& session, StatementError& error);

    std::string current;
    bool identified = false;
    bool tableKeyword = true;
    // Sessions that lost a request and may still run it.
    std::vector<std::string> unsettled;
    // The sessions are found by the request they run: a new instance, or a loss in a session of
    // unknown id.
    bool searchDue = true;
};

#endif
