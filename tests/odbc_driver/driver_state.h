#ifndef TESTS_ODBC_DRIVER_DRIVER_STATE_H
#define TESTS_ODBC_DRIVER_DRIVER_STATE_H

#include <sql.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace scripted {

struct Diagnostic {
    std::string sqlState;
    int32_t nativeError = 0;
    std::string message;
};

// A return code with the diagnostic records that go with it.
struct Outcome {
    SQLRETURN returnCode = SQL_SUCCESS;
    std::vector<Diagnostic> diagnostics;
};

// A scripted outcome of a call that carries no statement (autocommit, commit, rollback).
struct CallScript {
    Outcome outcome;
    bool killConnection = false;
    // Calls it still answers; -1: unlimited. Used up, the call succeeds again.
    int remaining = -1;
};

// The calls that end up in the journal as pseudo-entries.
enum class Call { AUTOCOMMIT_OFF, AUTOCOMMIT_ON, COMMIT, ROLLBACK };

// How the driver treats a request of several statements and the Snowflake driver's statement
// attribute that announces their number.
enum class MultiStatement {
    SNOWFLAKE,  // takes the attribute; the count must match it (default 1)
    POSTGRES,   // refuses the attribute; runs the statements as they come
    SINGLE,     // refuses the attribute and any request of more than one statement
    SESSION,    // takes the attribute but ignores it; the session setting decides (default 1)
};

// How the driver answers one statement text.
struct StatementEntry {
    std::string match;
    bool prefix = true;
    bool contains = false;
    SQLRETURN returnCode = SQL_SUCCESS;
    std::vector<Diagnostic> diagnostics;
    std::vector<std::string> columns;
    std::vector<std::vector<std::optional<std::string>>> rows;
    bool failNumResultCols = false;
    std::vector<int> failDescribeColumns;
    std::vector<std::pair<int, int>> failGetData;
    bool killConnection = false;

    bool matches(const char* text, size_t length) const;
    bool describeFails(int column) const;
    bool getDataFails(int row, int column) const;
};

// What one statement of a request came to.
struct StatementResult {
    // The script entry that answered; null when none did or the statement was refused.
    std::shared_ptr<const StatementEntry> entry;
    Outcome outcome;
    // What SQLRowCount reports: the rows of a scripted result set, else the rows an INSERT
    // carries.
    long rowCount = 0;
    bool killConnection = false;
};

// The script and what the driver has seen, shared by every handle of the process.
// Tests change it through the exported control functions while the driver
// manager routes ODBC calls here, so every access holds the mutex.
class DriverState {
public:
    static DriverState& get();

    // Applies a JSON script (see apply() in the source for the members).
    // Returns false with a message when the text is not a valid script.
    bool apply(const char* json, std::string& error);
    // Picks up SCRIPTED_ODBC_SCRIPT / SCRIPTED_ODBC_JOURNAL.
    void loadFromEnvironment();

    Outcome connect(const std::string& connectionString);
    void disconnected();
    Outcome allocStatement() const;
    Outcome connectAttr() const;
    Outcome dbmsName(std::string& name) const;
    // Dead when the whole driver was declared dead, or when `killedAt` holds the
    // current revival generation (killConnection on that connection).
    bool connectionDead(uint64_t killedAt) const;
    uint64_t revival() const;

    // Runs a request: refuses it as a whole (nothing journaled) or journals and answers its
    // statements in order up to the first that fails. `declaredCount`: the statement count
    // the caller announced on its statement handle, if any; `anyCount`: the connection's
    // session allows any number of statements per request (set by the statement
    // "ALTER SESSION SET MULTI_STATEMENT_COUNT = 0"). Never empty.
    std::vector<StatementResult> execute(const char* text, size_t length,
                                         std::optional<long> declaredCount, bool& anyCount);
    // Journals the call's pseudo-entry and returns its scripted outcome.
    CallScript call(Call which);
    MultiStatement multiStatement() const;

    // Counts a call of the named ODBC function.
    void counted(const char* function);
    // How often the named function was called since the last reset or "clearCalls".
    int callCount(const std::string& function) const;

    std::string journalJson() const;
    std::string lastConnectionString() const;
    int connectCount() const;
    int disconnectCount() const;

    void handleAllocated() { ++openHandles; }
    void handleFreed() { --openHandles; }
    int handlesOpen() const { return openHandles.load(); }

private:
    struct Slot {
        std::shared_ptr<const StatementEntry> entry;
        int remaining = -1;
    };

    DriverState() = default;
    void resetLocked();
    void journalLocked(const std::string& text);
    void appendToJournalFile(const char* text, size_t length) const;
    StatementResult answerLocked(const std::string& statement);

    mutable std::mutex mutex;
    Outcome connectOutcome;
    Outcome allocOutcome;
    Outcome connectAttrOutcome;
    std::string dbms = "ScriptedDB";
    SQLRETURN dbmsReturnCode = SQL_SUCCESS;
    bool dead = false;
    uint64_t revivalGeneration = 1;
    std::vector<Slot> statements;
    CallScript calls[4];
    MultiStatement multiStatementMode = MultiStatement::POSTGRES;
    bool snowflakeLimits = true;
    bool journaling = true;
    std::vector<std::string> journal;
    std::map<std::string, int> callCounts;
    std::string journalFile;
    std::string loadedScriptFile;
    std::string connectionString;
    int connects = 0;
    int disconnects = 0;
    std::atomic<int> openHandles{0};
};

}  // namespace scripted

#endif
