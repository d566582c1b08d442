#ifndef DELIVERY_REJECTED_READING_H
#define DELIVERY_REJECTED_READING_H

#include <string>

#include "delivery/table_batch.h"
#include "sql/sql_builder.h"

class Reading;

// A reject as the reject table keeps it: enough to replay the reading and to see why it was
// refused.
class RejectedReading {
public:
    // The reading as one JSON object in the north runner's input format: asset, user_ts, ts and
    // the datapoints under "readings".
    static std::string toJSON(const Reading& reading);
    // The row of a reject, with a new id.
    static SQLBuilder::RejectRow toRow(const Reject& reject, const std::string& instance);
    // A random UUID (version 4) in its text form, as Snowflake's UUID_STRING() writes it.
    static std::string newId();
};

#endif
