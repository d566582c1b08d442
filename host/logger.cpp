#include "host/logger.h"

#include <strings.h>
#include <cstdarg>
#include <cstdio>
#include <vector>

Logger* Logger::getLogger() {
    static Logger instance;
    return &instance;
}

#define LOGGER_FORWARD(LEVEL)   \
    va_list args;               \
    va_start(args, format);     \
    write(LEVEL, format, args); \
    va_end(args)

void Logger::debug(const char* format, ...) {
    LOGGER_FORWARD(Level::DEBUG);
}
void Logger::info(const char* format, ...) {
    LOGGER_FORWARD(Level::INFO);
}
void Logger::warn(const char* format, ...) {
    LOGGER_FORWARD(Level::WARN);
}
void Logger::error(const char* format, ...) {
    LOGGER_FORWARD(Level::ERROR);
}

#undef LOGGER_FORWARD

void Logger::setMinLevel(Level level) {
    std::lock_guard<std::mutex> lock(mutex);
    minLevel = level;
}

Logger::Level Logger::getMinLevel() const {
    std::lock_guard<std::mutex> lock(mutex);
    return minLevel;
}

Logger::Sink Logger::setSink(Sink newSink, Level sinkLevel) {
    std::lock_guard<std::mutex> lock(mutex);
    Sink previous = std::move(sink);
    sink = std::move(newSink);
    sinkMinLevel = sinkLevel;
    return previous;
}

Logger::Level Logger::getSinkLevel() const {
    std::lock_guard<std::mutex> lock(mutex);
    return sinkMinLevel;
}

const char* Logger::levelName(Level level) {
    switch (level) {
        case Level::DEBUG:
            return "DEBUG";
        case Level::INFO:
            return "INFO";
        case Level::WARN:
            return "WARNING";
        case Level::ERROR:
            return "ERROR";
    }
    return "UNKNOWN";
}

bool Logger::parseLevel(const std::string& text, Level& level) {
    static const struct {
        const char* name;
        Level level;
    } names[] = {{"debug", Level::DEBUG},
                 {"info", Level::INFO},
                 {"warning", Level::WARN},
                 {"warn", Level::WARN},
                 {"error", Level::ERROR}};
    for (const auto& entry : names) {
        if (strcasecmp(text.c_str(), entry.name) == 0) {
            level = entry.level;
            return true;
        }
    }
    return false;
}

void Logger::write(Level level, const char* format, va_list args) {
    std::lock_guard<std::mutex> lock(mutex);
    // Formatting is skipped for lines nobody will see: debug lines are frequent on hot paths.
    const bool toSink = sink && level >= sinkMinLevel;
    if (!toSink && level < minLevel) {
        return;
    }
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    std::string text;
    if (length < 0) {
        text = format;
    } else if (static_cast<size_t>(length) < sizeof(small)) {
        text.assign(small, static_cast<size_t>(length));
    } else {
        std::vector<char> large(static_cast<size_t>(length) + 1);
        std::vsnprintf(large.data(), large.size(), format, args);
        text.assign(large.data(), static_cast<size_t>(length));
    }
    if (toSink) {
        sink(level, text);
    }
    if (level >= minLevel) {
        std::fprintf(stderr, "%s: %s\n", levelName(level), text.c_str());
    }
}
