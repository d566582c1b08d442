#ifndef TOOLS_READING_LIST_H
#define TOOLS_READING_LIST_H

#include <memory>
#include <vector>

#include "tools/reading_source.h"

namespace varnholt {
namespace runner {

// Readings read beforehand (from a file), handed out in their order.
class ReadingList : public ReadingSource {
public:
    explicit ReadingList(std::vector<std::unique_ptr<Reading>> readings);

    size_t total() const override { return readings.size(); }
    void next(size_t count, std::vector<std::unique_ptr<Reading>>& batch) override;

private:
    std::vector<std::unique_ptr<Reading>> readings;
    size_t position = 0;
};

}  // namespace runner
}  // namespace varnholt

#endif
