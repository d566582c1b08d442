#ifndef DELIVERY_BATCH_FINGERPRINT_H
#define DELIVERY_BATCH_FINGERPRINT_H

#include <string>
#include <vector>

class Reading;

// A batch's identity for the delivery ledger: xxHash's 128-bit hash over every reading's asset,
// both timestamps and its datapoints (names and values), in batch order, as 32 hex digits. The
// host resends a batch as it was, so a resend has the same fingerprint.
class BatchFingerprint {
public:
    static std::string of(const std::vector<Reading*>& readings);
};

#endif
