#include "mapping/reading_parser.h"

#include <limits>
#include <set>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

namespace {

constexpr unsigned PARSE_FLAGS =
    rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseIterativeFlag |
    rapidjson::kParseFullPrecisionFlag | rapidjson::kParseValidateEncodingFlag;

// A failure inside one reading; the caller adds where the reading starts.
class ValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string text(const rapidjson::Value& value) {
    return std::string(value.GetString(), value.GetStringLength());
}

const char* kindName(const rapidjson::Value& value) {
    switch (value.GetType()) {
        case rapidjson::kNullType:
            return "null";
        case rapidjson::kFalseType:
        case rapidjson::kTrueType:
            return "a boolean";
        case rapidjson::kObjectType:
            return "an object";
        case rapidjson::kArrayType:
            return "an array";
        case rapidjson::kStringType:
            return "a string";
        case rapidjson::kNumberType:
            return "a number";
    }
    return "a value";
}

DatapointValue toValue(const rapidjson::Value& value, const std::string& path, int depth);

// Takes ownership of the datapoints built so far if a later child fails.
struct DatapointList {
    std::vector<Datapoint*> items;
    DatapointList() = default;
    DatapointList(const DatapointList&) = delete;
    DatapointList& operator=(const DatapointList&) = delete;
    ~DatapointList() {
        for (Datapoint* datapoint : items) {
            delete datapoint;
        }
    }
    std::vector<Datapoint*> release() {
        std::vector<Datapoint*> released;
        released.swap(items);
        return released;
    }
};

void addDatapoints(const rapidjson::Value& object, const std::string& path, int depth,
                   DatapointList& list) {
    std::set<std::string> names;
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
        std::string name = text(it->name);
        if (!names.insert(name).second) {
            throw ValueError("duplicate datapoint '" + path + name + "'");
        }
        DatapointValue child = toValue(it->value, path + name, depth + 1);
        list.items.push_back(new Datapoint(name, std::move(child)));
    }
}

DatapointValue toValue(const rapidjson::Value& value, const std::string& path, int depth) {
    if (depth > ReadingParser::MAX_DEPTH) {
        throw ValueError("datapoint '" + path + "' is nested deeper than " +
                         std::to_string(ReadingParser::MAX_DEPTH) + " levels");
    }
    if (value.IsString()) {
        return DatapointValue(text(value));
    }
    if (value.IsNull()) {
        // What the reject's JSON holds for a float that is NaN or infinite.
        return DatapointValue(std::numeric_limits<double>::quiet_NaN());
    }
    if (value.IsInt64()) {
        return DatapointValue(static_cast<int64_t>(value.GetInt64()));
    }
    if (value.IsUint64()) {
        throw ValueError("datapoint '" + path + "': integer " + std::to_string(value.GetUint64()) +
                         " does not fit in 64 bits");
    }
    if (value.IsDouble()) {
        return DatapointValue(value.GetDouble());
    }
    if (value.IsObject()) {
        DatapointList children;
        addDatapoints(value, path + ".", depth, children);
        return DatapointValue(children.release(), true);
    }
    if (value.IsArray()) {
        bool numbers = true;
        for (const auto& element : value.GetArray()) {
            numbers = numbers && (element.IsNumber() || element.IsNull());
        }
        if (numbers) {
            std::vector<double> values;
            values.reserve(value.Size());
            for (const auto& element : value.GetArray()) {
                values.push_back(element.IsNull() ? std::numeric_limits<double>::quiet_NaN()
                                                  : element.GetDouble());
            }
            return DatapointValue(values);
        }
        DatapointList children;
        for (rapidjson::SizeType i = 0; i < value.Size(); ++i) {
            std::string index = std::to_string(i);
            DatapointValue child = toValue(value[i], path + "[" + index + "]", depth + 1);
            children.items.push_back(new Datapoint(index, std::move(child)));
        }
        return DatapointValue(children.release(), false);
    }
    throw ValueError("datapoint '" + path + "' is " + kindName(value) +
                     ", which no datapoint kind holds");
}

void readTimestamp(const rapidjson::Value& value, const char* member, struct timeval& tv) {
    if (!value.IsString()) {
        throw ValueError(std::string("\"") + member + "\" must be a string, not " +
                         kindName(value));
    }
    if (!Reading::parseTimestamp(text(value), tv)) {
        throw ValueError(std::string("\"") + member + "\" is not a time like " +
                         "\"2026-12-08 07:00:00.123456\": \"" + text(value) + "\"");
    }
}

std::unique_ptr<Reading> toReading(const rapidjson::Value& value) {
    if (!value.IsObject()) {
        throw ValueError(std::string("a reading must be an object, not ") + kindName(value));
    }
    const rapidjson::Value* asset = nullptr;
    const rapidjson::Value* data = nullptr;
    const rapidjson::Value* userTs = nullptr;
    const rapidjson::Value* ts = nullptr;
    for (auto it = value.MemberBegin(); it != value.MemberEnd(); ++it) {
        std::string name = text(it->name);
        const rapidjson::Value** slot = name == "asset"      ? &asset
                                        : name == "readings" ? &data
                                        : name == "user_ts"  ? &userTs
                                        : name == "ts"       ? &ts
                                                             : nullptr;
        if (!slot) {
            throw ValueError("unknown member \"" + name +
                             "\" (expected asset, readings, user_ts, ts)");
        }
        if (*slot) {
            throw ValueError("member \"" + name + "\" appears twice");
        }
        *slot = &it->value;
    }
    if (!asset) {
        throw ValueError("member \"asset\" is missing");
    }
    if (!asset->IsString() || asset->GetStringLength() == 0) {
        throw ValueError("\"asset\" must be a non-empty string");
    }
    if (!data) {
        throw ValueError("member \"readings\" is missing");
    }
    if (!data->IsObject()) {
        throw ValueError(std::string("\"readings\" must be an object, not ") + kindName(*data));
    }

    struct timeval timestamp;
    struct timeval userTimestamp;
    if (ts) {
        readTimestamp(*ts, "ts", timestamp);
    }
    if (userTs) {
        readTimestamp(*userTs, "user_ts", userTimestamp);
    }

    DatapointList datapoints;
    addDatapoints(*data, "", 0, datapoints);
    auto reading = std::make_unique<Reading>(text(*asset), datapoints.release());
    // The constructor stamps both times with now; a missing user time follows the system time.
    if (ts) {
        reading->setTimestamp(timestamp);
    }
    reading->setUserTimestamp(userTs ? userTimestamp : reading->getTimestamp());
    return reading;
}

// 1-based line and column of a byte offset.
std::string position(const std::string& input, size_t offset) {
    size_t line = 1;
    size_t lineStart = 0;
    for (size_t i = 0; i < offset && i < input.size(); ++i) {
        if (input[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    std::string text =
        "line " + std::to_string(line) + ", column " + std::to_string(offset - lineStart + 1);
    return offset >= input.size() ? text + " (end of input)" : text;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::vector<std::unique_ptr<Reading>> ReadingParser::parse(const std::string& input) {
    if (input.find('\0') != std::string::npos) {
        throw ReadingParseError(position(input, input.find('\0')) + ": NUL byte in the input");
    }
    std::vector<std::unique_ptr<Reading>> readings;
    size_t offset = 0;
    // Lines are counted as the parse moves on; recounting from the start would be quadratic.
    size_t line = 1;
    size_t counted = 0;
    while (true) {
        while (offset < input.size() && isSpace(input[offset])) {
            ++offset;
        }
        if (offset >= input.size()) {
            break;
        }
        rapidjson::StringStream stream(input.c_str() + offset);
        rapidjson::Document document;
        document.ParseStream<PARSE_FLAGS>(stream);
        if (document.HasParseError()) {
            throw ReadingParseError(position(input, offset + document.GetErrorOffset()) + ": " +
                                    rapidjson::GetParseError_En(document.GetParseError()));
        }
        for (; counted < offset; ++counted) {
            line += input[counted] == '\n';
        }
        try {
            if (document.IsArray()) {
                for (rapidjson::SizeType i = 0; i < document.Size(); ++i) {
                    try {
                        readings.push_back(toReading(document[i]));
                    } catch (const ValueError& error) {
                        throw ValueError("array element " + std::to_string(i) + ": " +
                                         error.what());
                    }
                }
            } else {
                readings.push_back(toReading(document));
            }
        } catch (const ValueError& error) {
            throw ReadingParseError("line " + std::to_string(line) + ", reading " +
                                    std::to_string(readings.size() + 1) + ": " + error.what());
        }
        offset += stream.Tell();
    }
    return readings;
}
