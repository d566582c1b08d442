#include "tools/reading_source.h"

namespace varnholt {
namespace runner {

ReadingSource::~ReadingSource() = default;

}  // namespace runner
}  // namespace varnholt
