#ifndef MAPPING_ROW_READER_H
#define MAPPING_ROW_READER_H

#include <sys/time.h>

#include <cstddef>
#include <string>
#include <vector>

#include "host/reading.h"
#include "mapping/reading_mapper.h"

// Reads a reading's row as ReadingMapper::mapReadingInto writes it, without a record: the
// row's columns once per set of datapoint names, then each value straight from the reading,
// handed to the caller as text that lives only for the call. Renders a batch without a string
// per value.
class RowReader {
public:
    // Where a column's value comes from: one of these, or the position of a datapoint in the
    // reading's list.
    enum Source : int { ASSET = -1, USER_TIME = -2, SYSTEM_TIME = -3, INSTANCE = -4 };

    explicit RowReader(ReadingMapper& mapper);

    // The columns of the reading's row in the record's order, the source of each, and how many
    // datapoints were left out for want of a name.
    void readColumns(const Reading& reading, std::vector<std::string>& names,
                     std::vector<int>& sources, size_t& unnamed) const;

    // Calls use(text, length) with the text of the value from `source`, as the record would
    // hold it, and returns what it returns.
    template <typename Use>
    auto withValue(const Reading& reading, int source, Use&& use) {
        switch (source) {
            case ASSET: {
                decltype(auto) asset = reading.getAssetName();
                return use(asset.data(), asset.size());
            }
            case USER_TIME: {
                const std::string& text = timeText(userTime, reading, true);
                return use(text.data(), text.size());
            }
            case SYSTEM_TIME: {
                const std::string& text = timeText(systemTime, reading, false);
                return use(text.data(), text.size());
            }
            case INSTANCE:
                return use(instance.data(), instance.size());
            default:
                break;
        }
        const DatapointValue& value = reading.getReadingData()[source]->getData();
        if (value.getType() == DatapointValue::T_STRING) {
            decltype(auto) text = value.toStringValue();
            return use(text.data(), text.size());
        }
        // Numbers are short enough not to need memory of their own.
        scratch = mapper.datapointValueToString(value);
        return use(scratch.data(), scratch.size());
    }

    // The value from `source` as JSON (ReadingMapper::datapointValueToJSON), for a column that
    // holds JSON; the standard columns' texts as JSON strings. Valid until the next call.
    const std::string& jsonOf(const Reading& reading, int source);

private:
    // A timestamp's text for the last second seen: readings of one second differ only in their
    // microseconds, which are written into it instead of formatting the whole time again.
    struct TimeText {
        time_t second = 0;
        bool valid = false;
        std::string text;
    };
    const std::string& timeText(TimeText& cache, const Reading& reading, bool user);

    ReadingMapper& mapper;
    std::string instance;
    std::string hint;
    // The four standard columns' names, in the mapper's identifier case.
    std::vector<std::string> standardNames;
    TimeText userTime;
    TimeText systemTime;
    std::string scratch;
};

#endif
