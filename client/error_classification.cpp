#include "client/error_classification.h"

#include <algorithm>
#include <cctype>
#include <iterator>

// The order of the tests, first decisive one wins:
//   1. Snowflake's native error code from the native-error field;
//   2. the same code read from an "NNNNNN (SSSSS):" prefix of the message, for drivers that do
//      not put it into the native-error field;
//   3. the SQLSTATE of the record, then the one of that prefix;
//   4. phrases of the message, searched without regard to letter case;
//   5. otherwise Other.
// Native codes come first because a SQLSTATE alone is too coarse: Snowflake's 22000 covers a text
// too long, a NULL in a NOT NULL column and a session without a current schema (090106), its
// 42601 both an existing column and too many expressions, and some states have changed between
// releases. So 22000 is a data error only with one of Snowflake's 100xxx data codes. PostgreSQL
// reports SQLSTATEs only, and never 22000 for a refused value.

namespace {

struct NativeCodes {
    int32_t first;
    int32_t last;
    ErrorClass errorClass;
};

constexpr NativeCodes NATIVE_CODES[] = {
    // A value refused: not recognised as a number or timestamp, out of range, too long, NULL in a
    // non-nullable column, beyond the user's character length limit or the largest value size.
    {100035, 100035, ErrorClass::Data},
    {100038, 100039, ErrorClass::Data},
    {100046, 100046, ErrorClass::Data},
    {100072, 100072, ErrorClass::Data},
    {100074, 100074, ErrorClass::Data},
    {100078, 100078, ErrorClass::Data},
    {100082, 100082, ErrorClass::Data},
    // Table does not exist, object does not exist, invalid identifier.
    {2003, 2003, ErrorClass::ObjectMissing},
    {2043, 2043, ErrorClass::ObjectMissing},
    {904, 904, ErrorClass::ObjectMissing},
    // Object already exists, column already exists.
    {2002, 2002, ErrorClass::ObjectExists},
    {1430, 1430, ErrorClass::ObjectExists},
    // Session token expired, session gone, authentication token expired.
    {390104, 390104, ErrorClass::SessionExpired},
    {390111, 390112, ErrorClass::SessionExpired},
    {390114, 390114, ErrorClass::SessionExpired},
    // Wrong user or password, invalid JWT and the other key-pair errors, OAuth token refused.
    {390100, 390100, ErrorClass::Credentials},
    {390144, 390144, ErrorClass::Credentials},
    {394300, 394306, ErrorClass::Credentials},
    {390303, 390303, ErrorClass::Credentials},
    {390318, 390318, ErrorClass::Credentials},
    // No current schema in the session (Snowflake reports it with 22000), no active warehouse.
    {90106, 90106, ErrorClass::SessionSetup},
    {606, 606, ErrorClass::SessionSetup},
    // Warehouse suspended: it resumes, or someone resumes it.
    {608, 608, ErrorClass::Connection},
    // Statement or warehouse timeout, canceled, lock queue full.
    {604, 604, ErrorClass::Busy},
    {625, 625, ErrorClass::Busy},
    {630, 630, ErrorClass::Busy},
    // Too many expressions in a list.
    {1795, 1795, ErrorClass::Limit},
    // The request's statement count does not match the one announced.
    {8, 8, ErrorClass::Other},
};

// Snowflake's codes of refused values; the SQLSTATE 22000 means a data error only with one.
constexpr int32_t FIRST_DATA_CODE = 100000;
constexpr int32_t LAST_DATA_CODE = 100999;
constexpr const char* GENERIC_DATA_STATE = "22000";

// A two-character entry is a SQLSTATE class and matches every state of that class.
struct StateRule {
    const char* state;
    ErrorClass errorClass;
};

constexpr StateRule STATE_RULES[] = {
    {"22", ErrorClass::Data},
    {"23", ErrorClass::Data},
    {"54000", ErrorClass::Data},  // PostgreSQL: a value or row beyond a size limit
    {"42S02", ErrorClass::ObjectMissing},
    {"42S22", ErrorClass::ObjectMissing},
    {"42P01", ErrorClass::ObjectMissing},
    {"42703", ErrorClass::ObjectMissing},
    {"42S01", ErrorClass::ObjectExists},
    {"42S21", ErrorClass::ObjectExists},
    {"42P07", ErrorClass::ObjectExists},
    {"42701", ErrorClass::ObjectExists},
    {"42710", ErrorClass::ObjectExists},
    {"08", ErrorClass::Connection},
    {"HYT00", ErrorClass::Connection},
    {"HYT01", ErrorClass::Connection},
    {"57P01", ErrorClass::Connection},  // administrator shutdown, session terminated
    {"57P02", ErrorClass::Connection},  // crash shutdown
    {"57P03", ErrorClass::Connection},  // cannot connect now; Snowflake: no warehouse running
    {"57014", ErrorClass::Busy},        // timeout or cancel
    {"HY008", ErrorClass::Busy},        // ODBC: operation canceled
    {"40001", ErrorClass::Busy},        // serialization failure
    {"40P01", ErrorClass::Busy},        // deadlock detected
    {"28", ErrorClass::Credentials},
    {"54001", ErrorClass::Limit},  // PostgreSQL: statement too complex
};

// Every phrase of a rule must occur in the message. Phrases are lower case.
struct MessageRule {
    const char* phrases[2];
    ErrorClass errorClass;
};

constexpr MessageRule MESSAGE_RULES[] = {
    {{"authentication token has expired", nullptr}, ErrorClass::SessionExpired},
    {{"session no longer exists", nullptr}, ErrorClass::SessionExpired},
    {{"incorrect username or password", nullptr}, ErrorClass::Credentials},
    // PostgreSQL's refusal of a password, which its driver reports as 08001.
    {{"password authentication failed", nullptr}, ErrorClass::Credentials},
    {{"maximum number of expressions", nullptr}, ErrorClass::Limit},
    {{"already exists", nullptr}, ErrorClass::ObjectExists},
    {{"does not exist", nullptr}, ErrorClass::ObjectMissing},
    {{"invalid identifier", nullptr}, ErrorClass::ObjectMissing},
    {{"is too long and would be truncated", nullptr}, ErrorClass::Data},
    {{"numeric value", "is not recognized"}, ErrorClass::Data},
    {{"timestamp '", "is not recognized"}, ErrorClass::Data},
    {{"out of representable range", nullptr}, ErrorClass::Data},
    {{"non-nullable column", nullptr}, ErrorClass::Data},
    // Network failures, which Snowflake's driver reports as HY000 and the like.
    {{"connection reset", nullptr}, ErrorClass::Connection},
    {{"connection refused", nullptr}, ErrorClass::Connection},
    {{"could not connect", nullptr}, ErrorClass::Connection},
    {{"couldn't connect", nullptr}, ErrorClass::Connection},
    {{"couldn't resolve host", nullptr}, ErrorClass::Connection},
    {{"timeout was reached", nullptr}, ErrorClass::Connection},
    {{"timed out", nullptr}, ErrorClass::Connection},
    {{"broken pipe", nullptr}, ErrorClass::Connection},
    {{"failure when receiving data", nullptr}, ErrorClass::Connection},
    {{"server closed the connection", nullptr}, ErrorClass::Connection},
    {{"connection has been lost", nullptr}, ErrorClass::Connection},
};

constexpr size_t SQLSTATE_LENGTH = 5;
constexpr size_t NATIVE_CODE_DIGITS = 6;
// "NNNNNN (SSSSS):"
constexpr size_t PREFIX_LENGTH = NATIVE_CODE_DIGITS + 2 + SQLSTATE_LENGTH + 2;

bool findNative(int32_t nativeError, ErrorClass& found) {
    for (const NativeCodes& codes : NATIVE_CODES) {
        if (nativeError >= codes.first && nativeError <= codes.last) {
            found = codes.errorClass;
            return true;
        }
    }
    return false;
}

bool isDataCode(int32_t nativeError) {
    return nativeError >= FIRST_DATA_CODE && nativeError <= LAST_DATA_CODE;
}

// `nativeError`: the code that came with the state, for the one state that needs it.
bool findState(const std::string& state, int32_t nativeError, ErrorClass& found) {
    if (state.size() != SQLSTATE_LENGTH) {
        return false;
    }
    if (state == GENERIC_DATA_STATE && !isDataCode(nativeError)) {
        return false;
    }
    for (const StateRule& rule : STATE_RULES) {
        const std::string listed(rule.state);
        if (state.compare(0, listed.size(), listed) == 0) {
            found = rule.errorClass;
            return true;
        }
    }
    return false;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads "NNNNNN (SSSSS):" at the start of the message, after any "[...]" tags a driver puts in
// front. Only the start counts: further on, the message may quote values of the statement.
bool readPrefix(const std::string& message, int32_t& nativeError, std::string& state) {
    size_t at = 0;
    while (at < message.size() && (message[at] == ' ' || message[at] == '[')) {
        if (message[at] == '[') {
            const size_t close = message.find(']', at);
            if (close == std::string::npos) {
                return false;
            }
            at = close;
        }
        ++at;
    }
    const std::string rest = message.substr(std::min(at, message.size()), PREFIX_LENGTH);
    if (rest.size() != PREFIX_LENGTH ||
        !std::all_of(rest.begin(), rest.begin() + NATIVE_CODE_DIGITS, isDigit) ||
        rest.compare(NATIVE_CODE_DIGITS, 2, " (") != 0 ||
        rest.compare(NATIVE_CODE_DIGITS + 2 + SQLSTATE_LENGTH, 2, "):") != 0) {
        return false;
    }
    nativeError = static_cast<int32_t>(std::stol(rest.substr(0, NATIVE_CODE_DIGITS)));
    state = rest.substr(NATIVE_CODE_DIGITS + 2, SQLSTATE_LENGTH);
    return true;
}

bool findPhrase(const std::string& message, ErrorClass& found) {
    std::string lower(message);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const MessageRule& rule : MESSAGE_RULES) {
        const bool all = std::all_of(
            std::begin(rule.phrases), std::end(rule.phrases),
            [&](const char* p) { return p == nullptr || lower.find(p) != std::string::npos; });
        if (all) {
            found = rule.errorClass;
            return true;
        }
    }
    return false;
}

// The retry rules: each a list of whole SQLSTATEs, or a message that contains `subject` and at
// least one of `conditions`.
struct RetryStateRule {
    const char* states[6];
    bool retriable;
    const char* label;
};

constexpr RetryStateRule RETRY_STATE_RULES[] = {
    {{"08S01", "08001", "08004", "HYT00", "HYT01", "08S02"},
     true,
     "retriable (network/connection)"},
    {{"57014", "40001", "40P01", nullptr, nullptr, nullptr},
     true,
     "retriable (temporary resource)"},
    {{"42000", "42S02", "42S22", "42703", "28000", "42501"},
     false,
     "non-retriable (syntax/configuration)"},
};

struct RetryMessageRule {
    const char* subject;
    const char* conditions[2];
    bool retriable;
    const char* label;
};

constexpr RetryMessageRule RETRY_MESSAGE_RULES[] = {
    {"column", {"does not exist", "ambiguous"}, false, "non-retriable (column issue)"},
    {"table", {"does not exist", nullptr}, false, "non-retriable (table issue)"},
};

bool matches(const RetryMessageRule& rule, const std::string& message) {
    if (message.find(rule.subject) == std::string::npos) {
        return false;
    }
    return std::any_of(std::begin(rule.conditions), std::end(rule.conditions), [&](const char* c) {
        return c != nullptr && message.find(c) != std::string::npos;
    });
}

}  // namespace

RetryVerdict classifyRetry(const std::string& sqlState, int32_t nativeError,
                           const std::string& message) {
    // A refused value is refused again on every retry, whatever else the record says.
    if (classifyError(sqlState, nativeError, message) == ErrorClass::Data) {
        return {false, "non-retriable (data)", false};
    }
    if (sqlState.size() == SQLSTATE_LENGTH) {
        for (const RetryStateRule& rule : RETRY_STATE_RULES) {
            for (const char* listed : rule.states) {
                if (listed != nullptr && sqlState == listed) {
                    return {rule.retriable, rule.label, false};
                }
            }
        }
    }
    for (const RetryMessageRule& rule : RETRY_MESSAGE_RULES) {
        if (matches(rule, message)) {
            return {rule.retriable, rule.label, true};
        }
    }
    return {true, "retriable (unknown)", false};
}

ErrorClass classifyError(const std::string& sqlState, int32_t nativeError,
                         const std::string& message) {
    ErrorClass found = ErrorClass::Other;
    if (findNative(nativeError, found)) {
        return found;
    }
    int32_t prefixNative = 0;
    std::string prefixState;
    const bool hasPrefix = readPrefix(message, prefixNative, prefixState);
    if (hasPrefix && findNative(prefixNative, found)) {
        return found;
    }
    const int32_t code = hasPrefix && nativeError == 0 ? prefixNative : nativeError;
    if (findState(sqlState, code, found) || (hasPrefix && findState(prefixState, code, found))) {
        return found;
    }
    if (findPhrase(message, found)) {
        return found;
    }
    return ErrorClass::Other;
}

const char* errorClassName(ErrorClass errorClass) {
    switch (errorClass) {
        case ErrorClass::Data:
            return "data";
        case ErrorClass::ObjectMissing:
            return "object missing";
        case ErrorClass::ObjectExists:
            return "object exists";
        case ErrorClass::Connection:
            return "connection";
        case ErrorClass::SessionExpired:
            return "session expired";
        case ErrorClass::Credentials:
            return "credentials";
        case ErrorClass::SessionSetup:
            return "session setup";
        case ErrorClass::Busy:
            return "busy";
        case ErrorClass::Limit:
            return "limit";
        case ErrorClass::Other:
            break;
    }
    return "other";
}
