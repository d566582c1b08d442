#ifndef TOOLS_READING_GENERATOR_H
#define TOOLS_READING_GENERATOR_H

#include <sys/time.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tools/reading_source.h"

namespace varnholt {
namespace runner {

// Made-up readings for load tests, built on demand. Reading i belongs to asset_<i mod assets>,
// carries "seq" = i and then `datapoints` values cycling through integer ("int_<j>"), float
// ("float_<j>") and text ("text_<j>"). Values depend only on i and j, and both timestamps are
// the start time plus i microseconds, so equal arguments give equal readings.
class ReadingGenerator : public ReadingSource {
public:
    ReadingGenerator(size_t count, size_t assets, size_t datapoints, const struct timeval& start);

    size_t total() const override { return count; }
    void next(size_t batchSize, std::vector<std::unique_ptr<Reading>>& batch) override;

    std::unique_ptr<Reading> make(size_t index) const;

private:
    size_t count;
    size_t assets;
    size_t datapoints;
    struct timeval start;
    size_t position = 0;
    std::vector<std::string> assetNames;
    std::vector<std::string> datapointNames;
};

}  // namespace runner
}  // namespace varnholt

#endif
