#ifndef CONNECTOR_OUTAGE_LOG_H
#define CONNECTOR_OUTAGE_LOG_H

#include <chrono>
#include <cstddef>

// Keeps the log of a database outage to two lines beside the per-batch errors: one warning when
// the database is lost, saying since when, and one info line when it is back, saying for how long
// it was gone and how many batches were refused meanwhile.
class OutageLog {
public:
    using TimePoint = std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds>;

    // The database cannot be reached (a connection attempt failed, or the connection died under
    // a batch); only the first call of an outage logs.
    void lost(TimePoint now, std::chrono::system_clock::time_point wallClock);
    // A batch was refused; counted only during an outage.
    void refused();
    // Connected: ends an outage, if one was going on.
    void back(TimePoint now);
    bool ongoing() const { return active; }

private:
    bool active = false;
    TimePoint since{};
    size_t refusedBatches = 0;
};

#endif
