#ifndef MAPPING_READING_PARSER_H
#define MAPPING_READING_PARSER_H

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/reading.h"

// Input that cannot be turned into readings; the message names the line and the reading.
class ReadingParseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads readings written as JSON, the one reader of that form: the north runner's input and the
// reject table's "reading" texts (RejectedReading::toJSON writes them). The input is a sequence
// of top-level values, each one reading object or an array of them, so a single object, an array
// and JSON lines are all accepted. A reading is
// {"asset": text, "user_ts": time, "ts": time, "readings": {name: value, ...}}; the JSON type
// of each value picks its datapoint kind: a string is text, a number without fraction or
// exponent an integer, any other number a float, null a float without a value (JSON has no NaN
// or infinity), an object a dictionary, an array of numbers and nulls a float array, any other
// array a list.
class ReadingParser {
public:
    // Nesting of datapoint values beyond this is rejected rather than recursed into.
    static constexpr int MAX_DEPTH = 64;

    static std::vector<std::unique_ptr<Reading>> parse(const std::string& text);
};

#endif
