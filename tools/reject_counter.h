#ifndef TOOLS_REJECT_COUNTER_H
#define TOOLS_REJECT_COUNTER_H

#include <atomic>
#include <cstddef>

#include "host/logger.h"

namespace varnholt {
namespace runner {

// Counts the readings the plugin keeps in its reject table, from the warnings it logs for each
// batch (one per table and cause, with the number of readings), and the rejected readings it
// replayed into their tables, from its info line for each batch that carried some ("Replayed 12
// rejected readings: 10 delivered to their tables, ..."), while the counter is alive. Lines
// still reach the sink installed before it, which is restored on destruction: counters and other
// sinks are to be removed in the reverse order of their installation.
class RejectCounter {
public:
    // What follows the number in those warnings.
    static const char* const ONE_REJECTED;
    static const char* const REJECTED;
    static const char* const REPLAY_START;

    RejectCounter();
    ~RejectCounter();
    RejectCounter(const RejectCounter&) = delete;
    RejectCounter& operator=(const RejectCounter&) = delete;

    // The readings handed to the plugin that it kept in its reject table: the warnings count
    // replayed readings refused again too, which were not handed to it.
    size_t count() const {
        const size_t all = rejected.load();
        const size_t again = refusedAgain.load();
        return all > again ? all - again : 0;
    }
    size_t replayed() const { return replayedReadings.load(); }

private:
    std::atomic<size_t> rejected{0};
    std::atomic<size_t> replayedReadings{0};
    std::atomic<size_t> refusedAgain{0};
    Logger::Sink previous;
    Logger::Level previousLevel;
};

}  // namespace runner
}  // namespace varnholt

#endif
