#include "tools/reject_counter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace varnholt {
namespace runner {

const char* const RejectCounter::WARNING_START = "Reading rejected from table";
const char* const RejectCounter::REPLAY_START = "Replayed ";

namespace {

// The readings delivered to their tables, from "Replayed N rejected readings: M delivered ...".
size_t deliveredReplays(const std::string& text) {
    size_t taken = 0;
    size_t delivered = 0;
    char colon = 0;
    if (std::sscanf(text.c_str(), "Replayed %zu rejected readings%c %zu delivered", &taken, &colon,
                    &delivered) == 3 &&
        colon == ':') {
        return delivered;
    }
    return 0;
}

}  // namespace

RejectCounter::RejectCounter() : previousLevel(Logger::getLogger()->getSinkLevel()) {
    Logger* logger = Logger::getLogger();
    previous = logger->setSink(nullptr);
    // Warnings and information alone, unless the sink before wants more: debug lines are then
    // not formatted.
    const Logger::Level level =
        previous ? std::min(Logger::Level::INFO, previousLevel) : Logger::Level::INFO;
    logger->setSink(
        [this](Logger::Level lineLevel, const std::string& text) {
            static const size_t length = std::strlen(WARNING_START);
            static const size_t replayLength = std::strlen(REPLAY_START);
            if (lineLevel == Logger::Level::WARN && text.compare(0, length, WARNING_START) == 0) {
                ++rejected;
            }
            if (lineLevel == Logger::Level::INFO &&
                text.compare(0, replayLength, REPLAY_START) == 0) {
                replayedReadings += deliveredReplays(text);
            }
            if (previous && lineLevel >= previousLevel) {
                previous(lineLevel, text);
            }
        },
        level);
}

RejectCounter::~RejectCounter() {
    Logger::getLogger()->setSink(std::move(previous), previousLevel);
}

}  // namespace runner
}  // namespace varnholt
