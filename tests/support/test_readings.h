#ifndef TESTS_SUPPORT_TEST_READINGS_H
#define TESTS_SUPPORT_TEST_READINGS_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/reading.h"

namespace varnholt {
namespace test {

// Builds readings for tests: ReadingBuilder("pump").text("s", "x").integer("n", 5).build().
class ReadingBuilder {
public:
    explicit ReadingBuilder(const std::string& asset);
    ~ReadingBuilder();
    ReadingBuilder(const ReadingBuilder&) = delete;
    ReadingBuilder& operator=(const ReadingBuilder&) = delete;
    ReadingBuilder& text(const std::string& name, const std::string& value);
    ReadingBuilder& integer(const std::string& name, int64_t value);
    ReadingBuilder& real(const std::string& name, double value);
    ReadingBuilder& value(const std::string& name, const DatapointValue& value);
    // Both timestamps, as "YYYY-MM-DD HH:MM:SS.ffffff" UTC.
    ReadingBuilder& at(const std::string& timestamp);
    std::unique_ptr<Reading> build();

private:
    std::string asset;
    std::vector<Datapoint*> datapoints;
    std::string timestamp;
};

// Owns a batch of readings and hands out the pointer list the plugin takes.
class Batch {
public:
    void add(std::unique_ptr<Reading> reading);
    void addNull();
    const std::vector<Reading*>& pointers() const { return readingPointers; }
    size_t size() const { return readingPointers.size(); }

private:
    std::vector<std::unique_ptr<Reading>> owned;
    std::vector<Reading*> readingPointers;
};

}  // namespace test
}  // namespace varnholt

#endif
