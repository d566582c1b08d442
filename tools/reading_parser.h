#ifndef TOOLS_READING_PARSER_H
#define TOOLS_READING_PARSER_H

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/reading.h"

namespace varnholt {
namespace runner {

// Input the runner cannot turn into readings; the message names the line and the reading.
class ReadingParseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads readings written as JSON: a sequence of top-level values, each one reading object or an
// array of them, so a single object, an array and JSON lines are all accepted. A reading is
// {"asset": text, "user_ts": time, "ts": time, "readings": {name: value, ...}}; the JSON type
// of each value picks its datapoint kind.
class ReadingParser {
public:
    // Nesting of datapoint values beyond this is rejected rather than recursed into.
    static constexpr int MAX_DEPTH = 64;

    static std::vector<std::unique_ptr<Reading>> parse(const std::string& text);
};

}  // namespace runner
}  // namespace varnholt

#endif
