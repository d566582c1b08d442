#include "host/reading.h"

#include <cstdio>
#include <ctime>

Reading::Reading(const std::string& asset, std::vector<Datapoint*> datapoints)
    : asset(asset), datapoints(std::move(datapoints)) {
    gettimeofday(&timestamp, nullptr);
    userTimestamp = timestamp;
}

Reading::Reading(const std::string& asset, Datapoint* datapoint)
    : Reading(asset, std::vector<Datapoint*>{datapoint}) {}

Reading::Reading(const Reading& other)
    : asset(other.asset), timestamp(other.timestamp), userTimestamp(other.userTimestamp) {
    datapoints.reserve(other.datapoints.size());
    for (const Datapoint* datapoint : other.datapoints) {
        datapoints.push_back(new Datapoint(*datapoint));
    }
}

Reading::~Reading() {
    for (Datapoint* datapoint : datapoints) {
        delete datapoint;
    }
}

Datapoint* Reading::getDatapoint(const std::string& name) const {
    for (Datapoint* datapoint : datapoints) {
        if (datapoint && datapoint->getName() == name) {
            return datapoint;
        }
    }
    return nullptr;
}

std::string Reading::formatTime(const struct timeval& tv, bool addMS) {
    struct tm parts;
    time_t seconds = tv.tv_sec;
    gmtime_r(&seconds, &parts);
    char buffer[64];
    size_t length = std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &parts);
    if (addMS) {
        std::snprintf(buffer + length, sizeof(buffer) - length, ".%06ld",
                      static_cast<long>(tv.tv_usec));
    }
    return buffer;
}

std::string Reading::getAssetDateUserTime(int, bool addMS) const {
    return formatTime(userTimestamp, addMS);
}

std::string Reading::getAssetDateTime(int, bool addMS) const {
    return formatTime(timestamp, addMS);
}

bool Reading::parseTimestamp(const std::string& text, struct timeval& tv) {
    struct tm parts = {};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%*[ T]%2d:%2d:%2d%n", &parts.tm_year, &parts.tm_mon,
                    &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &consumed) != 6) {
        return false;
    }
    long micros = 0;
    size_t pos = static_cast<size_t>(consumed);
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        int digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (digits < 6) {
                micros = micros * 10 + (text[pos] - '0');
            }
            ++digits;
            ++pos;
        }
        if (digits == 0) {
            return false;
        }
        for (; digits < 6; ++digits) {
            micros *= 10;
        }
    }
    std::string rest = text.substr(pos);
    if (!(rest.empty() || rest == "Z" || rest == "+00:00" || rest == "+00")) {
        return false;
    }
    if (parts.tm_year < 0 || parts.tm_mon < 1 || parts.tm_mon > 12 || parts.tm_mday < 1 ||
        parts.tm_mday > 31 || parts.tm_hour < 0 || parts.tm_hour > 23 || parts.tm_min < 0 ||
        parts.tm_min > 59 || parts.tm_sec < 0 || parts.tm_sec > 59) {
        return false;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    const int day = parts.tm_mday;
    tv.tv_sec = timegm(&parts);
    // timegm normalises 31 February into March; such a date is not a time.
    if (parts.tm_mday != day) {
        return false;
    }
    tv.tv_usec = micros;
    return true;
}
