// The north runner's --check against the emulator: it reports whether batches can be delivered
// and what to fix, and leaves no table behind.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/plugin_e2e_test.h"
#include "tests/support/runner_process.h"

namespace varnholt {
namespace test {
namespace {

// A loopback port nothing listens on: bound once by the system's choice, then let go.
int unusedPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (probe < 0 || bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot find a free port");
    }
    close(probe);
    return ntohs(address.sin_port);
}

struct CheckCase {
    const char* name;
    bool nothingListening;
    bool wrongPassword;
    // Empty: the check passes. Else the item that fails and a piece of what its fix says.
    std::string failedItem;
    std::string fix;
};

class SettingsCheck : public PluginE2ETest, public ::testing::WithParamInterface<CheckCase> {
protected:
    std::string tablesInSchema() const {
        const Value names = scalar(
            "SELECT coalesce(string_agg(tablename, ',' ORDER BY tablename), '') FROM pg_tables "
            "WHERE schemaname = " +
            quoteLiteral(emulator.schema()));
        return names.value_or("");
    }
};

TEST_P(SettingsCheck, ReportsEachItemAndWhatToFix) {
    const CheckCase& param = GetParam();
    const std::string port =
        std::to_string(param.nothingListening ? unusedPort() : emulator.port());
    const std::string password =
        param.wrongPassword ? "not-" + emulator.password() : emulator.password();
    const std::string tablesBefore = tablesInSchema();

    const RunResult run = runProgram(
        NORTH_RUNNER_PATH,
        {"--plugin", VARNHOLT_PLUGIN_PATH, "--check", "--set", "server=" + emulator.host(), "--set",
         "port=" + port, "--set", "schema=" + emulator.database(), "--set",
         "user=" + emulator.user(), "--set", "password=" + password, "--log-level", "error"});
    const std::string output = ::testing::PrintToString(run.lines);

    auto item = [&run](const std::string& name, const std::string& verdict) {
        return std::any_of(run.lines.begin(), run.lines.end(), [&](const std::string& line) {
            return line.rfind(name + " ", 0) == 0 &&
                   line.find(" " + verdict + " ") != std::string::npos;
        });
    };
    if (param.failedItem.empty()) {
        EXPECT_EQ(run.status, 0) << output;
        for (const char* name :
             {"connection", "database", "session", "create tables", "write", "clean-up"}) {
            EXPECT_TRUE(item(name, "ok")) << name << ": " << output;
        }
        EXPECT_NE(output.find("database " + emulator.database() + ", schema " + emulator.schema()),
                  std::string::npos)
            << output;
        EXPECT_NE(output.find("settings check passed"), std::string::npos) << output;
    } else {
        EXPECT_EQ(run.status, 1) << output;
        EXPECT_TRUE(item(param.failedItem, "FAILED")) << output;
        EXPECT_TRUE(std::any_of(run.lines.begin(), run.lines.end(), [&](const std::string& line) {
            return line.find("fix:") != std::string::npos &&
                   line.find(param.fix) != std::string::npos;
        })) << output;
        EXPECT_NE(output.find("settings check failed"), std::string::npos) << output;
        EXPECT_LT(run.seconds, 60.0);
    }
    // Nothing is written: the check's own table is gone and no reading's table was made.
    EXPECT_EQ(tablesInSchema(), tablesBefore);
}

INSTANTIATE_TEST_SUITE_P(Settings, SettingsCheck,
                         ::testing::Values(CheckCase{"Good", false, false, "", ""},
                                           CheckCase{"NothingListening", true, false, "connection",
                                                     "check the items server and port"},
                                           CheckCase{"WrongPassword", false, true, "connection",
                                                     "check the items user and password"}),
                         [](const ::testing::TestParamInfo<CheckCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace test
}  // namespace varnholt
