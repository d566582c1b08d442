#include "tools/argument_parser.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace varnholt {
namespace runner {

namespace {

enum class OptionKind { FLAG, VALUE };

struct OptionEntry {
    const char* name;
    OptionKind kind;
};

const OptionEntry OPTIONS[] = {
    {"--help", OptionKind::FLAG},         {"--info", OptionKind::FLAG},
    {"--check", OptionKind::FLAG},        {"--plugin", OptionKind::VALUE},
    {"--config", OptionKind::VALUE},      {"--set", OptionKind::VALUE},
    {"--readings", OptionKind::VALUE},    {"--generate", OptionKind::VALUE},
    {"--assets", OptionKind::VALUE},      {"--datapoints", OptionKind::VALUE},
    {"--batch-size", OptionKind::VALUE},  {"--retry-interval", OptionKind::VALUE},
    {"--max-retries", OptionKind::VALUE}, {"--progress", OptionKind::FLAG},
    {"--quiet", OptionKind::FLAG},        {"--log-level", OptionKind::VALUE},
};

const OptionEntry* findOption(const std::string& name) {
    for (const OptionEntry& entry : OPTIONS) {
        if (name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

// Plain decimal digits only: no sign, no spaces, no hexadecimal, within [minimum, maximum].
uint64_t parseCount(const std::string& option, const std::string& text, uint64_t minimum,
                    uint64_t maximum) {
    bool digits = !text.empty();
    for (char c : text) {
        digits = digits && c >= '0' && c <= '9';
    }
    if (!digits) {
        throw UsageError("option " + option + " needs a whole number, got '" + text + "'");
    }
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value < minimum || value > maximum) {
        throw UsageError("option " + option + " must be between " + std::to_string(minimum) +
                         " and " + std::to_string(maximum) + ", got '" + text + "'");
    }
    return value;
}

// Seconds as a plain decimal ("2", "0.25", ".5"); strtod alone would also take "inf" or "0x1p3".
double parseSeconds(const std::string& option, const std::string& text) {
    size_t digitCount = 0;
    size_t points = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            ++digitCount;
        } else if (c == '.') {
            ++points;
        } else {
            digitCount = 0;
            break;
        }
    }
    if (digitCount == 0 || points > 1) {
        throw UsageError("option " + option + " needs a number of seconds, got '" + text + "'");
    }
    double value = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(value)) {
        throw UsageError("option " + option + " is out of range, got '" + text + "'");
    }
    return value;
}

}  // namespace

ArgumentParser::ArgumentParser(const std::string& defaultPluginPath)
    : defaultPluginPath(defaultPluginPath) {}

RunnerOptions ArgumentParser::parse(int argc, const char* const* argv) const {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    return parse(arguments);
}

RunnerOptions ArgumentParser::parse(const std::vector<std::string>& arguments) const {
    RunnerOptions options;
    options.pluginPath = defaultPluginPath;
    bool assetsGiven = false;
    bool logLevelGiven = false;
    bool datapointsGiven = false;

    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::string value;
        bool inlineValue = false;
        if (name == "-h") {
            name = "--help";
        }
        if (name.compare(0, 2, "--") != 0 || name.size() == 2) {
            throw UsageError("unexpected argument '" + arguments[i] + "'");
        }
        size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
            inlineValue = true;
        }
        const OptionEntry* entry = findOption(name);
        if (!entry) {
            throw UsageError("unknown option '" + name + "'");
        }
        if (entry->kind == OptionKind::FLAG && inlineValue) {
            throw UsageError("option " + name + " takes no value");
        }
        if (entry->kind == OptionKind::VALUE && !inlineValue) {
            // An option name in a value's place almost always means the value was forgotten.
            if (i + 1 >= arguments.size() || arguments[i + 1].compare(0, 2, "--") == 0) {
                throw UsageError("option " + name + " needs a value");
            }
            value = arguments[++i];
        }

        if (name == "--help") {
            options.help = true;
            return options;
        } else if (name == "--info") {
            options.info = true;
        } else if (name == "--check") {
            options.check = true;
        } else if (name == "--plugin") {
            if (value.empty()) {
                throw UsageError("option --plugin needs a path");
            }
            options.pluginPath = value;
        } else if (name == "--config") {
            if (value.empty()) {
                throw UsageError("option --config needs a file name");
            }
            options.configFile = value;
        } else if (name == "--set") {
            size_t split = value.find('=');
            if (split == std::string::npos || split == 0) {
                throw UsageError("option --set needs ITEM=VALUE, got '" + value + "'");
            }
            options.settings.emplace_back(value.substr(0, split), value.substr(split + 1));
        } else if (name == "--readings") {
            if (value.empty()) {
                throw UsageError("option --readings needs a file name or '-'");
            }
            options.readingsFile = value;
        } else if (name == "--generate") {
            options.generate = true;
            options.generateCount = parseCount(name, value, 0, std::numeric_limits<size_t>::max());
        } else if (name == "--assets") {
            assetsGiven = true;
            options.assets = parseCount(name, value, 1, std::numeric_limits<size_t>::max());
        } else if (name == "--datapoints") {
            datapointsGiven = true;
            options.datapoints = parseCount(name, value, 0, 100000);
        } else if (name == "--batch-size") {
            // plugin_send reports the delivered count as a 32-bit number.
            options.batchSize = parseCount(name, value, 1, std::numeric_limits<uint32_t>::max());
        } else if (name == "--retry-interval") {
            options.retryInterval = parseSeconds(name, value);
        } else if (name == "--max-retries") {
            options.maxRetries = parseCount(name, value, 0, std::numeric_limits<unsigned>::max());
        } else if (name == "--progress") {
            options.progress = true;
        } else if (name == "--quiet") {
            options.quiet = true;
        } else if (name == "--log-level") {
            logLevelGiven = true;
            if (!Logger::parseLevel(value, options.logLevel)) {
                throw UsageError("unknown log level '" + value +
                                 "' (use debug, info, warning or error)");
            }
        }
    }

    if (options.info) {
        return options;
    }
    if (options.check) {
        if (options.generate || !options.readingsFile.empty()) {
            throw UsageError(
                "option --check sends no readings: leave out --readings and --generate");
        }
        // The report says what failed; the plugin's warnings about retrying later would only
        // confuse it.
        if (!logLevelGiven) {
            options.logLevel = Logger::Level::ERROR;
        }
        return options;
    }
    if (options.generate && !options.readingsFile.empty()) {
        throw UsageError("options --readings and --generate exclude each other");
    }
    if (!options.generate && options.readingsFile.empty()) {
        throw UsageError("no readings to send: give --readings FILE or --generate N");
    }
    if (!options.generate && (assetsGiven || datapointsGiven)) {
        throw UsageError(std::string("option ") + (assetsGiven ? "--assets" : "--datapoints") +
                         " only applies to --generate");
    }
    return options;
}

std::string ArgumentParser::usage(const std::string& program) const {
    std::string pluginDefault = defaultPluginPath.empty() ? "none" : defaultPluginPath;
    return "Usage: " + program +
           " [OPTIONS]\n"
           "Loads a north plugin as the host does and sends readings through it.\n"
           "\n"
           "Plugin:\n"
           "  --plugin PATH           plugin library to load\n"
           "                          (default: " +
           pluginDefault +
           ")\n"
           "  --info                  print the plugin information record and exit\n"
           "  --check                 connect with the configuration and report whether\n"
           "                          batches can be delivered, without sending readings;\n"
           "                          exit 0 when all is well, 1 with what to fix\n"
           "\n"
           "Configuration (the plugin's defaults, then --config, then --set):\n"
           "  --config FILE           JSON object of item -> value; objects become their JSON "
           "text\n"
           "  --set ITEM=VALUE        set one item (repeatable)\n"
           "\n"
           "Readings (one of):\n"
           "  --readings FILE         JSON readings: one object, an array of them or one per\n"
           "                          line; '-' reads standard input\n"
           "  --generate N            generate N readings, each with an integer 'seq' 0..N-1\n"
           "  --assets K              spread generated readings over asset_0..asset_<K-1> "
           "(default 1)\n"
           "  --datapoints D          D further generated datapoints: integers, floats, texts\n"
           "                          (default 3)\n"
           "\n"
           "Sending:\n"
           "  --batch-size B          readings per plugin_send call (default 1000)\n"
           "  --retry-interval SECS   pause before resending a failed batch (default 1)\n"
           "  --max-retries R         resends of a failed batch before it is given up "
           "(default 10)\n"
           "\n"
           "Output:\n"
           "  --progress              progress on stderr even when it is not a terminal\n"
           "  --log-level LEVEL       debug, info, warning or error (default warning)\n"
           "  --quiet                 no summary, and no progress unless --progress\n"
           "  -h, --help              print this help and exit\n"
           "\n"
           "A reading: {\"asset\": \"pump\", \"user_ts\": \"2026-12-08 07:00:00.123456\", "
           "\"ts\": \"...\",\n"
           "            \"readings\": {\"temperature\": 21.5, \"count\": 3, \"label\": \"x\",\n"
           "                         \"nested\": {\"a\": 1}, \"vector\": [1.5, 2]}}\n"
           "Timestamps are UTC and optional (default: now). Integers stay integers, other\n"
           "numbers become floats, objects nested datapoints, arrays of numbers float arrays\n"
           "and other arrays lists.\n"
           "\n"
           "Exit status: 0 all readings delivered, 1 failure, 2 usage error, 3 readings\n"
           "undelivered, 130 interrupted.\n";
}

}  // namespace runner
}  // namespace varnholt
