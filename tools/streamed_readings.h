#ifndef TOOLS_STREAMED_READINGS_H
#define TOOLS_STREAMED_READINGS_H

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tools/reading_source.h"

namespace varnholt {
namespace runner {

// Readings from a pipe or a terminal, handed out as they arrive: a batch goes as soon as the
// input has nothing more ready, so `tail -f log | north_runner --readings -` sends each line
// when it comes instead of waiting for the end of the input. Each JSON value (an object or an
// array of them, on one line or spread over several) is parsed once it is complete.
class StreamedReadings : public ReadingSource {
public:
    // `name` for messages; the descriptor stays open (the caller's).
    StreamedReadings(int descriptor, std::string name);

    // The readings read so far: a stream's end is not known beforehand.
    size_t total() const override { return handedOut + pending.size(); }
    bool bounded() const override { return false; }
    void next(size_t count, std::vector<std::unique_ptr<Reading>>& batch) override;

private:
    // Waits for input when `block`, else takes only what is ready; false at the end of input.
    bool fill(bool block);
    // Parses every complete JSON value in the buffer into `pending`.
    void takeValues();
    void parseValue(const std::string& text);

    int descriptor;
    std::string name;
    std::string buffer;
    // Scan state of the value being read: how far the buffer is scanned, nesting, strings.
    size_t scanned = 0;
    size_t valueStart = std::string::npos;
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    size_t line = 1;
    size_t valueLine = 1;
    bool ended = false;
    std::deque<std::unique_ptr<Reading>> pending;
    size_t handedOut = 0;
};

}  // namespace runner
}  // namespace varnholt

#endif
