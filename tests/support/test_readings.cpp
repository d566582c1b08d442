#include "tests/support/test_readings.h"

#include <stdexcept>

namespace varnholt {
namespace test {

ReadingBuilder::ReadingBuilder(const std::string& asset) : asset(asset) {}

ReadingBuilder::~ReadingBuilder() {
    for (Datapoint* datapoint : datapoints) {
        delete datapoint;
    }
}

ReadingBuilder& ReadingBuilder::text(const std::string& name, const std::string& value) {
    datapoints.push_back(new Datapoint(name, DatapointValue(value)));
    return *this;
}

ReadingBuilder& ReadingBuilder::integer(const std::string& name, int64_t value) {
    datapoints.push_back(new Datapoint(name, DatapointValue(value)));
    return *this;
}

ReadingBuilder& ReadingBuilder::real(const std::string& name, double value) {
    datapoints.push_back(new Datapoint(name, DatapointValue(value)));
    return *this;
}

ReadingBuilder& ReadingBuilder::value(const std::string& name, const DatapointValue& value) {
    datapoints.push_back(new Datapoint(name, value));
    return *this;
}

ReadingBuilder& ReadingBuilder::at(const std::string& time) {
    timestamp = time;
    return *this;
}

std::unique_ptr<Reading> ReadingBuilder::build() {
    auto reading = std::make_unique<Reading>(asset, std::move(datapoints));
    datapoints.clear();
    if (!timestamp.empty()) {
        struct timeval tv;
        if (!Reading::parseTimestamp(timestamp, tv)) {
            throw std::invalid_argument("bad test timestamp: " + timestamp);
        }
        reading->setTimestamp(tv);
        reading->setUserTimestamp(tv);
    }
    return reading;
}

void Batch::add(std::unique_ptr<Reading> reading) {
    readingPointers.push_back(reading.get());
    owned.push_back(std::move(reading));
}

void Batch::addNull() {
    readingPointers.push_back(nullptr);
}

}  // namespace test
}  // namespace varnholt
