#ifndef TOOLS_PROGRESS_DISPLAY_H
#define TOOLS_PROGRESS_DISPLAY_H

#include <cstdio>
#include <string>

#include "host/logger.h"
#include "tools/batch_sender.h"

namespace varnholt {
namespace runner {

// Shows how a run is going on stderr: a line redrawn in place on a terminal, or a plain line
// every few seconds when asked for on a pipe or file.
class ProgressDisplay {
public:
    enum class Mode { OFF, LIVE, LINES };

    static Mode choose(bool progressRequested, bool quiet, bool terminal);
    // Shared by the live line and the plain lines.
    static std::string describe(const SendStatistics& statistics);

    // Log lines at or above `shownLevel` reach stderr; the live line makes way for them.
    ProgressDisplay(Mode mode, FILE* out, Logger::Level shownLevel);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Throttled; cheap to call after every batch.
    void update(const SendStatistics& statistics);
    // Removes the live line so that what follows starts on a clean line.
    void finish();

private:
    void clearLine();

    Mode mode;
    FILE* out;
    double lastShown = -1.0;
    bool lineShown = false;
    bool sinkInstalled = false;
    Logger::Sink previousSink;
    Logger::Level previousSinkLevel = Logger::Level::DEBUG;
};

}  // namespace runner
}  // namespace varnholt

#endif
