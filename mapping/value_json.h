#ifndef MAPPING_VALUE_JSON_H
#define MAPPING_VALUE_JSON_H

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

class DatapointValue;

using JSONWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// How a value without a JSON form of its own (an image, a data buffer) is written: as null, or
// as the text the value reads as.
enum class OpaqueValues { AS_NULL, AS_TEXT };

// Writes a datapoint's value as JSON: text as a JSON string, nested values as objects and
// arrays, NaN and infinities as null (JSON has neither).
void writeValueJSON(JSONWriter& writer, const DatapointValue& value, OpaqueValues opaque);

#endif
