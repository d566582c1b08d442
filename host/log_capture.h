#ifndef HOST_LOG_CAPTURE_H
#define HOST_LOG_CAPTURE_H

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/logger.h"

// Collects every line written to the host logger while it is alive, whatever the minimum level.
// The previous sink is restored on destruction.
class LogCapture {
public:
    using Line = std::pair<Logger::Level, std::string>;

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const;
    std::vector<std::string> texts(Logger::Level level) const;
    bool contains(Logger::Level level, const std::string& text) const;
    size_t count(Logger::Level level, const std::string& text) const;
    // True when any line, at any level, contains the fragment.
    bool anyLineContains(const std::string& fragment) const;
    void clear();

private:
    mutable std::mutex mutex;
    std::vector<Line> captured;
    Logger::Sink previous;
    Logger::Level previousLevel;
};

#endif
