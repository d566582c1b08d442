#include "host/datapoint.h"

std::string Datapoint::toJSONProperty() const {
    return DatapointValue::quoteJSON(name) + ":" + value.toString();
}
