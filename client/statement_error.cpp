#include "client/statement_error.h"

#include <utility>

StatementError StatementError::classified(std::string sqlState, int32_t nativeError,
                                          std::string message) {
    StatementError error{std::move(sqlState), nativeError, std::move(message)};
    error.errorClass = classifyError(error.sqlState, error.nativeError, error.message);
    return error;
}
