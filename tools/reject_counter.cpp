#include "tools/reject_counter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace varnholt {
namespace runner {

namespace {

// The number of readings a warning of the plugin's reports as rejected: "N reading(s) rejected
// from table ...", once per table and cause of a batch; 0 for any other line.
size_t rejectedIn(const std::string& text) {
    size_t digits = 0;
    size_t count = 0;
    while (digits < text.size() && digits < 19 && text[digits] >= '0' && text[digits] <= '9') {
        count = count * 10 + static_cast<size_t>(text[digits] - '0');
        ++digits;
    }
    if (digits == 0) {
        return 0;
    }
    const char* const rest = count == 1 ? RejectCounter::ONE_REJECTED : RejectCounter::REJECTED;
    return text.compare(digits, std::strlen(rest), rest) == 0 ? count : 0;
}

// The readings delivered to their tables and those refused again, from "Replayed N rejected
// readings: M delivered to their tables, K refused again".
void countReplays(const std::string& text, size_t& delivered, size_t& refused) {
    size_t taken = 0;
    char colon = 0;
    delivered = refused = 0;
    const int read = std::sscanf(
        text.c_str(),
        "Replayed %zu rejected readings%c %zu delivered to their tables, %zu refused again", &taken,
        &colon, &delivered, &refused);
    if (read < 3 || colon != ':') {
        delivered = refused = 0;
    } else if (read < 4) {
        refused = 0;
    }
}

}  // namespace

const char* const RejectCounter::ONE_REJECTED = " reading rejected from table ";
const char* const RejectCounter::REJECTED = " readings rejected from table ";
const char* const RejectCounter::REPLAY_START = "Replayed ";

RejectCounter::RejectCounter() : previousLevel(Logger::getLogger()->getSinkLevel()) {
    Logger* logger = Logger::getLogger();
    previous = logger->setSink(nullptr);
    // Warnings and information alone, unless the sink before wants more: debug lines are then
    // not formatted.
    const Logger::Level level =
        previous ? std::min(Logger::Level::INFO, previousLevel) : Logger::Level::INFO;
    logger->setSink(
        [this](Logger::Level lineLevel, const std::string& text) {
            static const size_t replayLength = std::strlen(REPLAY_START);
            if (lineLevel == Logger::Level::WARN) {
                rejected += rejectedIn(text);
            }
            if (lineLevel == Logger::Level::INFO &&
                text.compare(0, replayLength, REPLAY_START) == 0) {
                size_t delivered = 0;
                size_t refused = 0;
                countReplays(text, delivered, refused);
                replayedReadings += delivered;
                refusedAgain += refused;
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
