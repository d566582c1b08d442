// Loads a north plugin as the host does, hands it a configuration and sends readings through it:
// for trying a configuration before deploying it and for load tests.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "host/config_category.h"
#include "host/logger.h"
#include "host/plugin_api.h"
#include "mapping/reading_parser.h"
#include "tools/argument_parser.h"
#include "tools/batch_sender.h"
#include "tools/category_builder.h"
#include "tools/plugin_library.h"
#include "tools/progress_display.h"
#include "tools/reading_generator.h"
#include "tools/reading_list.h"
#include "tools/reject_counter.h"
#include "tools/streamed_readings.h"

#ifndef VARNHOLT_PLUGIN_PATH
#define VARNHOLT_PLUGIN_PATH ""
#endif

using namespace varnholt::runner;

namespace {

const char PROGRAM[] = "north_runner";

// An installed runner finds the plugin installed beside it; a runner in a build tree, the plugin
// built with it.
std::string defaultPluginPath() {
    char executable[4096];
    const ssize_t length = readlink("/proc/self/exe", executable, sizeof(executable) - 1);
    if (length > 0) {
        std::string path(executable, static_cast<size_t>(length));
        path.erase(path.rfind('/') + 1);
        path += "../plugins/north/varnholt/libvarnholt.so.1";
        if (access(path.c_str(), F_OK) == 0) {
            return path;
        }
    }
    return VARNHOLT_PLUGIN_PATH;
}

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_UNDELIVERED = 3;
constexpr int EXIT_INTERRUPTED = 130;

// Set by SIGINT/SIGTERM; the sender looks at it between batches and during pauses.
volatile std::sig_atomic_t stopRequested = 0;

extern "C" void onStopSignal(int) {
    stopRequested = 1;
    static const char message[] =
        "\nnorth_runner: stopping after the current batch (interrupt again to abort)\n";
    ssize_t ignored = write(STDERR_FILENO, message, sizeof(message) - 1);
    (void)ignored;
}

void installStopHandlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // A second signal takes the default action, so a plugin stuck in a call can still be killed.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int fail(const std::string& message, int status) {
    std::fprintf(stderr, "%s: %s\n", PROGRAM, message.c_str());
    return status;
}

std::string sourceName(const std::string& path) {
    return path == "-" ? "standard input" : "'" + path + "'";
}

std::string readInput(const std::string& path) {
    if (path == "-") {
        std::ostringstream text;
        text << std::cin.rdbuf();
        if (std::cin.bad()) {
            throw std::runtime_error("cannot read standard input");
        }
        return text.str();
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read '" + path + "': " + std::strerror(errno));
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        throw std::runtime_error("cannot read '" + path + "': " + std::strerror(errno));
    }
    return text;
}

const char* orNone(const char* text) {
    return text ? text : "(none)";
}

int printInfo(const PLUGIN_INFORMATION& info) {
    std::printf("name:       %s\n", orNone(info.name));
    std::printf("version:    %s\n", orNone(info.version));
    std::printf("options:    0x%08x\n", static_cast<unsigned>(info.options));
    std::printf("type:       %s\n", orNone(info.type));
    std::printf("interface:  %s\n", orNone(info.interface));
    std::printf("default configuration:\n");
    if (!info.config) {
        std::printf("(none)\n");
        return fail("the plugin has no default configuration", EXIT_FAILED);
    }
    rapidjson::Document document;
    document.Parse<rapidjson::kParseFullPrecisionFlag>(info.config);
    if (document.HasParseError()) {
        std::printf("%s\n", info.config);
        return fail(std::string("the default configuration is not valid JSON (offset ") +
                        std::to_string(document.GetErrorOffset()) +
                        "): " + rapidjson::GetParseError_En(document.GetParseError()),
                    EXIT_FAILED);
    }
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    writer.SetIndent(' ', 4);
    document.Accept(writer);
    std::printf("%s\n", buffer.GetString());
    return 0;
}

void printSummary(const SendStatistics& statistics) {
    double rate = statistics.elapsedSeconds > 0
                      ? static_cast<double>(statistics.delivered) / statistics.elapsedSeconds
                      : 0.0;
    std::printf("readings delivered:   %zu\n", statistics.delivered);
    std::printf("readings rejected:    %zu\n", statistics.rejected);
    std::printf("readings replayed:    %zu\n", statistics.replayed);
    std::printf("readings undelivered: %zu\n", statistics.undelivered);
    std::printf("readings not sent:    %zu\n", statistics.notSent);
    std::printf("batches:              %zu (%zu given up)\n", statistics.batches,
                statistics.failedBatches);
    std::printf("failed attempts:      %zu\n", statistics.failedAttempts);
    std::printf("retries:              %zu\n", statistics.retries);
    std::printf("elapsed:              %.3f s\n", statistics.elapsedSeconds);
    std::printf("rate:                 %.1f readings/s\n", rate);
    if (statistics.interrupted) {
        std::printf("interrupted\n");
    }
    std::fflush(stdout);
}

std::unique_ptr<ReadingSource> makeSource(const RunnerOptions& options) {
    if (options.generate) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        return std::make_unique<ReadingGenerator>(options.generateCount, options.assets,
                                                  options.datapoints, now);
    }
    if (options.readingsFile == "-") {
        return std::make_unique<StreamedReadings>(STDIN_FILENO, sourceName("-"));
    }
    std::string text = readInput(options.readingsFile);
    try {
        return std::make_unique<ReadingList>(ReadingParser::parse(text));
    } catch (const ReadingParseError& error) {
        throw std::runtime_error("readings in " + sourceName(options.readingsFile) + ": " +
                                 error.what());
    }
}

// However long a driver waits on a server that does not answer, the check gives its verdict
// within this time.
constexpr unsigned CHECK_TIME_LIMIT_SECONDS = 60;

extern "C" void onCheckTimeLimit(int) {
    static const char message[] =
        "north_runner: settings check failed: no answer from the database within 60 s: check "
        "the items server and port, and that this machine reaches the server (firewall, proxy)\n";
    ssize_t ignored = write(STDERR_FILENO, message, sizeof(message) - 1);
    (void)ignored;
    _exit(EXIT_FAILED);
}

extern "C" void printCheckItem(void* context, const char* name, int passed, const char* result,
                               const char* fix) {
    auto* problems = static_cast<size_t*>(context);
    std::printf("%-18s %-7s %s\n", orNone(name), passed ? "ok" : "FAILED", orNone(result));
    if (!passed) {
        ++*problems;
        if (fix && *fix) {
            std::printf("%-18s %-7s %s\n", "", "fix:", fix);
        }
    }
    std::fflush(stdout);
}

// plugin_init, the plugin's settings check, plugin_shutdown.
int checkPlugin(const PluginLibrary& plugin, ConfigCategory& category) {
    if (!plugin.check()) {
        return fail(
            "'" + plugin.path() + "' offers no settings check (no entry point plugin_check)",
            EXIT_FAILED);
    }
    signal(SIGALRM, onCheckTimeLimit);
    alarm(CHECK_TIME_LIMIT_SECONDS);
    PLUGIN_HANDLE handle = nullptr;
    try {
        handle = plugin.init()(&category);
    } catch (const std::exception& error) {
        return fail(std::string("settings refused: ") + error.what(), EXIT_FAILED);
    }
    if (!handle) {
        return fail("plugin_init returned no handle", EXIT_FAILED);
    }
    size_t problems = 0;
    const int passed = plugin.check()(handle, printCheckItem, &problems);
    plugin.shutdown()(handle);
    alarm(0);
    if (passed != 1 || problems > 0) {
        return fail("settings check failed: fix what the FAILED line says", EXIT_FAILED);
    }
    std::printf("settings check passed: batches can be delivered\n");
    return 0;
}

// From plugin_init to plugin_shutdown; the plugin is shut down on every path once it started.
int runPlugin(const PluginLibrary& plugin, ConfigCategory& category, ReadingSource& source,
              const RunnerOptions& options) {
    PLUGIN_HANDLE handle = nullptr;
    try {
        handle = plugin.init()(&category);
    } catch (const std::exception& error) {
        return fail(std::string("plugin_init failed: ") + error.what(), EXIT_FAILED);
    } catch (...) {
        return fail("plugin_init failed with an exception that is not a std::exception",
                    EXIT_FAILED);
    }
    if (!handle) {
        return fail("plugin_init returned no handle", EXIT_FAILED);
    }

    int status = 0;
    SendStatistics statistics;
    bool finished = false;
    try {
        ProgressDisplay display(
            ProgressDisplay::choose(options.progress, options.quiet, isatty(STDERR_FILENO) == 1),
            stderr, options.logLevel);
        SendSettings settings;
        settings.batchSize = options.batchSize;
        settings.retryInterval = options.retryInterval;
        settings.maxRetries = options.maxRetries;
        PluginSendFn send = plugin.send();
        BatchSender sender(
            [send, handle](const std::vector<Reading*>& readings) {
                return send(handle, readings);
            },
            settings);
        sender.setStopRequest([] { return stopRequested != 0; });
        sender.setProgress([&display](const SendStatistics& now) { display.update(now); });
        {
            // Installed after the display's sink, which it passes lines on to, and removed first.
            RejectCounter rejects;
            statistics = sender.run(source);
            statistics.rejected = rejects.count();
            statistics.replayed = rejects.replayed();
            // A delivered batch's readings landed in their tables or in the reject table.
            statistics.delivered -= std::min(statistics.rejected, statistics.delivered);
        }
        display.finish();
        finished = true;
    } catch (const std::exception& error) {
        status = fail(error.what(), EXIT_FAILED);
    }

    try {
        plugin.shutdown()(handle);
    } catch (const std::exception& error) {
        status = fail(std::string("plugin_shutdown failed: ") + error.what(), EXIT_FAILED);
    } catch (...) {
        status = fail("plugin_shutdown failed with an exception that is not a std::exception",
                      EXIT_FAILED);
    }
    if (!finished) {
        return status;
    }

    if (!options.quiet) {
        printSummary(statistics);
    }
    if (!statistics.error.empty()) {
        return fail(statistics.error, EXIT_FAILED);
    }
    if (status != 0) {
        return status;
    }
    if (statistics.interrupted) {
        return EXIT_INTERRUPTED;
    }
    return statistics.undelivered > 0 || statistics.notSent > 0 ? EXIT_UNDELIVERED : 0;
}

}  // namespace

int main(int argc, char** argv) {
    ArgumentParser parser(defaultPluginPath());
    RunnerOptions options;
    try {
        options = parser.parse(argc, argv);
    } catch (const UsageError& error) {
        return fail(std::string(error.what()) + " (see --help)", EXIT_USAGE);
    }
    if (options.help) {
        std::fputs(parser.usage(PROGRAM).c_str(), stdout);
        return 0;
    }
    Logger::getLogger()->setMinLevel(options.logLevel);

    try {
        PluginLibrary plugin(options.pluginPath);
        const PLUGIN_INFORMATION* info = plugin.info()();
        if (!info) {
            return fail("plugin_info returned no information record", EXIT_FAILED);
        }
        if (options.info) {
            return printInfo(*info);
        }
        if (!info->config) {
            return fail("the plugin has no default configuration", EXIT_FAILED);
        }

        CategoryBuilder builder(info->name ? info->name : "north", info->config);
        if (!options.configFile.empty()) {
            try {
                builder.applyOverrides(readInput(options.configFile));
            } catch (const ConfigurationError& error) {
                return fail(sourceName(options.configFile) + ": " + error.what(), EXIT_FAILED);
            }
        }
        for (const auto& setting : options.settings) {
            builder.set(setting.first, setting.second);
        }

        if (options.check) {
            return checkPlugin(plugin, builder.category());
        }
        std::unique_ptr<ReadingSource> source = makeSource(options);
        installStopHandlers();
        return runPlugin(plugin, builder.category(), *source, options);
    } catch (const std::exception& error) {
        return fail(error.what(), EXIT_FAILED);
    }
}
