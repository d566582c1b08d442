#include "host/datapoint_value.h"

#include <charconv>
#include <cmath>

#include "host/datapoint.h"

namespace {
std::string formatDouble(double value) {
    if (!std::isfinite(value)) {
        // JSON has no literal for these; keep the text readable.
        return std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    }
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, result.ptr);
}
}  // namespace

DatapointValue::DatapointValue(const std::string& text) : type(T_STRING), text(text) {}
DatapointValue::DatapointValue(const char* text) : type(T_STRING), text(text) {}
DatapointValue::DatapointValue(int64_t integer) : type(T_INTEGER), integer(integer) {}
DatapointValue::DatapointValue(double number) : type(T_FLOAT), number(number) {}
DatapointValue::DatapointValue(const std::vector<double>& numbers)
    : type(T_FLOAT_ARRAY), numbers(numbers) {}

DatapointValue::DatapointValue(std::vector<Datapoint*> nested, bool isDict)
    : type(isDict ? T_DP_DICT : T_DP_LIST) {
    children.reserve(nested.size());
    for (Datapoint* child : nested) {
        children.emplace_back(child);
    }
}

DatapointValue DatapointValue::image(std::vector<uint8_t> bytes) {
    DatapointValue value;
    value.type = T_IMAGE;
    value.bytes = std::move(bytes);
    return value;
}

DatapointValue DatapointValue::dataBuffer(std::vector<uint8_t> bytes) {
    DatapointValue value;
    value.type = T_DATABUFFER;
    value.bytes = std::move(bytes);
    return value;
}

DatapointValue::DatapointValue(const DatapointValue& other)
    : type(other.type),
      text(other.text),
      integer(other.integer),
      number(other.number),
      numbers(other.numbers),
      bytes(other.bytes) {
    children.reserve(other.children.size());
    for (const auto& child : other.children) {
        children.emplace_back(new Datapoint(*child));
    }
}

DatapointValue& DatapointValue::operator=(const DatapointValue& other) {
    if (this != &other) {
        DatapointValue copy(other);
        *this = std::move(copy);
    }
    return *this;
}

DatapointValue::DatapointValue(DatapointValue&& other) noexcept = default;
DatapointValue& DatapointValue::operator=(DatapointValue&& other) noexcept = default;
DatapointValue::~DatapointValue() = default;

std::string DatapointValue::quoteJSON(const std::string& raw) {
    std::string quoted;
    quoted.reserve(raw.size() + 2);
    quoted.push_back('"');
    for (char c : raw) {
        if (c == '"' || c == '\\') {
            quoted.push_back('\\');
        }
        quoted.push_back(c);
    }
    quoted.push_back('"');
    return quoted;
}

std::string DatapointValue::toString() const {
    switch (type) {
        case T_STRING:
            return quoteJSON(text);
        case T_INTEGER:
            return std::to_string(integer);
        case T_FLOAT:
            return formatDouble(number);
        case T_FLOAT_ARRAY: {
            std::string out = "[";
            for (size_t i = 0; i < numbers.size(); ++i) {
                out += (i ? ", " : "") + formatDouble(numbers[i]);
            }
            return out + "]";
        }
        case T_DP_DICT:
        case T_DP_LIST: {
            std::string out = type == T_DP_DICT ? "{" : "[";
            for (size_t i = 0; i < children.size(); ++i) {
                if (i) {
                    out += ",";
                }
                out += type == T_DP_DICT ? children[i]->toJSONProperty()
                                         : children[i]->getData().toString();
            }
            return out + (type == T_DP_DICT ? "}" : "]");
        }
        case T_IMAGE:
            return "\"__IMAGE:" + std::to_string(bytes.size()) + "\"";
        case T_DATABUFFER:
            return "\"__DATABUFFER:" + std::to_string(bytes.size()) + "\"";
    }
    return "";
}
