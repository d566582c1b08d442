#include "tools/reject_counter.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace varnholt {
namespace runner {

const char* const RejectCounter::WARNING_START = "Reading rejected from table";

RejectCounter::RejectCounter() : previousLevel(Logger::getLogger()->getSinkLevel()) {
    Logger* logger = Logger::getLogger();
    previous = logger->setSink(nullptr);
    // Warnings alone, unless the sink before wants more: other lines are then not formatted.
    const Logger::Level level =
        previous ? std::min(Logger::Level::WARN, previousLevel) : Logger::Level::WARN;
    logger->setSink(
        [this](Logger::Level lineLevel, const std::string& text) {
            static const size_t length = std::strlen(WARNING_START);
            if (lineLevel == Logger::Level::WARN && text.compare(0, length, WARNING_START) == 0) {
                ++rejected;
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
