#ifndef DELIVERY_TABLE_BATCH_H
#define DELIVERY_TABLE_BATCH_H

#include <map>
#include <string>
#include <vector>

#include "client/odbc_client.h"

class Reading;

// A reading of a table's share of a batch, and whether its row has the same columns as the row
// of the reading before it: then neither its schema nor its column order needs a look.
struct GroupedReading {
    const Reading* reading;
    bool sameColumnsAsPrevious;
};

// One table's share of a batch on its way through the delivery.
struct TableBatch {
    std::string name;
    std::vector<GroupedReading> readings;
    // Columns the database refused to add, with its answer: rows that carry them are rejects.
    std::map<std::string, StatementError> refusedColumns;
    // The table itself could not be made: every row is a reject.
    bool refused = false;
    StatementError refusal;
};

// A reading that goes to the reject table instead of its own, and why.
struct Reject {
    std::string table;
    const Reading* reading;
    StatementError reason;
};

#endif
