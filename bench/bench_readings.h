#ifndef BENCH_BENCH_READINGS_H
#define BENCH_BENCH_READINGS_H

#include <cstddef>

#include "tests/support/test_readings.h"

namespace bench {

// A batch of `size` readings of ten datapoints each (four integers, three floats, three texts,
// some with quotes and backslashes to escape), spread round-robin over `assets` assets named
// pump0, pump1, ... Built once per (size, assets) and kept for the whole run, so setting a batch
// up is never timed.
const varnholt::test::Batch& readingBatch(size_t size, size_t assets);

// Heap bytes the readings of that batch hold (counted when it was built).
size_t readingBatchBytes(size_t size, size_t assets);

}  // namespace bench

#endif
