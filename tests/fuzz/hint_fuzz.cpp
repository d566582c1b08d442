// Fuzzes the table choice of a reading that carries a hint datapoint: whatever the hint's text,
// the mapper must not crash and must return either the asset name or a table name that the
// hint's JSON carries, never one with a NUL byte in it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/datapoint.h"
#include "host/logger.h"
#include "host/reading.h"
#include "mapping/reading_mapper.h"
#include "sql/snowflake_sql_builder.h"

namespace {

const char ASSET[] = "fuzz_asset";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Lines are formatted (debug included) but go nowhere: the messages quote the hint's text.
    static const bool quiet = [] {
        Logger::getLogger()->setSink([](Logger::Level, const std::string&) {});
        return true;
    }();
    (void)quiet;
    static SnowflakeSQLBuilder builder;
    static ReadingMapper mapper("fuzz", &builder);

    const std::string hint(reinterpret_cast<const char*>(data), size);
    std::vector<Datapoint*> datapoints;
    datapoints.push_back(new Datapoint("snowflakeHint", DatapointValue(hint)));
    datapoints.push_back(new Datapoint("value", DatapointValue(static_cast<int64_t>(size))));
    const Reading reading(ASSET, datapoints);

    const std::string table = mapper.extractTableName(&reading);
    if (table.find('\0') != std::string::npos) {
        std::abort();
    }
    if (table != ASSET && hint.find("tablename") == std::string::npos) {
        std::abort();
    }
    // The table name is a JSON string of the hint, so never longer than the hint itself.
    if (table != ASSET && table.size() > hint.size()) {
        std::abort();
    }
    // A text beyond the size cap names no table, however it is built; removing backslashes and
    // one pair of quotes shortens it by at most that much.
    const size_t backslashes = static_cast<size_t>(std::count(hint.begin(), hint.end(), '\\'));
    if (table != ASSET && hint.size() > ReadingMapper::MAX_HINT_BYTES + backslashes + 2) {
        std::abort();
    }
    // The hint never becomes a column of the row.
    const DatabaseRecord record = mapper.mapReadingToRecord(&reading);
    if (record.hasColumn("snowflakeHint") || !record.hasColumn("value")) {
        std::abort();
    }
    return 0;
}
