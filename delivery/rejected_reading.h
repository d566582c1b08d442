#ifndef DELIVERY_REJECTED_READING_H
#define DELIVERY_REJECTED_READING_H

#include <cstddef>
#include <string>

#include "delivery/table_batch.h"
#include "sql/sql_builder.h"

class Reading;

// A reject as the reject table keeps it: enough to replay the reading and to see why it was
// refused.
//
// A reject row stays well within what one request may carry, whatever the reading: its JSON is
// kept whole up to MAX_READING_BYTES; a longer one is kept in part, as an object with the
// reading's asset and times, its size, a fingerprint and the start of its JSON:
// {"asset": ..., "user_ts": ..., "ts": ..., "kept_in_part": {"bytes": 1500123,
// "xxh128": "<32 hex digits of the whole JSON's hash>", "head": "<its first bytes>"}}.
// The asset, the target table and the reason are cut to MAX_TEXT_BYTES.
class RejectedReading {
public:
    static constexpr size_t MAX_READING_BYTES = 64 * 1024;
    static constexpr size_t MAX_TEXT_BYTES = 4096;

    // The reading as one JSON object in the north runner's input format: asset, user_ts, ts and
    // the datapoints under "readings".
    static std::string toJSON(const Reading& reading);
    // The JSON the reject table keeps of the reading: toJSON's, or the part of it kept.
    static std::string keptJSON(const Reading& reading);
    // For JSON that keeps only a part of its reading, why it cannot be replayed; else empty.
    static std::string partKept(const std::string& json);
    // The row of a reject, with a new id.
    static SQLBuilder::RejectRow toRow(const Reject& reject, const std::string& instance);
    // A random UUID (version 4) in its text form, as Snowflake's UUID_STRING() writes it.
    static std::string newId();
};

#endif
