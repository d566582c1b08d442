#ifndef CLIENT_TRANSACTION_H
#define CLIENT_TRANSACTION_H

#include <string>

#include "client/odbc_client.h"

// A transaction its owner holds: rolled back when it goes out of scope unless it ended first.
//
// On Snowflake a failed statement leaves the transaction open with the statements before it, and
// anything that ends it other than a rollback (a commit, switching autocommit on, any DDL) keeps
// them. So a rollback that fails, or whose answer never came, closes the session: Snowflake rolls
// back the open transaction of a session that ends, and nothing else is ever sent on it.
class Transaction {
public:
    enum class Commit {
        Committed,
        // The commit failed or its answer was lost: it may have reached the database.
        InDoubt,
    };

    // A transaction of the driver's: autocommit is switched off until it ends.
    explicit Transaction(ODBCClient& client);
    // A transaction that a request opens with its own BEGIN; `rollback` is the statement that
    // ends it when the request did not.
    Transaction(ODBCClient& client, std::string rollback);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Whether the transaction began (a driver's: autocommit went off).
    bool began() const { return open; }
    // The driver's commit.
    Commit commit();
    // The request ended the transaction itself (its COMMIT or ROLLBACK was answered).
    void ended() { open = false; }
    // False when the rollback failed: the session is closed then, and error() tells why.
    bool rollback();
    // Closes the session instead of rolling back, after a rollback that failed with `why`.
    void closeSession(const StatementError& why);
    // Whether the session was closed for a rollback that failed.
    bool sessionClosed() const { return closed; }
    // Why the last step failed.
    const StatementError& error() const { return failure; }

private:
    ODBCClient& client;
    const bool driverOwned;
    const std::string rollbackStatement;
    bool open;
    bool closed = false;
    StatementError failure;
};

#endif
