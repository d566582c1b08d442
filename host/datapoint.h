#ifndef HOST_DATAPOINT_H
#define HOST_DATAPOINT_H

#include <string>

#include "host/datapoint_value.h"

// A named value inside a reading.
class Datapoint {
public:
    Datapoint(const std::string& name, const DatapointValue& value) : name(name), value(value) {}
    Datapoint(const std::string& name, DatapointValue&& value)
        : name(name), value(std::move(value)) {}

    const std::string& getName() const { return name; }
    const DatapointValue& getData() const { return value; }
    DatapointValue& getData() { return value; }
    // "name":value as used inside nested JSON.
    std::string toJSONProperty() const;

private:
    std::string name;
    DatapointValue value;
};

#endif
