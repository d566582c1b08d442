#ifndef HOST_DATAPOINT_VALUE_H
#define HOST_DATAPOINT_VALUE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Datapoint;

// Stand-in for the host's datapoint value: a tagged union of the kinds a reading can carry.
class DatapointValue {
public:
    enum dataTagType {
        T_STRING = 0,
        T_INTEGER = 1,
        T_FLOAT = 2,
        T_FLOAT_ARRAY = 3,
        T_DP_DICT = 4,
        T_DP_LIST = 5,
        T_IMAGE = 6,
        T_DATABUFFER = 7
    };

    explicit DatapointValue(const std::string& text);
    explicit DatapointValue(const char* text);
    explicit DatapointValue(int64_t integer);
    explicit DatapointValue(int integer) : DatapointValue(static_cast<int64_t>(integer)) {}
    explicit DatapointValue(double number);
    explicit DatapointValue(const std::vector<double>& numbers);
    // Nested datapoints, taking ownership; isDict selects an object rather than a list.
    DatapointValue(std::vector<Datapoint*> children, bool isDict);
    static DatapointValue image(std::vector<uint8_t> bytes);
    static DatapointValue dataBuffer(std::vector<uint8_t> bytes);

    DatapointValue(const DatapointValue& other);
    DatapointValue& operator=(const DatapointValue& other);
    DatapointValue(DatapointValue&& other) noexcept;
    DatapointValue& operator=(DatapointValue&& other) noexcept;
    ~DatapointValue();

    dataTagType getType() const { return type; }
    const std::string& toStringValue() const { return text; }
    int64_t toInt() const { return integer; }
    double toDouble() const { return number; }
    const std::vector<double>& getFloatArray() const { return numbers; }
    const std::vector<std::unique_ptr<Datapoint>>& getChildren() const { return children; }
    const std::vector<uint8_t>& getBytes() const { return bytes; }

    // The value as text: strings as a JSON string literal (quotes around, inner double quotes
    // and backslashes escaped), numbers in decimal, nested kinds as JSON.
    std::string toString() const;

    static std::string quoteJSON(const std::string& text);

private:
    DatapointValue() = default;

    dataTagType type = T_STRING;
    std::string text;
    int64_t integer = 0;
    double number = 0.0;
    std::vector<double> numbers;
    std::vector<std::unique_ptr<Datapoint>> children;
    std::vector<uint8_t> bytes;
};

#endif
