#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/argument_parser.h"

using varnholt::runner::ArgumentParser;
using varnholt::runner::RunnerOptions;
using varnholt::runner::UsageError;

namespace {

const char DEFAULT_PLUGIN[] = "/opt/plugins/libdefault.so.1";

RunnerOptions parse(const std::vector<std::string>& arguments) {
    return ArgumentParser(DEFAULT_PLUGIN).parse(arguments);
}

TEST(RunnerArgumentParser, DefaultsApplyWhenOnlyTheReadingsAreGiven) {
    RunnerOptions options = parse({"--generate", "5"});
    EXPECT_FALSE(options.help);
    EXPECT_FALSE(options.info);
    EXPECT_EQ(options.pluginPath, DEFAULT_PLUGIN);
    EXPECT_TRUE(options.configFile.empty());
    EXPECT_TRUE(options.settings.empty());
    EXPECT_TRUE(options.generate);
    EXPECT_EQ(options.generateCount, 5u);
    EXPECT_EQ(options.assets, 1u);
    EXPECT_EQ(options.datapoints, 3u);
    EXPECT_EQ(options.batchSize, 1000u);
    EXPECT_DOUBLE_EQ(options.retryInterval, 1.0);
    EXPECT_EQ(options.maxRetries, 10u);
    EXPECT_FALSE(options.progress);
    EXPECT_FALSE(options.quiet);
    EXPECT_EQ(options.logLevel, Logger::Level::WARN);
}

struct AcceptedCase {
    const char* name;
    std::vector<std::string> arguments;
    std::function<void(const RunnerOptions&)> check;
};

class RunnerArgumentParserAccepts : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(RunnerArgumentParserAccepts, Parses) {
    const AcceptedCase& test = GetParam();
    RunnerOptions options;
    ASSERT_NO_THROW(options = parse(test.arguments));
    test.check(options);
}

const AcceptedCase ACCEPTED[] = {
    {"PluginPath",
     {"--plugin", "/x/libp.so", "--generate", "1"},
     [](const RunnerOptions& o) { EXPECT_EQ(o.pluginPath, "/x/libp.so"); }},
    {"InlineValue",
     {"--batch-size=7", "--generate=2"},
     [](const RunnerOptions& o) {
         EXPECT_EQ(o.batchSize, 7u);
         EXPECT_EQ(o.generateCount, 2u);
     }},
    {"LastValueWins",
     {"--batch-size", "7", "--batch-size", "9", "--generate", "1"},
     [](const RunnerOptions& o) { EXPECT_EQ(o.batchSize, 9u); }},
    {"LargestBatch",
     {"--batch-size", "4294967295", "--generate", "1"},
     [](const RunnerOptions& o) { EXPECT_EQ(o.batchSize, 4294967295u); }},
    {"GenerateNothing",
     {"--generate", "0"},
     [](const RunnerOptions& o) {
         EXPECT_TRUE(o.generate);
         EXPECT_EQ(o.generateCount, 0u);
     }},
    {"GenerationShape",
     {"--generate", "10", "--assets", "4", "--datapoints", "0"},
     [](const RunnerOptions& o) {
         EXPECT_EQ(o.assets, 4u);
         EXPECT_EQ(o.datapoints, 0u);
     }},
    {"FractionalRetryInterval",
     {"--retry-interval", "0.25", "--generate", "1"},
     [](const RunnerOptions& o) { EXPECT_DOUBLE_EQ(o.retryInterval, 0.25); }},
    {"RetryIntervalWithoutLeadingDigit",
     {"--retry-interval", ".5", "--generate", "1"},
     [](const RunnerOptions& o) { EXPECT_DOUBLE_EQ(o.retryInterval, 0.5); }},
    {"ZeroRetryInterval",
     {"--retry-interval", "0", "--generate", "1"},
     [](const RunnerOptions& o) { EXPECT_DOUBLE_EQ(o.retryInterval, 0.0); }},
    {"NoRetries",
     {"--max-retries", "0", "--generate", "1"},
     [](const RunnerOptions& o) { EXPECT_EQ(o.maxRetries, 0u); }},
    {"SettingsKeepOrderAndSplitAtFirstEquals",
     {"--set", "a=1", "--set", "b=x=y", "--set", "c=", "--set=a=2", "--generate", "1"},
     [](const RunnerOptions& o) {
         using Setting = std::pair<std::string, std::string>;
         EXPECT_EQ(o.settings,
                   (std::vector<Setting>{{"a", "1"}, {"b", "x=y"}, {"c", ""}, {"a", "2"}}));
     }},
    {"KvlistSetting",
     {"--set", "additionalParams={\"warehouse\":\"W\"}", "--generate", "1"},
     [](const RunnerOptions& o) {
         ASSERT_EQ(o.settings.size(), 1u);
         EXPECT_EQ(o.settings[0].second, "{\"warehouse\":\"W\"}");
     }},
    {"ReadingsFromStandardInput",
     {"--readings", "-"},
     [](const RunnerOptions& o) {
         EXPECT_EQ(o.readingsFile, "-");
         EXPECT_FALSE(o.generate);
     }},
    {"ConfigFile",
     {"--config", "c.json", "--readings", "r.json"},
     [](const RunnerOptions& o) {
         EXPECT_EQ(o.configFile, "c.json");
         EXPECT_EQ(o.readingsFile, "r.json");
     }},
    {"InfoNeedsNoReadings", {"--info"}, [](const RunnerOptions& o) { EXPECT_TRUE(o.info); }},
    {"CheckNeedsNoReadings",
     {"--check", "--set", "port=443"},
     [](const RunnerOptions& o) {
         EXPECT_TRUE(o.check);
         EXPECT_FALSE(o.info);
     }},
    {"HelpStopsParsing",
     {"--help", "--bogus"},
     [](const RunnerOptions& o) { EXPECT_TRUE(o.help); }},
    {"ShortHelp", {"-h"}, [](const RunnerOptions& o) { EXPECT_TRUE(o.help); }},
    {"Flags",
     {"--progress", "--quiet", "--generate", "1"},
     [](const RunnerOptions& o) {
         EXPECT_TRUE(o.progress);
         EXPECT_TRUE(o.quiet);
     }},
    {"LogLevelDebug",
     {"--log-level", "debug", "--generate", "1"},
     [](const RunnerOptions& o) { EXPECT_EQ(o.logLevel, Logger::Level::DEBUG); }},
    {"LogLevelAnyCase",
     {"--log-level", "ERROR", "--generate", "1"},
     [](const RunnerOptions& o) { EXPECT_EQ(o.logLevel, Logger::Level::ERROR); }},
    {"LogLevelWarning",
     {"--log-level=warning", "--generate", "1"},
     [](const RunnerOptions& o) { EXPECT_EQ(o.logLevel, Logger::Level::WARN); }},
};

std::string caseName(const ::testing::TestParamInfo<AcceptedCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Table, RunnerArgumentParserAccepts, ::testing::ValuesIn(ACCEPTED),
                         caseName);

struct RejectedCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* message;
};

class RunnerArgumentParserRejects : public ::testing::TestWithParam<RejectedCase> {};

TEST_P(RunnerArgumentParserRejects, WithAMessageNamingTheProblem) {
    const RejectedCase& test = GetParam();
    try {
        parse(test.arguments);
        FAIL() << "accepted";
    } catch (const UsageError& error) {
        EXPECT_EQ(std::string(error.what()), test.message);
    }
}

const RejectedCase REJECTED[] = {
    {"UnknownOption", {"--bogus", "--generate", "1"}, "unknown option '--bogus'"},
    {"UnknownOptionWithValue", {"--bogus=1"}, "unknown option '--bogus'"},
    {"StrayArgument", {"--generate", "1", "stray"}, "unexpected argument 'stray'"},
    {"SingleDashOption", {"-q"}, "unexpected argument '-q'"},
    {"DoubleDashAlone", {"--"}, "unexpected argument '--'"},
    {"MissingValueAtEnd", {"--generate"}, "option --generate needs a value"},
    {"OptionInPlaceOfValue", {"--config", "--quiet"}, "option --config needs a value"},
    {"FlagWithValue", {"--quiet=yes", "--generate", "1"}, "option --quiet takes no value"},
    {"NegativeCount", {"--generate", "-1"}, "option --generate needs a whole number, got '-1'"},
    {"ExponentCount", {"--generate", "1e3"}, "option --generate needs a whole number, got '1e3'"},
    {"SpaceInCount", {"--generate", " 5"}, "option --generate needs a whole number, got ' 5'"},
    {"EmptyCount", {"--generate="}, "option --generate needs a whole number, got ''"},
    {"HugeCount",
     {"--generate", "99999999999999999999999"},
     "option --generate must be between 0 and 18446744073709551615, got "
     "'99999999999999999999999'"},
    {"ZeroBatch",
     {"--batch-size", "0", "--generate", "1"},
     "option --batch-size must be between 1 and 4294967295, got '0'"},
    {"BatchBeyond32Bits",
     {"--batch-size", "4294967296", "--generate", "1"},
     "option --batch-size must be between 1 and 4294967295, got '4294967296'"},
    {"ZeroAssets",
     {"--generate", "1", "--assets", "0"},
     "option --assets must be between 1 and 18446744073709551615, got '0'"},
    {"NegativeInterval",
     {"--retry-interval", "-1", "--generate", "1"},
     "option --retry-interval needs a number of seconds, got '-1'"},
    {"InfiniteInterval",
     {"--retry-interval", "inf", "--generate", "1"},
     "option --retry-interval needs a number of seconds, got 'inf'"},
    {"HexInterval",
     {"--retry-interval", "0x10", "--generate", "1"},
     "option --retry-interval needs a number of seconds, got '0x10'"},
    {"TwoPointsInterval",
     {"--retry-interval", "1.2.3", "--generate", "1"},
     "option --retry-interval needs a number of seconds, got '1.2.3'"},
    {"PointOnlyInterval",
     {"--retry-interval", ".", "--generate", "1"},
     "option --retry-interval needs a number of seconds, got '.'"},
    {"RetriesNotANumber",
     {"--max-retries", "many", "--generate", "1"},
     "option --max-retries needs a whole number, got 'many'"},
    {"UnknownLogLevel",
     {"--log-level", "loud", "--generate", "1"},
     "unknown log level 'loud' (use debug, info, warning or error)"},
    {"SetWithoutEquals",
     {"--set", "port", "--generate", "1"},
     "option --set needs ITEM=VALUE, got 'port'"},
    {"SetWithoutItem",
     {"--set", "=443", "--generate", "1"},
     "option --set needs ITEM=VALUE, got '=443'"},
    {"EmptyPlugin", {"--plugin=", "--generate", "1"}, "option --plugin needs a path"},
    {"EmptyReadings", {"--readings="}, "option --readings needs a file name or '-'"},
    {"EmptyConfig", {"--config=", "--generate", "1"}, "option --config needs a file name"},
    {"NoReadings", {}, "no readings to send: give --readings FILE or --generate N"},
    {"NoReadingsWithOtherOptions",
     {"--batch-size", "5"},
     "no readings to send: give --readings FILE or --generate N"},
    {"CheckWithReadings",
     {"--check", "--readings", "r.json"},
     "option --check sends no readings: leave out --readings and --generate"},
    {"CheckWithGenerate",
     {"--generate", "3", "--check"},
     "option --check sends no readings: leave out --readings and --generate"},
    {"BothReadingSources",
     {"--readings", "r.json", "--generate", "3"},
     "options --readings and --generate exclude each other"},
    {"AssetsWithoutGenerate",
     {"--readings", "r.json", "--assets", "2"},
     "option --assets only applies to --generate"},
    {"DatapointsWithoutGenerate",
     {"--readings", "r.json", "--datapoints", "2"},
     "option --datapoints only applies to --generate"},
};

std::string rejectedName(const ::testing::TestParamInfo<RejectedCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Table, RunnerArgumentParserRejects, ::testing::ValuesIn(REJECTED),
                         rejectedName);

TEST(RunnerArgumentParser, ArgcArgvSkipsTheProgramName) {
    const char* argv[] = {"north_runner", "--generate", "4", nullptr};
    RunnerOptions options = ArgumentParser(DEFAULT_PLUGIN).parse(3, argv);
    EXPECT_EQ(options.generateCount, 4u);
}

TEST(RunnerArgumentParser, UsageListsEveryOptionAndTheDefaultPlugin) {
    std::string usage = ArgumentParser(DEFAULT_PLUGIN).usage("north_runner");
    EXPECT_EQ(usage.rfind("Usage: north_runner [OPTIONS]\n", 0), 0u);
    for (const char* option :
         {"--plugin PATH", "--info", "--check", "--config FILE", "--set ITEM=VALUE",
          "--readings FILE", "--generate N", "--assets K", "--datapoints D", "--batch-size B",
          "--retry-interval SECS", "--max-retries R", "--progress", "--log-level LEVEL", "--quiet",
          "-h, --help"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
    EXPECT_NE(usage.find(DEFAULT_PLUGIN), std::string::npos);
}

}  // namespace
