#include "connector/reconnect_backoff.h"

#include <algorithm>

bool ReconnectBackoff::allows(TimePoint lastAttempt, TimePoint now) const {
    return now >= lastAttempt + currentWait;
}

std::chrono::nanoseconds ReconnectBackoff::wait() const {
    return currentWait;
}

void ReconnectBackoff::failed() {
    if (failing) {
        currentWait = std::min(currentWait * 2, LONGEST_WAIT);
    } else {
        failing = true;
        currentWait = FIRST_WAIT;
    }
}

void ReconnectBackoff::reset() {
    failing = false;
    currentWait = FIRST_WAIT;
}
