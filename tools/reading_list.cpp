#include "tools/reading_list.h"

#include <algorithm>

namespace varnholt {
namespace runner {

ReadingList::ReadingList(std::vector<std::unique_ptr<Reading>> readings)
    : readings(std::move(readings)) {}

void ReadingList::next(size_t count, std::vector<std::unique_ptr<Reading>>& batch) {
    batch.clear();
    size_t end = position + std::min(count, readings.size() - position);
    batch.reserve(end - position);
    // Moved out, so each reading is freed once its batch is done with.
    for (; position < end; ++position) {
        batch.push_back(std::move(readings[position]));
    }
}

}  // namespace runner
}  // namespace varnholt
