#ifndef HOST_READING_H
#define HOST_READING_H

#include <sys/time.h>

#include <string>
#include <vector>

#include "host/datapoint.h"

// Stand-in for the host's reading: an asset name, its datapoints (owned) and two timestamps.
class Reading {
public:
    Reading(const std::string& asset, std::vector<Datapoint*> datapoints);
    Reading(const std::string& asset, Datapoint* datapoint);
    Reading(const Reading& other);
    Reading& operator=(const Reading&) = delete;
    ~Reading();

    const std::string& getAssetName() const { return asset; }
    const std::vector<Datapoint*>& getReadingData() const { return datapoints; }
    void addDatapoint(Datapoint* datapoint) { datapoints.push_back(datapoint); }
    // The first datapoint of that name, or null.
    Datapoint* getDatapoint(const std::string& name) const;

    void setUserTimestamp(const struct timeval& tv) { userTimestamp = tv; }
    void setTimestamp(const struct timeval& tv) { timestamp = tv; }
    const struct timeval& getUserTimestamp() const { return userTimestamp; }
    const struct timeval& getTimestamp() const { return timestamp; }
    // Parses "YYYY-MM-DD HH:MM:SS[.ffffff]" (UTC, an optional trailing "+00:00" or "Z");
    // false when the text is not such a time.
    static bool parseTimestamp(const std::string& text, struct timeval& tv);

    // "YYYY-MM-DD HH:MM:SS.ffffff" in UTC; format 0 is the only format, addMS adds the fraction.
    std::string getAssetDateUserTime(int format = 0, bool addMS = true) const;
    std::string getAssetDateTime(int format = 0, bool addMS = true) const;

private:
    static std::string formatTime(const struct timeval& tv, bool addMS);

    std::string asset;
    std::vector<Datapoint*> datapoints;
    struct timeval timestamp;
    struct timeval userTimestamp;
};

#endif
