#ifndef CONNECTOR_RECONNECT_BACKOFF_H
#define CONNECTOR_RECONNECT_BACKOFF_H

#include <chrono>

// The wait between connection attempts while they keep failing: 5 seconds after the first
// failure, twice as long after each further one, at most 5 minutes; a success starts over. An
// outage of hours then costs a dozen attempts an hour, and a short one is over within seconds.
// Times are points of the steady clock handed in by the caller.
class ReconnectBackoff {
public:
    using TimePoint = std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds>;

    static constexpr std::chrono::nanoseconds FIRST_WAIT = std::chrono::seconds(5);
    static constexpr std::chrono::nanoseconds LONGEST_WAIT = std::chrono::minutes(5);

    // Whether an attempt may start at `now`, the last one having started at `lastAttempt`.
    bool allows(TimePoint lastAttempt, TimePoint now) const;
    // The wait after the latest failure; FIRST_WAIT before any.
    std::chrono::nanoseconds wait() const;
    void failed();
    // After a success, or when the settings change.
    void reset();

private:
    std::chrono::nanoseconds currentWait = FIRST_WAIT;
    bool failing = false;
};

#endif
