#ifndef DELIVERY_TABLE_BATCH_H
#define DELIVERY_TABLE_BATCH_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "client/statement_error.h"

class Reading;

// A reading of a table's share of a batch, and whether its row has the same columns as the row
// of the reading before it: then neither its schema nor its column order needs a look.
struct GroupedReading {
    const Reading* reading;
    bool sameColumnsAsPrevious;
};

// What a datapoint's values are over a batch, narrowest first: a column made for the widest of
// them takes them all. Json: nested values and float arrays, which a VARIANT column takes along
// with any other value as JSON.
enum class ValueKind { Integer, Float, Text, Json };

// One table's share of a batch on its way through the delivery.
struct TableBatch {
    std::string name;
    std::vector<GroupedReading> readings;
    // The widest kind of each datapoint's values, by name: the type of a column made for it.
    std::map<std::string, ValueKind> kinds;
    // Columns the database refused to add, with its answer: rows that carry them are rejects.
    std::map<std::string, StatementError> refusedColumns;
    // The table itself could not be made: every row is a reject.
    bool refused = false;
    StatementError refusal;
};

// A reading that goes to the reject table instead of its own, and why.
struct Reject {
    Reject(std::string target, const Reading* rejected, StatementError why,
           std::string summary = std::string())
        : table(std::move(target)),
          reading(rejected),
          reason(std::move(why)),
          cause(std::move(summary)) {}

    std::string table;
    const Reading* reading;
    // The whole story, as the reject table keeps it.
    StatementError reason;
    // The same for every reading refused for the same reason, with what fixes it: the log counts
    // a batch's rejects by it. Empty for a refusal of the database, counted by its SQLSTATE.
    std::string cause;
};

#endif
