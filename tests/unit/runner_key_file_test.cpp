#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/key_files.h"
#include "tests/support/runner_process.h"

using varnholt::test::KeyFiles;
using varnholt::test::runProgram;
using varnholt::test::RunResult;

namespace {

RunResult runRunner(const std::vector<std::string>& arguments) {
    return runProgram(NORTH_RUNNER_PATH, arguments);
}

struct KeyFileCase {
    const char* name;
    std::string keyFile;  // a KeyFiles name
    std::string problem;  // what the error says after the path
};

class RunnerKeyFile : public ::testing::TestWithParam<KeyFileCase> {};

// A key pair login whose key file cannot work stops at plugin_init, before any connection is
// tried, with one error line from the plugin and exit status 1.
TEST_P(RunnerKeyFile, StopsBeforeConnectingWithOneClearError) {
    KeyFiles keys;
    const std::string path = keys.path(GetParam().keyFile);
    const RunResult run =
        runRunner({"--plugin", VARNHOLT_PLUGIN_PATH, "--set", "authentication=Key pair", "--set",
                   "privateKeyFile=" + path, "--generate", "1", "--log-level", "debug"});
    const std::string message =
        "Key pair authentication: private key file '" + path + "' " + GetParam().problem;

    EXPECT_EQ(run.status, 1);
    std::vector<std::string> errors;
    bool runnerSaidSo = false;
    for (const std::string& line : run.lines) {
        if (line.rfind("ERROR: ", 0) == 0) {
            errors.push_back(line);
        }
        runnerSaidSo = runnerSaidSo || line == "north_runner: plugin_init failed: " + message;
        EXPECT_EQ(line.find("Attempting database connection"), std::string::npos) << line;
        EXPECT_EQ(line.find("SQLSTATE"), std::string::npos) << line;
        EXPECT_EQ(line.find(KeyFiles::KEY_BODY), std::string::npos) << line;
    }
    EXPECT_EQ(errors, std::vector<std::string>{"ERROR: Error during configuration: " + message});
    EXPECT_TRUE(runnerSaidSo);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RunnerKeyFile,
    ::testing::Values(KeyFileCase{"Missing", "missing.p8", "does not exist"},
                      KeyFileCase{"Unreadable", "folder.p8", "cannot be read: Is a directory"},
                      KeyFileCase{"NotAKey", "public.pem",
                                  "is not a PEM private key (no BEGIN PRIVATE KEY or BEGIN "
                                  "ENCRYPTED PRIVATE KEY line)"}),
    [](const ::testing::TestParamInfo<KeyFileCase>& info) { return info.param.name; });

struct SettingCase {
    const char* name;
    std::string setting;  // ITEM=VALUE
    std::string message;  // what the plugin refuses it with
};

class RunnerImpossibleSetting : public ::testing::TestWithParam<SettingCase> {};

// Settings no connection can work with stop the runner at plugin_init with exit status 1 and one
// error line, and nothing is tried.
TEST_P(RunnerImpossibleSetting, StopsBeforeConnectingWithOneClearError) {
    const RunResult run = runRunner({"--plugin", VARNHOLT_PLUGIN_PATH, "--set", GetParam().setting,
                                     "--generate", "1", "--log-level", "debug"});
    EXPECT_EQ(run.status, 1);
    std::vector<std::string> errors;
    for (const std::string& line : run.lines) {
        if (line.rfind("ERROR: ", 0) == 0) {
            errors.push_back(line);
        }
        EXPECT_EQ(line.find("Attempting database connection"), std::string::npos) << line;
    }
    EXPECT_EQ(errors,
              std::vector<std::string>{"ERROR: Error during configuration: " + GetParam().message});
}

INSTANTIATE_TEST_SUITE_P(
    Settings, RunnerImpossibleSetting,
    ::testing::Values(SettingCase{"EmptyServer", "server=",
                                  "Server is empty (item server): enter the account's host name, "
                                  "such as myorg-myaccount.snowflakecomputing.com"},
                      SettingCase{"ServerAsURL", "server=https://acme.snowflakecomputing.com",
                                  "Server 'https://acme.snowflakecomputing.com' is a URL (item "
                                  "server): enter the host name alone, "
                                  "'acme.snowflakecomputing.com'"},
                      SettingCase{"PortOutOfRange", "port=70000",
                                  "Port 70000 is outside 1-65535 (item port): Snowflake takes "
                                  "connections on port 443"}),
    [](const ::testing::TestParamInfo<SettingCase>& info) { return info.param.name; });

}  // namespace
