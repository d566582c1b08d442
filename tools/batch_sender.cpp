#include "tools/batch_sender.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

namespace varnholt {
namespace runner {

namespace {

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Short enough that a stop request or a progress redraw is never long delayed.
constexpr double PAUSE_SLICE = 0.1;

}  // namespace

BatchSender::BatchSender(SendFunction send, const SendSettings& settings)
    : send(std::move(send)), settings(settings) {}

void BatchSender::report(SendStatistics& statistics, double startSeconds) const {
    statistics.elapsedSeconds = nowSeconds() - startSeconds;
    if (onProgress) {
        onProgress(statistics);
    }
}

bool BatchSender::pause(double seconds, SendStatistics& statistics, double startSeconds) {
    if (waitFor) {
        statistics.retryIn = seconds;
        report(statistics, startSeconds);
        bool completed = waitFor(seconds);
        statistics.retryIn = 0.0;
        return completed && !stopping();
    }
    double end = nowSeconds() + seconds;
    while (true) {
        if (stopping()) {
            statistics.retryIn = 0.0;
            return false;
        }
        double left = end - nowSeconds();
        if (left <= 0) {
            break;
        }
        statistics.retryIn = left;
        report(statistics, startSeconds);
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(left, PAUSE_SLICE)));
    }
    statistics.retryIn = 0.0;
    return true;
}

SendStatistics BatchSender::run(ReadingSource& source) {
    SendStatistics statistics;
    statistics.total = source.total();
    const double start = nowSeconds();
    std::vector<std::unique_ptr<Reading>> batch;
    std::vector<Reading*> pointers;
    size_t handedOut = 0;

    // A stream learns its total only as readings arrive: it is read until it ends.
    while (handedOut < statistics.total || !source.bounded()) {
        if (stopping()) {
            statistics.interrupted = true;
            break;
        }
        source.next(settings.batchSize, batch);
        statistics.total = source.total();
        if (batch.empty()) {
            break;
        }
        handedOut += batch.size();
        ++statistics.batches;
        pointers.clear();
        for (const auto& reading : batch) {
            pointers.push_back(reading.get());
        }

        bool delivered = false;
        for (unsigned attempt = 0;; ++attempt) {
            uint32_t result = 0;
            try {
                result = send(pointers);
            } catch (const std::exception& error) {
                statistics.error = std::string("plugin_send threw an exception: ") + error.what();
            } catch (...) {
                statistics.error = "plugin_send threw an exception that is not a std::exception";
            }
            if (!statistics.error.empty()) {
                break;
            }
            if (result >= pointers.size()) {
                delivered = true;
                break;
            }
            ++statistics.failedAttempts;
            if (attempt >= settings.maxRetries) {
                break;
            }
            if (!pause(settings.retryInterval, statistics, start)) {
                statistics.interrupted = true;
                break;
            }
            ++statistics.retries;
        }

        if (delivered) {
            statistics.delivered += pointers.size();
        } else {
            statistics.undelivered += pointers.size();
            ++statistics.failedBatches;
        }
        report(statistics, start);
        if (!statistics.error.empty() || statistics.interrupted) {
            break;
        }
    }
    statistics.notSent = statistics.total - handedOut;
    statistics.elapsedSeconds = nowSeconds() - start;
    return statistics;
}

}  // namespace runner
}  // namespace varnholt
