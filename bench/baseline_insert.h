#ifndef BENCH_BASELINE_INSERT_H
#define BENCH_BASELINE_INSERT_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

class Reading;

namespace bench {

// The least work any implementation must do to deliver a batch: the INSERT statements the
// plugin sends for readings bound for tables it already knows, written straight from the
// readings into one reserved string, with the plugin's quoting, escaping, number formatting and
// statement limits, and without any intermediate record, row or value container. Every reading
// must carry the same datapoints in the same order (the table's columns). Each finished statement
// is handed to `sink`, after which `buffer` is reused for the next one.
void writeBaselineInserts(const std::vector<Reading*>& readings, const std::string& instanceName,
                          std::string& buffer, const std::function<void(std::string_view)>& sink);

// Capacity `buffer` needs so that writeBaselineInserts never grows it.
size_t baselineBufferCapacity();

}  // namespace bench

#endif
