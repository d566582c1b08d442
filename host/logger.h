#ifndef HOST_LOGGER_H
#define HOST_LOGGER_H

#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>

// Stand-in for the host's process-wide logger. Lines go to stderr as "LEVEL: text" at or above
// a settable minimum level; a sink can be installed to receive every line from a level of its own
// on, whatever that minimum (tests capture with it).
class Logger {
public:
    enum class Level { DEBUG = 0, INFO = 1, WARN = 2, ERROR = 3 };
    using Sink = std::function<void(Level, const std::string&)>;

    static Logger* getLogger();

    void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));

    void setMinLevel(Level level);
    Level getMinLevel() const;
    // Replaces the sink, which receives the lines at or above `sinkLevel`; an empty sink removes
    // it. Returns the previous one (getSinkLevel() before the call tells its level). Lines below
    // both levels are not even formatted.
    Sink setSink(Sink sink, Level sinkLevel = Level::DEBUG);
    Level getSinkLevel() const;

    static const char* levelName(Level level);
    // Parses "debug", "info", "warning"/"warn", "error" (any case); false when unknown.
    static bool parseLevel(const std::string& text, Level& level);

private:
    Logger() = default;
    void write(Level level, const char* format, va_list args);

    mutable std::mutex mutex;
    Level minLevel = Level::INFO;
    Sink sink;
    Level sinkMinLevel = Level::DEBUG;
};

#endif
