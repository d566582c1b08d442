#ifndef CLIENT_STATEMENT_ERROR_H
#define CLIENT_STATEMENT_ERROR_H

#include <cstdint>
#include <string>

#include "client/error_classification.h"

// What the driver said about the last failed call: the first diagnostic record, and what it
// means to the plugin, worked out once where the record is read.
struct StatementError {
    std::string sqlState;
    int32_t nativeError = 0;
    std::string message;
    ErrorClass errorClass = ErrorClass::Other;

    static StatementError classified(std::string sqlState, int32_t nativeError,
                                     std::string message);
};

#endif
