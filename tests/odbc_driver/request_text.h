#ifndef TESTS_ODBC_DRIVER_REQUEST_TEXT_H
#define TESTS_ODBC_DRIVER_REQUEST_TEXT_H

#include <cstddef>
#include <string>
#include <vector>

namespace scripted {

// The statements of a request: the text cut at every ';' outside '...' literals (with ''
// and backslash escapes), "..." identifiers and $$...$$ strings, each piece trimmed of
// surrounding white space; empty pieces are left out.
std::vector<std::string> splitRequest(const char* text, size_t length);

// Rows of an INSERT ... VALUES statement: the parenthesised tuples of its VALUES list.
// 0 for any other statement.
size_t valuesRowCount(const std::string& statement);

}  // namespace scripted

#endif
