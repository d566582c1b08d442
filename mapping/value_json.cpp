#include "mapping/value_json.h"

#include <cmath>
#include <string>

#include "host/datapoint.h"
#include "host/datapoint_value.h"

namespace {

void writeString(JSONWriter& writer, const std::string& text) {
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()), true);
}

void writeNumber(JSONWriter& writer, double number) {
    if (std::isfinite(number)) {
        writer.Double(number);
    } else {
        writer.Null();
    }
}

}  // namespace

void writeValueJSON(JSONWriter& writer, const DatapointValue& value, OpaqueValues opaque) {
    switch (value.getType()) {
        case DatapointValue::T_STRING:
            writeString(writer, value.toStringValue());
            break;
        case DatapointValue::T_INTEGER:
            writer.Int64(value.toInt());
            break;
        case DatapointValue::T_FLOAT:
            writeNumber(writer, value.toDouble());
            break;
        case DatapointValue::T_FLOAT_ARRAY:
            writer.StartArray();
            for (double number : value.getFloatArray()) {
                writeNumber(writer, number);
            }
            writer.EndArray();
            break;
        case DatapointValue::T_DP_DICT:
            writer.StartObject();
            for (const auto& child : value.getChildren()) {
                const std::string& key = child->getName();
                writer.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()), true);
                writeValueJSON(writer, child->getData(), opaque);
            }
            writer.EndObject();
            break;
        case DatapointValue::T_DP_LIST:
            writer.StartArray();
            for (const auto& child : value.getChildren()) {
                writeValueJSON(writer, child->getData(), opaque);
            }
            writer.EndArray();
            break;
        default:
            if (opaque == OpaqueValues::AS_TEXT) {
                writeString(writer, value.toString());
            } else {
                writer.Null();
            }
            break;
    }
}
