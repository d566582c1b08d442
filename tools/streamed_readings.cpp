#include "tools/streamed_readings.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "mapping/reading_parser.h"

namespace varnholt {
namespace runner {

StreamedReadings::StreamedReadings(int input, std::string sourceName)
    : descriptor(input), name(std::move(sourceName)) {}

void StreamedReadings::next(size_t count, std::vector<std::unique_ptr<Reading>>& batch) {
    batch.clear();
    // Block only while there is nothing to send; then take what is ready and go.
    while (pending.empty() && fill(true)) {
        takeValues();
    }
    while (pending.size() < count && fill(false)) {
        takeValues();
    }
    if (ended) {
        takeValues();
        if (valueStart != std::string::npos) {
            throw std::runtime_error("readings in " + name + ", line " + std::to_string(valueLine) +
                                     ": the input ends inside a value");
        }
    }
    while (!pending.empty() && batch.size() < count) {
        batch.push_back(std::move(pending.front()));
        pending.pop_front();
    }
    handedOut += batch.size();
}

bool StreamedReadings::fill(bool block) {
    if (ended) {
        return false;
    }
    if (!block) {
        struct pollfd ready = {descriptor, POLLIN, 0};
        if (poll(&ready, 1, 0) <= 0) {
            return false;
        }
    }
    char chunk[65536];
    ssize_t got;
    do {
        got = read(descriptor, chunk, sizeof(chunk));
    } while (got < 0 && errno == EINTR && block);
    if (got < 0 && errno == EINTR) {
        return false;
    }
    if (got < 0) {
        throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
    }
    if (got == 0) {
        ended = true;
        return false;
    }
    buffer.append(chunk, static_cast<size_t>(got));
    return true;
}

void StreamedReadings::takeValues() {
    for (; scanned < buffer.size(); ++scanned) {
        const char c = buffer[scanned];
        if (c == '\n') {
            ++line;
        }
        if (valueStart == std::string::npos) {
            if (c == '{' || c == '[') {
                valueStart = scanned;
                valueLine = line;
                depth = 1;
            } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
                throw std::runtime_error("readings in " + name + ", line " + std::to_string(line) +
                                         ": expected a JSON object or array");
            }
            continue;
        }
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
            parseValue(buffer.substr(valueStart, scanned + 1 - valueStart));
            valueStart = std::string::npos;
        }
    }
    // Keep only the value being read, so that a long stream does not pile up in memory.
    const size_t keep = valueStart == std::string::npos ? buffer.size() : valueStart;
    buffer.erase(0, keep);
    scanned -= keep;
    if (valueStart != std::string::npos) {
        valueStart = 0;
    }
}

void StreamedReadings::parseValue(const std::string& text) {
    try {
        for (auto& reading : ReadingParser::parse(text)) {
            pending.push_back(std::move(reading));
        }
    } catch (const ReadingParseError& error) {
        throw std::runtime_error("readings in " + name + ", line " + std::to_string(valueLine) +
                                 ": " + error.what());
    }
}

}  // namespace runner
}  // namespace varnholt
