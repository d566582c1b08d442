#ifndef TESTS_SUPPORT_EMULATOR_H
#define TESTS_SUPPORT_EMULATOR_H

#include <optional>
#include <string>
#include <vector>

namespace varnholt {
namespace test {

// Names the emulator creates; the defaults match the plugin's test configurations.
struct EmulatorOptions {
    std::string database{"tolvane_db"};
    std::string user{"tolvane"};
    std::string password{"secret"};
};

// The local stand-in for Snowflake: a private PostgreSQL cluster reached through the PostgreSQL
// ODBC driver registered as "SnowflakeDSIIDriver" (scripts/emulator-start.sh). Tables land in
// schema "TOLVANE", information_schema.columns reports Snowflake's type names and backslashes in
// '...' literals are escapes. The cluster lives in a temporary folder that stop() removes; a
// watcher removes it too should this process end without stopping it.
class Emulator {
public:
    // One value of a result row; empty for SQL NULL.
    using Value = std::optional<std::string>;
    using Row = std::vector<Value>;
    using Rows = std::vector<Row>;

    explicit Emulator(EmulatorOptions options = EmulatorOptions());
    // Stops the emulator and removes its folder.
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Starts a fresh emulator in a new temporary folder on a free port; does nothing when it is
    // already started. Throws std::runtime_error with the script's messages on failure.
    void start();
    // Stops the server and removes the folder with all data; does nothing when not started.
    void stop();
    bool isStarted() const { return started; }

    // Stop and start only the server, keeping folder, port and data: for outage tests. Sessions
    // open at the stop are cut. Throw std::runtime_error when not started or on failure.
    void stopServer();
    void startServer();
    bool isServerRunning() const { return serverRunning; }

    // Settings of the running emulator, as emulator-start.sh printed them.
    const std::string& directory() const { return dir; }
    const std::string& host() const { return hostName; }
    int port() const { return portNumber; }
    const std::string& database() const { return databaseName; }
    const std::string& user() const { return userName; }
    const std::string& password() const { return userPassword; }
    const std::string& schema() const { return schemaName; }
    // The folder that holds odbcinst.ini with the "SnowflakeDSIIDriver" entry.
    const std::string& odbcSysIniDir() const { return odbcSysIni; }
    // Driver={SnowflakeDSIIDriver};Server=...;Port=...;Database=...;UID=...;PWD=...;SCHEMA=TOLVANE;
    const std::string& connectionString() const { return connection; }

    // Points the driver manager of this process at the emulator's odbcinst.ini (ODBCSYSINI).
    void setOdbcEnvironment() const;

    // Runs one SELECT (or other row-returning statement; a trailing ';' is allowed) as the login
    // role and returns its rows, every value byte for byte as stored, NULL as an empty optional.
    Rows query(const std::string& sql) const;
    // Runs one or more statements as the login role, stopping at the first error.
    void execute(const std::string& sql) const;
    // As execute(), as the cluster's superuser: for what the login role may not do.
    void executeAsSuperuser(const std::string& sql) const;

private:
    void runStartScript(const std::string& directoryArgument);
    std::string runPsql(const std::string& role, const std::string& sql) const;
    void requireStarted(const char* operation) const;

    EmulatorOptions options;
    bool started = false;
    bool serverRunning = false;
    std::string dir;
    std::string hostName;
    int portNumber = 0;
    std::string databaseName;
    std::string userName;
    std::string userPassword;
    std::string schemaName;
    std::string pgBin;
    std::string odbcSysIni;
    std::string connection;
};

// The emulator shared by all tests of the process: started on first use, stopped by a GoogleTest
// environment at the end of the test run (and at process exit otherwise).
Emulator& sharedEmulator();

}  // namespace test
}  // namespace varnholt

#endif
