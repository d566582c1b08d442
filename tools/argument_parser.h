#ifndef TOOLS_ARGUMENT_PARSER_H
#define TOOLS_ARGUMENT_PARSER_H

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/logger.h"

namespace varnholt {
namespace runner {

// A command line the runner cannot act on; main reports it with exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Everything the command line selects, with the defaults applied.
struct RunnerOptions {
    bool help = false;
    bool info = false;
    bool check = false;  // check the settings instead of sending readings
    std::string pluginPath;
    std::string configFile;
    std::vector<std::pair<std::string, std::string>> settings;  // --set, in command-line order
    std::string readingsFile;                                   // "-" is standard input
    bool generate = false;
    size_t generateCount = 0;
    size_t assets = 1;
    size_t datapoints = 3;
    size_t batchSize = 1000;
    double retryInterval = 1.0;
    unsigned maxRetries = 10;
    bool progress = false;
    bool quiet = false;
    Logger::Level logLevel = Logger::Level::WARN;
};

// Turns the runner's command line into options; every mistake is a UsageError with a one-line
// message naming the offending option.
class ArgumentParser {
public:
    explicit ArgumentParser(const std::string& defaultPluginPath);

    RunnerOptions parse(const std::vector<std::string>& arguments) const;
    RunnerOptions parse(int argc, const char* const* argv) const;
    std::string usage(const std::string& program) const;

private:
    std::string defaultPluginPath;
};

}  // namespace runner
}  // namespace varnholt

#endif
