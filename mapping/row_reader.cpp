#include "mapping/row_reader.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "mapping/name_limit.h"

namespace {

// What mapReadingInto appends to both timestamps.
const char* const UTC_OFFSET = "+00:00";
constexpr size_t MICROS_DIGITS = 6;

bool validMicros(long micros) {
    return micros >= 0 && micros < 1000000;
}

// Writes the six digits of `micros` over text[at, at + 6).
void writeMicros(std::string& text, size_t at, long micros) {
    for (size_t i = MICROS_DIGITS; i > 0; --i) {
        text[at + i - 1] = static_cast<char>('0' + micros % 10);
        micros /= 10;
    }
}

// Whether the text ends in ".dddddd" of `micros` followed by the offset: then the digits can be
// written over for another time of the same second.
bool endsWithMicros(const std::string& text, long micros) {
    const size_t offset = std::strlen(UTC_OFFSET);
    if (!validMicros(micros) || text.size() < offset + MICROS_DIGITS + 1) {
        return false;
    }
    const size_t at = text.size() - offset - MICROS_DIGITS;
    if (text[at - 1] != '.') {
        return false;
    }
    std::string expected = text;
    writeMicros(expected, at, micros);
    return expected == text;
}

}  // namespace

RowReader::RowReader(ReadingMapper& readingMapper)
    : mapper(readingMapper),
      instance(readingMapper.getTolvaneInstance()),
      hint(readingMapper.getHintName()) {
    for (const char* name : {"asset_code", "user_ts", "ts", "tolvane"}) {
        standardNames.push_back(readingMapper.identifierFor(name));
    }
}

void RowReader::readColumns(const Reading& reading, std::vector<std::string>& names,
                            std::vector<int>& sources, size_t& unnamed) const {
    names.clear();
    sources.clear();
    unnamed = 0;
    if (!mapper.getSQLBuilder()) {
        return;
    }
    names.insert(names.end(), standardNames.begin(), standardNames.end());
    sources.insert(sources.end(), {ASSET, USER_TIME, SYSTEM_TIME, INSTANCE});
    const std::vector<Datapoint*>& datapoints = reading.getReadingData();
    std::string cleaned;
    std::string cased;
    for (size_t i = 0; i < datapoints.size(); ++i) {
        if (!datapoints[i]) {
            continue;
        }
        const std::string* name = &datapoints[i]->getName();
        if (name->find('\0') != std::string::npos) {
            cleaned.clear();
            std::copy_if(name->begin(), name->end(), std::back_inserter(cleaned),
                         [](char c) { return c != '\0'; });
            name = &cleaned;
        }
        if (NameLimit::exceeded(*name)) {
            cleaned = mapper.shortenName(*name);
            name = &cleaned;
        }
        if (name->empty()) {
            ++unnamed;
            continue;
        }
        if (*name == hint) {
            continue;
        }
        name = &mapper.identifierFor(*name, cased);
        // A name seen before keeps its place and takes the later value.
        const auto found = std::find(names.begin(), names.end(), *name);
        if (found != names.end()) {
            sources[static_cast<size_t>(found - names.begin())] = static_cast<int>(i);
        } else {
            names.push_back(*name);
            sources.push_back(static_cast<int>(i));
        }
    }
}

const std::string& RowReader::timeText(TimeText& cache, const Reading& reading, bool user) {
    const struct timeval& time = user ? reading.getUserTimestamp() : reading.getTimestamp();
    const long micros = static_cast<long>(time.tv_usec);
    if (cache.valid && cache.second == time.tv_sec && validMicros(micros)) {
        writeMicros(cache.text, cache.text.size() - std::strlen(UTC_OFFSET) - MICROS_DIGITS,
                    micros);
        return cache.text;
    }
    cache.text = user ? reading.getAssetDateUserTime(0, true) : reading.getAssetDateTime(0, true);
    cache.text += UTC_OFFSET;
    cache.second = time.tv_sec;
    cache.valid = endsWithMicros(cache.text, micros);
    return cache.text;
}

const std::string& RowReader::jsonOf(const Reading& reading, int source) {
    if (source >= 0) {
        scratch = ReadingMapper::datapointValueToJSON(reading.getReadingData()[source]->getData());
        return scratch;
    }
    std::string json = withValue(reading, source, [](const char* text, size_t length) {
        return ReadingMapper::textToJSON(text, length);
    });
    scratch = std::move(json);
    return scratch;
}
