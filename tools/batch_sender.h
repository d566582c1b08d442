#ifndef TOOLS_BATCH_SENDER_H
#define TOOLS_BATCH_SENDER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/reading.h"
#include "tools/reading_source.h"

namespace varnholt {
namespace runner {

struct SendSettings {
    size_t batchSize = 1000;
    double retryInterval = 1.0;  // seconds
    unsigned maxRetries = 10;    // resends of one batch before it is given up
};

struct SendStatistics {
    size_t total = 0;           // readings the source holds
    size_t delivered = 0;       // in batches the plugin accepted
    size_t rejected = 0;        // of those, kept in the plugin's reject table
    size_t replayed = 0;        // rejected earlier, replayed by the plugin into their tables
    size_t undelivered = 0;     // in batches given up, or abandoned by a stop while retrying
    size_t notSent = 0;         // never handed to the plugin because of a stop or an error
    size_t batches = 0;         // batches taken from the source
    size_t failedBatches = 0;   // batches given up or abandoned
    size_t failedAttempts = 0;  // plugin_send calls that did not deliver the whole batch
    size_t retries = 0;         // resends
    double elapsedSeconds = 0.0;
    double retryIn = 0.0;  // while waiting to resend: seconds left, else 0
    bool interrupted = false;
    std::string error;  // set when plugin_send threw; the run stops there
};

// Feeds a reading source to plugin_send batch by batch the way the host does: a batch the plugin
// does not accept whole (result 0 or short) is kept and resent after a pause, up to the retry
// limit, then given up so the run goes on with the next batch.
class BatchSender {
public:
    using SendFunction = std::function<uint32_t(const std::vector<Reading*>&)>;
    // Pauses for the given seconds; false when a stop request cut the pause short.
    using WaitFunction = std::function<bool(double)>;
    using StopFunction = std::function<bool()>;
    using ProgressFunction = std::function<void(const SendStatistics&)>;

    BatchSender(SendFunction send, const SendSettings& settings);

    // Asked between batches and during pauses; a stop ends the run after the current call.
    void setStopRequest(StopFunction stop) { stopRequested = std::move(stop); }
    // Called after each plugin_send and repeatedly during pauses.
    void setProgress(ProgressFunction progress) { onProgress = std::move(progress); }
    // Replaces the real pause (tests avoid sleeping).
    void setWait(WaitFunction wait) { waitFor = std::move(wait); }

    SendStatistics run(ReadingSource& source);

private:
    bool stopping() const { return stopRequested && stopRequested(); }
    bool pause(double seconds, SendStatistics& statistics, double startSeconds);
    void report(SendStatistics& statistics, double startSeconds) const;

    SendFunction send;
    SendSettings settings;
    StopFunction stopRequested;
    ProgressFunction onProgress;
    WaitFunction waitFor;
};

}  // namespace runner
}  // namespace varnholt

#endif
