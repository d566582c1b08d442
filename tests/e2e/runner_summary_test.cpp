// Readings of odd sizes, routes and values sent through the north runner into the emulator: the
// ordinary ones land once, the odd one lands or is kept in the reject table (bounded), the
// runner exits 0, and its summary adds up: "delivered" are the readings that landed in their
// tables, "rejected" those kept in the reject table, together what was sent.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

struct RunnerRun {
    int status = -1;
    std::string output;  // standard output and standard error together
};

// One reading of the runner's input: seq is its place, unique within its case.
std::string line(const std::string& asset, int seq, const std::string& more = "") {
    char time[40];
    std::snprintf(time, sizeof(time), "2024-05-01 12:%02d:%02d.%06d", seq / 60, seq % 60,
                  seq * 1001);
    return "{\"asset\": \"" + asset + "\", \"user_ts\": \"" + time + "\", \"ts\": \"" + time +
           "\", \"readings\": {\"seq\": " + std::to_string(seq) + more + "}}";
}

std::vector<std::string> ordinary(const std::string& asset, int count, int first = 0) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        lines.push_back(line(asset, first + i));
    }
    return lines;
}

size_t longestDigitRun(const std::string& text) {
    size_t longest = 0;
    size_t run = 0;
    for (char c : text) {
        run = c >= '0' && c <= '9' ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

struct RunnerCase {
    std::string name;
    std::string table;
    // Sent first, in a run of its own, to give the table its columns.
    std::vector<std::string> earlier;
    std::vector<std::string> readings;
    size_t delivered;
    size_t rejected;
    // What the reject rows' message holds.
    std::string reason;
    // Floats of column "x" that must read back as the same double.
    std::vector<double> floats;
};

void PrintTo(const RunnerCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

const std::vector<RunnerCase>& runnerCases() {
    static const std::vector<RunnerCase> cases = [] {
        std::vector<RunnerCase> all;
        {
            // A text of 1.5 MB makes a row longer than one request may carry.
            RunnerCase c{"OversizedText",
                         "nb_big",
                         {},
                         ordinary("nb_big", 40),
                         40,
                         1,
                         "more than one request may carry",
                         {}};
            c.readings.insert(
                c.readings.begin() + 20,
                line("nb_big", 40, ", \"note\": \"" + std::string(1500000, 'n') + "\""));
            all.push_back(c);
        }
        {
            RunnerCase c{
                "HintNamingTheEmptyTable", "nb_hint", {}, ordinary("nb_hint", 4), 5, 0, "", {}};
            c.readings.push_back(
                line("nb_hint", 4, ", \"snowflakeHint\": \"{\\\"tablename\\\": \\\"\\\"}\""));
            all.push_back(c);
        }
        {
            RunnerCase c{"NumbersBeyond38Digits",
                         "nb_float",
                         {},
                         {},
                         5,
                         0,
                         "",
                         {21.5, 3.4028234663852886e38, 1e32, -1.7976931348623157e308, 5e31}};
            for (size_t i = 0; i < c.floats.size(); ++i) {
                char number[40];
                std::snprintf(number, sizeof(number), "%.17g", c.floats[i]);
                c.readings.push_back(
                    line("nb_float", static_cast<int>(i), std::string(", \"x\": ") + number));
            }
            all.push_back(c);
        }
        {
            // The first run makes "temp" BIGINT: the fractions are rejects.
            RunnerCase c{"SomeRejected",
                         "nb_sum",
                         {line("nb_sum", 100, ", \"temp\": 21")},
                         {},
                         3,
                         4,
                         "is not a whole number",
                         {}};
            const char* temps[] = {"21", "21.5", "22", "22.5", "23.25", "23", "24.75"};
            for (int i = 0; i < 7; ++i) {
                c.readings.push_back(line("nb_sum", i, std::string(", \"temp\": ") + temps[i]));
            }
            all.push_back(c);
        }
        return all;
    }();
    return cases;
}

// What the reject table keeps of a reading at most.
constexpr size_t KEPT_READING_BYTES = 64 * 1024;

class RunnerE2ETest : public PluginE2ETest {
protected:
    RunnerRun runRunner(const std::string& instance, const std::vector<std::string>& lines,
                        const std::vector<std::string>& extra = {}) {
        char folder[] = "/tmp/runner-summary-XXXXXX";
        EXPECT_NE(mkdtemp(folder), nullptr);
        const std::string input = std::string(folder) + "/readings.json";
        const std::string output = std::string(folder) + "/output.txt";
        {
            std::ofstream file(input);
            for (const std::string& text : lines) {
                file << text << "\n";
            }
        }
        std::vector<std::string> arguments = {NORTH_RUNNER_PATH,
                                              "--plugin",
                                              VARNHOLT_PLUGIN_PATH,
                                              "--set",
                                              "server=" + emulator.host(),
                                              "--set",
                                              "port=" + std::to_string(emulator.port()),
                                              "--set",
                                              "schema=" + emulator.database(),
                                              "--set",
                                              "user=" + emulator.user(),
                                              "--set",
                                              "password=" + emulator.password(),
                                              "--set",
                                              "tolvaneInstance=" + instance,
                                              "--readings",
                                              input,
                                              "--max-retries",
                                              "0"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(&argument[0]);
        }
        argv.push_back(nullptr);
        RunnerRun run;
        const pid_t child = fork();
        if (child == 0) {
            const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream file(output);
        run.output.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        std::remove(input.c_str());
        std::remove(output.c_str());
        rmdir(folder);
        return run;
    }

    // A count of the runner's summary ("readings delivered:   40").
    static long summary(const std::string& output, const std::string& what) {
        const std::string label = "readings " + what + ":";
        const size_t at = output.find("\n" + label);
        if (at == std::string::npos) {
            return -1;
        }
        return std::strtol(output.c_str() + at + 1 + label.size(), nullptr, 10);
    }
};

class RunnerSummaryTest : public RunnerE2ETest, public ::testing::WithParamInterface<RunnerCase> {
protected:
    std::string instance() const { return "runner-" + GetParam().name; }
};

TEST_P(RunnerSummaryTest, OrdinaryReadingsLandOnceAndTheCountsAddUp) {
    const RunnerCase& c = GetParam();
    if (!c.earlier.empty()) {
        ASSERT_EQ(runRunner(instance(), c.earlier).status, 0);
    }

    const RunnerRun run = runRunner(instance(), c.readings, {"--log-level", "debug"});

    ASSERT_EQ(run.status, 0) << run.output.substr(0, 4000);
    EXPECT_EQ(summary(run.output, "delivered"), static_cast<long>(c.delivered));
    EXPECT_EQ(summary(run.output, "rejected"), static_cast<long>(c.rejected));
    EXPECT_EQ(c.delivered + c.rejected, c.readings.size());
    // Snowflake's numbers hold 38 digits: no statement carries a longer number.
    EXPECT_LE(longestDigitRun(run.output), 38u);

    const Rows landed = query("SELECT seq FROM " + tableRef(c.table) + " AS r WHERE seq < 100");
    EXPECT_EQ(landed.size(), c.delivered);
    EXPECT_EQ(
        scalar("SELECT count(DISTINCT seq)::text FROM " + tableRef(c.table) + " WHERE seq < 100"),
        text(std::to_string(c.delivered)));
    for (size_t i = 0; i < c.floats.size(); ++i) {
        const Value back = scalar("SELECT x::text FROM " + tableRef(c.table) +
                                  " WHERE seq = " + std::to_string(i));
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(std::strtod(back->c_str(), nullptr), c.floats[i]) << *back;
    }

    const Rows rejects = query("SELECT reading, message FROM " + tableRef("_varnholt_rejects") +
                               " WHERE instance = " + quoteLiteral(instance()));
    ASSERT_EQ(rejects.size(), c.rejected);
    for (const auto& reject : rejects) {
        const std::string reading = reject.at(0).value_or("");
        EXPECT_LE(reading.size(), KEPT_READING_BYTES);
        EXPECT_NE(reject.at(1).value_or("").find(c.reason), std::string::npos) << *reject.at(1);
        rapidjson::Document document;
        document.Parse(reading.c_str(), reading.size());
        ASSERT_FALSE(document.HasParseError());
        if (document.HasMember("kept_in_part")) {
            EXPECT_GT(document["kept_in_part"]["bytes"].GetUint64(), 1500000u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, RunnerSummaryTest, ::testing::ValuesIn(runnerCases()),
                         [](const ::testing::TestParamInfo<RunnerCase>& info) {
                             return info.param.name;
                         });

// The replay goes on with the rejects it can rebuild and says which one it cannot: the one
// kept in part.
TEST_F(RunnerE2ETest, ReplayRebuildsWhatItCanAndSaysWhichItCannot) {
    const std::string table = "nb_replay";
    const std::string instance = "runner-replay";
    ASSERT_EQ(runRunner(instance, {line(table, 100, ", \"temp\": 21")}).status, 0);
    std::vector<std::string> readings = ordinary(table, 10);
    readings.push_back(line(table, 10, ", \"note\": \"" + std::string(1500000, 'n') + "\""));
    readings.push_back(line(table, 11, ", \"temp\": 21.5"));
    const RunnerRun first = runRunner(instance, readings);
    ASSERT_EQ(first.status, 0) << first.output.substr(0, 4000);
    EXPECT_EQ(summary(first.output, "delivered"), 10);
    EXPECT_EQ(summary(first.output, "rejected"), 2);
    emulator.execute("ALTER TABLE " + tableRef(table) + " ALTER COLUMN temp TYPE REAL");

    const RunnerRun run = runRunner(instance, {line(table, 12)},
                                    {"--set", "replayRejects=true", "--log-level", "warning"});

    ASSERT_EQ(run.status, 0) << run.output.substr(0, 4000);
    EXPECT_NE(run.output.find("cannot be replayed: only its first "), std::string::npos)
        << run.output.substr(0, 4000);
    EXPECT_EQ(summary(run.output, "delivered"), 1);
    EXPECT_EQ(summary(run.output, "rejected"), 0);
    EXPECT_EQ(summary(run.output, "replayed"), 1);
    EXPECT_EQ(scalar("SELECT temp::text FROM " + tableRef(table) + " WHERE seq = 11"),
              text("21.5"));
    EXPECT_EQ(scalar("SELECT count(*)::text FROM " + tableRef(table) + " WHERE seq < 100"),
              text("12"));
    const Rows left = query("SELECT reading FROM " + tableRef("_varnholt_rejects") +
                            " WHERE instance = " + quoteLiteral(instance));
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].at(0).value_or("").find("\"kept_in_part\""), std::string::npos);
}

}  // namespace
}  // namespace test
}  // namespace varnholt
