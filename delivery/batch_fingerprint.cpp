#include "delivery/batch_fingerprint.h"

#include <xxhash.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "host/reading.h"

namespace {

struct StateDeleter {
    void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
};

void update(XXH3_state_t* state, const std::string& text) {
    // The length first, so that no two different sequences of texts give the same bytes.
    const uint64_t length = text.size();
    XXH3_128bits_update(state, &length, sizeof(length));
    XXH3_128bits_update(state, text.data(), text.size());
}

void update(XXH3_state_t* state, const struct timeval& time) {
    const int64_t fields[2] = {static_cast<int64_t>(time.tv_sec),
                               static_cast<int64_t>(time.tv_usec)};
    XXH3_128bits_update(state, fields, sizeof(fields));
}

}  // namespace

std::string BatchFingerprint::of(const std::vector<Reading*>& readings) {
    std::unique_ptr<XXH3_state_t, StateDeleter> state(XXH3_createState());
    if (!state || XXH3_128bits_reset(state.get()) == XXH_ERROR) {
        throw std::bad_alloc();
    }
    const uint64_t count = readings.size();
    XXH3_128bits_update(state.get(), &count, sizeof(count));
    for (const Reading* reading : readings) {
        if (!reading) {
            continue;
        }
        update(state.get(), reading->getAssetName());
        update(state.get(), reading->getUserTimestamp());
        update(state.get(), reading->getTimestamp());
        const uint64_t datapoints = reading->getReadingData().size();
        XXH3_128bits_update(state.get(), &datapoints, sizeof(datapoints));
        for (const Datapoint* datapoint : reading->getReadingData()) {
            if (!datapoint) {
                continue;
            }
            update(state.get(), datapoint->getName());
            const DatapointValue& value = datapoint->getData();
            const auto type = static_cast<int32_t>(value.getType());
            XXH3_128bits_update(state.get(), &type, sizeof(type));
            // The common kinds by their own bytes, the rest by their text.
            switch (value.getType()) {
                case DatapointValue::T_STRING:
                    update(state.get(), value.toStringValue());
                    break;
                case DatapointValue::T_INTEGER: {
                    const int64_t integer = value.toInt();
                    XXH3_128bits_update(state.get(), &integer, sizeof(integer));
                    break;
                }
                case DatapointValue::T_FLOAT: {
                    const double number = value.toDouble();
                    XXH3_128bits_update(state.get(), &number, sizeof(number));
                    break;
                }
                default:
                    update(state.get(), value.toString());
                    break;
            }
        }
    }
    const XXH128_hash_t hash = XXH3_128bits_digest(state.get());
    char text[33];
    std::snprintf(text, sizeof(text), "%016llx%016llx",
                  static_cast<unsigned long long>(hash.high64),
                  static_cast<unsigned long long>(hash.low64));
    return std::string(text, 32);
}
