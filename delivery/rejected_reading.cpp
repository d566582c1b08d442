#include "delivery/rejected_reading.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>

#include "host/datapoint_value.h"
#include "host/reading.h"

namespace {

using JSONWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void writeString(JSONWriter& writer, const std::string& text) {
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()), true);
}

void writeNumber(JSONWriter& writer, double number) {
    // JSON has no NaN or infinity; the row held NULL for them as well.
    if (std::isfinite(number)) {
        writer.Double(number);
    } else {
        writer.Null();
    }
}

void writeValue(JSONWriter& writer, const DatapointValue& value) {
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
                writeString(writer, child->getName());
                writeValue(writer, child->getData());
            }
            writer.EndObject();
            break;
        case DatapointValue::T_DP_LIST:
            writer.StartArray();
            for (const auto& child : value.getChildren()) {
                writeValue(writer, child->getData());
            }
            writer.EndArray();
            break;
        default:
            // Images and data buffers: what the row itself would have held.
            writeString(writer, value.toString());
            break;
    }
}

}  // namespace

std::string RejectedReading::toJSON(const Reading& reading) {
    rapidjson::StringBuffer buffer;
    JSONWriter writer(buffer);
    writer.StartObject();
    writer.Key("asset");
    writeString(writer, reading.getAssetName());
    writer.Key("user_ts");
    writeString(writer, reading.getAssetDateUserTime(0, true));
    writer.Key("ts");
    writeString(writer, reading.getAssetDateTime(0, true));
    writer.Key("readings");
    writer.StartObject();
    for (const Datapoint* datapoint : reading.getReadingData()) {
        if (!datapoint) {
            continue;
        }
        writeString(writer, datapoint->getName());
        writeValue(writer, datapoint->getData());
    }
    writer.EndObject();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

SQLBuilder::RejectRow RejectedReading::toRow(const Reject& reject, const std::string& instance) {
    SQLBuilder::RejectRow row;
    row.instance = instance;
    row.targetTable = reject.table;
    if (reject.reading) {
        row.asset = reject.reading->getAssetName();
        row.userTimestamp = reject.reading->getAssetDateUserTime(0, true) + "+00:00";
        row.readingJSON = toJSON(*reject.reading);
    }
    row.sqlState = reject.reason.sqlState;
    row.nativeCode = reject.reason.nativeError;
    row.message = reject.reason.message;
    row.id = newId();
    return row;
}

std::string RejectedReading::newId() {
    thread_local std::mt19937_64 generator((static_cast<uint64_t>(std::random_device()()) << 32) ^
                                           std::random_device()());
    uint64_t high = generator();
    uint64_t low = generator();
    // Version 4, variant 1.
    high = (high & ~0xF000ULL) | 0x4000ULL;
    low = (low & ~(0x3ULL << 62)) | (0x2ULL << 62);
    char text[37];
    std::snprintf(text, sizeof(text), "%08llx-%04llx-%04llx-%04llx-%012llx",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(high & 0xFFFF),
                  static_cast<unsigned long long>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return std::string(text, 36);
}
