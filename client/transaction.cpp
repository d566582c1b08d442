#include "client/transaction.h"

#include <utility>

#include "host/logger.h"

Transaction::Transaction(ODBCClient& odbcClient)
    : client(odbcClient), driverOwned(true), open(odbcClient.beginTransaction()) {
    if (!open) {
        failure = client.lastError();
    }
}

Transaction::Transaction(ODBCClient& odbcClient, std::string rollback)
    : client(odbcClient), driverOwned(false), rollbackStatement(std::move(rollback)), open(true) {}

Transaction::~Transaction() {
    if (open) {
        rollback();
    }
}

Transaction::Commit Transaction::commit() {
    if (client.commitTransaction()) {
        open = false;
        return Commit::Committed;
    }
    const StatementError commitFailure = client.lastError();
    // The commit may have reached the database before its answer was lost; whatever it left
    // open is taken back, or the session ends.
    rollback();
    failure = commitFailure;
    return Commit::InDoubt;
}

bool Transaction::rollback() {
    open = false;
    bool rolledBack = false;
    if (driverOwned) {
        rolledBack = client.rollbackTransaction();
    } else {
        rolledBack = client.executeRequest(rollbackStatement, 1, 0).success;
    }
    if (rolledBack) {
        return true;
    }
    closeSession(client.lastError());
    return false;
}

void Transaction::closeSession(const StatementError& why) {
    open = false;
    closed = true;
    failure = why;
    Logger::getLogger()->warn(
        "Rollback failed (SQLSTATE %s, native error %d: %s): the database session is closed, so "
        "that nothing of the transaction is committed",
        failure.sqlState.c_str(), static_cast<int>(failure.nativeError), failure.message.c_str());
    client.Destroy();
}
