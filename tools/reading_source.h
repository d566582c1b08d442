#ifndef TOOLS_READING_SOURCE_H
#define TOOLS_READING_SOURCE_H

#include <cstddef>
#include <memory>
#include <vector>

#include "host/reading.h"

namespace varnholt {
namespace runner {

// Hands out readings batch by batch, so a large run never holds more than one batch.
class ReadingSource {
public:
    virtual ~ReadingSource();

    // How many readings the source yields in all; a stream, how many it has read so far.
    virtual size_t total() const = 0;
    // False for a stream, whose total is known only once it has ended.
    virtual bool bounded() const { return true; }
    // Replaces the batch's contents with up to `count` next readings; empty once exhausted.
    virtual void next(size_t count, std::vector<std::unique_ptr<Reading>>& batch) = 0;
};

}  // namespace runner
}  // namespace varnholt

#endif
