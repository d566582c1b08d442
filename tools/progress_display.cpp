#include "tools/progress_display.h"

#include <chrono>

namespace varnholt {
namespace runner {

namespace {

constexpr double LIVE_INTERVAL = 0.2;
constexpr double LINES_INTERVAL = 5.0;

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string formatted(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), format, value);
    return buffer;
}

}  // namespace

ProgressDisplay::Mode ProgressDisplay::choose(bool progressRequested, bool quiet, bool terminal) {
    if (terminal) {
        return quiet && !progressRequested ? Mode::OFF : Mode::LIVE;
    }
    return progressRequested ? Mode::LINES : Mode::OFF;
}

std::string ProgressDisplay::describe(const SendStatistics& statistics) {
    std::string text = "delivered " + std::to_string(statistics.delivered) + "/" +
                       std::to_string(statistics.total);
    if (statistics.total > 0) {
        size_t done = statistics.delivered + statistics.undelivered;
        text += formatted(
            " (%.0f%%)", 100.0 * static_cast<double>(done) / static_cast<double>(statistics.total));
    }
    double rate = statistics.elapsedSeconds > 0
                      ? static_cast<double>(statistics.delivered) / statistics.elapsedSeconds
                      : 0.0;
    text += formatted(", %.0f readings/s", rate);
    text += ", retries " + std::to_string(statistics.retries);
    if (statistics.undelivered > 0) {
        text += ", undelivered " + std::to_string(statistics.undelivered);
    }
    if (statistics.retryIn > 0) {
        text += formatted(", resending in %.1fs", statistics.retryIn);
    }
    return text;
}

ProgressDisplay::ProgressDisplay(Mode mode, FILE* out, Logger::Level shownLevel)
    : mode(mode), out(out) {
    if (mode == Mode::LIVE) {
        // Log lines from the plugin would otherwise be glued to the end of the live line.
        // The sink runs under the logger's lock, so it must not ask the logger for its level.
        previousSinkLevel = Logger::getLogger()->getSinkLevel();
        previousSink = Logger::getLogger()->setSink(
            [this, shownLevel](Logger::Level level, const std::string&) {
                if (level >= shownLevel) {
                    clearLine();
                }
            },
            shownLevel);
        sinkInstalled = true;
    }
}

ProgressDisplay::~ProgressDisplay() {
    finish();
}

void ProgressDisplay::clearLine() {
    if (lineShown) {
        std::fputs("\r\033[K", out);
        std::fflush(out);
        lineShown = false;
        lastShown = -1.0;
    }
}

void ProgressDisplay::update(const SendStatistics& statistics) {
    if (mode == Mode::OFF) {
        return;
    }
    double now = nowSeconds();
    if (mode == Mode::LIVE) {
        if (lastShown >= 0 && now - lastShown < LIVE_INTERVAL) {
            return;
        }
        std::fprintf(out, "\r\033[K%s", describe(statistics).c_str());
        lineShown = true;
    } else {
        if (lastShown < 0) {
            // The first line comes after one interval; short runs print none.
            lastShown = now;
            return;
        }
        if (now - lastShown < LINES_INTERVAL) {
            return;
        }
        std::fprintf(out, "progress: %s\n", describe(statistics).c_str());
    }
    std::fflush(out);
    lastShown = now;
}

void ProgressDisplay::finish() {
    if (sinkInstalled) {
        Logger::getLogger()->setSink(std::move(previousSink), previousSinkLevel);
        sinkInstalled = false;
    }
    clearLine();
}

}  // namespace runner
}  // namespace varnholt
