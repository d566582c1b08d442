#ifndef CLIENT_ERROR_CLASSIFICATION_H
#define CLIENT_ERROR_CLASSIFICATION_H

#include <cstdint>
#include <string>

// What a failed statement or connection attempt says about its cause, as far as the plugin
// reacts differently to it.
enum class ErrorClass {
    Data,            // one row's value is refused; the other rows could be written
    ObjectMissing,   // a table or column the statement names does not exist (any more)
    ObjectExists,    // a table or column to be created exists already
    Connection,      // the link to the server, or the server itself, is gone or not ready
    SessionExpired,  // the session or its authentication token is no longer valid
    Credentials,     // the login itself is refused: user, password, key or token
    SessionSetup,    // the session lacks what statements need (a current schema, a warehouse):
                     // fixed in the account, taken up only by a new session
    Busy,            // the server gave the statement up for now: timeout, cancel, lock queue
    Limit,           // the statement is too large for the server
    Other,
};

// Classifies one diagnostic record of Snowflake or PostgreSQL. Pure: no logging, no state.
ErrorClass classifyError(const std::string& sqlState, int32_t nativeError,
                         const std::string& message);

// Whether running a failed statement again later could succeed, as executeQuery reports it
// (lastErrorRetriable), and the rule that decided, for its log line: `byMessage` when a phrase
// of the message decided rather than the SQLSTATE. Its rules predate the classes above and are
// narrower (whole SQLSTATEs compared with case, phrases searched with case); a refused value,
// as classifyError sees it, is never retriable. Pure: no logging, no state.
struct RetryVerdict {
    bool retriable;
    const char* label;
    bool byMessage;
};
RetryVerdict classifyRetry(const std::string& sqlState, int32_t nativeError,
                           const std::string& message);

// Short lower-case name for log lines, such as "data" or "object missing".
const char* errorClassName(ErrorClass errorClass);

#endif
