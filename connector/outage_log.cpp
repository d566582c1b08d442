#include "connector/outage_log.h"

#include <ctime>

#include "host/logger.h"

void OutageLog::lost(TimePoint now, std::chrono::system_clock::time_point wallClock) {
    if (active) {
        return;
    }
    active = true;
    since = now;
    refusedBatches = 0;
    const std::time_t seconds = std::chrono::system_clock::to_time_t(wallClock);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &utc);
    Logger::getLogger()->warn(
        "Database connection lost at %s UTC: batches are refused until it is back", text);
}

void OutageLog::refused() {
    if (active) {
        ++refusedBatches;
    }
}

void OutageLog::back(TimePoint now) {
    if (!active) {
        return;
    }
    active = false;
    const double seconds = std::chrono::duration<double>(now - since).count();
    Logger::getLogger()->info(
        "Database connection back after %.1f s: %zu batches refused meanwhile", seconds,
        refusedBatches);
}
