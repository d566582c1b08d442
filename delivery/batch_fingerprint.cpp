#include "delivery/batch_fingerprint.h"

#include <xxhash.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "host/reading.h"

namespace {

struct StateDeleter {
    void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
};

// Collects the small pieces of a batch and hands them to the hash in large blocks: the hash
// of a byte sequence does not depend on how it is cut, and one call per piece cost more than
// the hashing itself.
class Feed {
public:
    explicit Feed(XXH3_state_t* hashState) : state(hashState) {}
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;

    void bytes(const void* data, size_t size) {
        if (size > sizeof(buffer) - used) {
            flush();
            if (size > sizeof(buffer)) {
                XXH3_128bits_update(state, data, size);
                return;
            }
        }
        std::memcpy(buffer + used, data, size);
        used += size;
    }
    // The length first, so that no two different sequences of texts give the same bytes.
    void text(const std::string& text) {
        const uint64_t length = text.size();
        bytes(&length, sizeof(length));
        bytes(text.data(), text.size());
    }
    void time(const struct timeval& time) {
        const int64_t fields[2] = {static_cast<int64_t>(time.tv_sec),
                                   static_cast<int64_t>(time.tv_usec)};
        bytes(fields, sizeof(fields));
    }
    void flush() {
        if (used > 0) {
            XXH3_128bits_update(state, buffer, used);
            used = 0;
        }
    }

private:
    XXH3_state_t* state;
    unsigned char buffer[16384];
    size_t used = 0;
};

}  // namespace

std::string BatchFingerprint::of(const std::vector<Reading*>& readings) {
    std::unique_ptr<XXH3_state_t, StateDeleter> state(XXH3_createState());
    if (!state || XXH3_128bits_reset(state.get()) == XXH_ERROR) {
        throw std::bad_alloc();
    }
    Feed feed(state.get());
    const uint64_t count = readings.size();
    feed.bytes(&count, sizeof(count));
    for (const Reading* reading : readings) {
        if (!reading) {
            continue;
        }
        feed.text(reading->getAssetName());
        feed.time(reading->getUserTimestamp());
        feed.time(reading->getTimestamp());
        const uint64_t datapoints = reading->getReadingData().size();
        feed.bytes(&datapoints, sizeof(datapoints));
        for (const Datapoint* datapoint : reading->getReadingData()) {
            if (!datapoint) {
                continue;
            }
            feed.text(datapoint->getName());
            const DatapointValue& value = datapoint->getData();
            const auto type = static_cast<int32_t>(value.getType());
            feed.bytes(&type, sizeof(type));
            // The common kinds by their own bytes, the rest by their text.
            switch (value.getType()) {
                case DatapointValue::T_STRING:
                    feed.text(value.toStringValue());
                    break;
                case DatapointValue::T_INTEGER: {
                    const int64_t integer = value.toInt();
                    feed.bytes(&integer, sizeof(integer));
                    break;
                }
                case DatapointValue::T_FLOAT: {
                    const double number = value.toDouble();
                    feed.bytes(&number, sizeof(number));
                    break;
                }
                default:
                    feed.text(value.toString());
                    break;
            }
        }
    }
    feed.flush();
    const XXH128_hash_t hash = XXH3_128bits_digest(state.get());
    char text[33];
    std::snprintf(text, sizeof(text), "%016llx%016llx",
                  static_cast<unsigned long long>(hash.high64),
                  static_cast<unsigned long long>(hash.low64));
    return std::string(text, 32);
}
