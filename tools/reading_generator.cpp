#include "tools/reading_generator.h"

#include <algorithm>
#include <cstdint>

namespace varnholt {
namespace runner {

ReadingGenerator::ReadingGenerator(size_t count, size_t assets, size_t datapoints,
                                   const struct timeval& start)
    : count(count), assets(std::max<size_t>(assets, 1)), datapoints(datapoints), start(start) {
    // Names are built once; a run may create millions of readings.
    size_t distinctAssets = std::min(this->assets, std::max<size_t>(count, 1));
    assetNames.reserve(distinctAssets);
    for (size_t k = 0; k < distinctAssets; ++k) {
        assetNames.push_back("asset_" + std::to_string(k));
    }
    static const char* const KINDS[] = {"int_", "float_", "text_"};
    datapointNames.reserve(datapoints);
    for (size_t j = 0; j < datapoints; ++j) {
        datapointNames.push_back(KINDS[j % 3] + std::to_string(j));
    }
}

std::unique_ptr<Reading> ReadingGenerator::make(size_t index) const {
    std::vector<Datapoint*> values;
    values.reserve(datapoints + 1);
    values.push_back(new Datapoint("seq", DatapointValue(static_cast<int64_t>(index))));
    for (size_t j = 0; j < datapoints; ++j) {
        switch (j % 3) {
            case 0:
                values.push_back(new Datapoint(
                    datapointNames[j],
                    DatapointValue(static_cast<int64_t>((index * 7919 + j * 104729) % 1000003))));
                break;
            case 1:
                // Always a fraction, so the value reads as a float whatever the text form.
                values.push_back(new Datapoint(
                    datapointNames[j], DatapointValue(static_cast<double>(index % 100000) * 0.25 +
                                                      static_cast<double>(j) + 0.125)));
                break;
            default:
                values.push_back(new Datapoint(
                    datapointNames[j],
                    DatapointValue("value " + std::to_string(index) + "/" + std::to_string(j))));
                break;
        }
    }
    auto reading =
        std::make_unique<Reading>(assetNames[index % assetNames.size()], std::move(values));
    struct timeval tv = start;
    uint64_t micros = static_cast<uint64_t>(start.tv_usec) + index;
    tv.tv_sec += static_cast<time_t>(micros / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    reading->setTimestamp(tv);
    reading->setUserTimestamp(tv);
    return reading;
}

void ReadingGenerator::next(size_t batchSize, std::vector<std::unique_ptr<Reading>>& batch) {
    batch.clear();
    size_t end = position + std::min(batchSize, count - position);
    batch.reserve(end - position);
    for (; position < end; ++position) {
        batch.push_back(make(position));
    }
}

}  // namespace runner
}  // namespace varnholt
