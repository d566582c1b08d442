#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "client/odbc_client.h"
#include "host/log_capture.h"
#include "tests/odbc/client_probe.h"
#include "tests/support/scripted_driver.h"

namespace {

using varnholt::test::ClientProbe;
using varnholt::test::DiagRecord;
using varnholt::test::ScriptedDriver;
using Lines = std::vector<LogCapture::Line>;
using Level = Logger::Level;

LogCapture::Line debug(const std::string& text) {
    return {Level::DEBUG, text};
}
LogCapture::Line info(const std::string& text) {
    return {Level::INFO, text};
}
LogCapture::Line warn(const std::string& text) {
    return {Level::WARN, text};
}
LogCapture::Line error(const std::string& text) {
    return {Level::ERROR, text};
}

const LogCapture::Line DISCONNECTED = debug("Disconnected from the database.");
const LogCapture::Line ENV_RELEASED = debug("ODBC environment released.");
const LogCapture::Line NOT_INITIALIZED =
    warn("Connection status check failed: connection handle is not initialized.");
const LogCapture::Line NOT_CACHED =
    warn("Database type not cached - call cacheDatabaseType() after successful connection");

class ODBCClientSession : public ::testing::Test {
protected:
    void SetUp() override {
        driver().reset();
        client = std::make_unique<ClientProbe>();
    }

    void TearDown() override {
        client.reset();
        EXPECT_EQ(driver().openHandles(), 0);
    }

    static ScriptedDriver& driver() { return ScriptedDriver::instance(); }

    void connect() {
        client->Init();
        ASSERT_EQ(client->Connect(ScriptedDriver::connectionString()), TOLVANE_ODBC_SUCCESS);
    }

    std::unique_ptr<ClientProbe> client;
};

TEST_F(ODBCClientSession, ConstructionAndDestructionLog) {
    LogCapture capture;
    client.reset();
    ClientProbe other;
    EXPECT_EQ(capture.lines(), (Lines{debug("ODBCClient instance is being destroyed."),
                                      debug("ODBCClient instance is being created.")}));
}

TEST_F(ODBCClientSession, DestructorReleasesAConnectedClient) {
    connect();
    EXPECT_GT(driver().openHandles(), 0);
    LogCapture capture;
    client.reset();
    EXPECT_EQ(capture.lines(), (Lines{debug("ODBCClient instance is being destroyed."),
                                      DISCONNECTED, ENV_RELEASED}));
    EXPECT_EQ(driver().disconnectCount(), 1);
    EXPECT_EQ(driver().openHandles(), 0);
}

TEST_F(ODBCClientSession, InitAllocatesBothHandles) {
    LogCapture capture;
    client->Init();
    EXPECT_TRUE(client->hasEnvHandle());
    EXPECT_TRUE(client->hasConnectionHandle());
    EXPECT_EQ(capture.lines(), (Lines{debug("Initializing ODBC environment..."),
                                      debug("ODBC environment initialized successfully.")}));
}

TEST_F(ODBCClientSession, ConnectSucceeds) {
    client->Init();
    LogCapture capture;
    const std::string connectionString = ScriptedDriver::connectionString("UID=pump;");
    EXPECT_EQ(client->Connect(connectionString), TOLVANE_ODBC_SUCCESS);
    EXPECT_EQ(capture.lines(), (Lines{info("Connected to the database successfully.")}));
    EXPECT_EQ(client->lastConnectionString(), connectionString);
    EXPECT_EQ(driver().lastConnectionString(), connectionString);
    EXPECT_EQ(driver().connectCount(), 1);
    EXPECT_TRUE(client->hasConnectionHandle());
    EXPECT_GT(driver().openHandles(), 0);
}

TEST_F(ODBCClientSession, ConnectWithInfoCountsAsConnected) {
    driver().setConnectResult(SQL_SUCCESS_WITH_INFO,
                              {"01S00", 5, "Invalid connection string attribute"});
    client->Init();
    LogCapture capture;
    EXPECT_EQ(client->Connect(ScriptedDriver::connectionString()), TOLVANE_ODBC_SUCCESS);
    EXPECT_EQ(capture.lines(), (Lines{info("Connected to the database successfully.")}));
    EXPECT_TRUE(client->isConnected());
}

TEST_F(ODBCClientSession, DestroyReleasesEverythingOnceAndIsSilentTheSecondTime) {
    connect();
    LogCapture capture;
    client->Destroy();
    EXPECT_EQ(capture.lines(), (Lines{DISCONNECTED, ENV_RELEASED}));
    EXPECT_TRUE(client->isEmpty());
    EXPECT_EQ(driver().disconnectCount(), 1);
    EXPECT_EQ(driver().openHandles(), 0);

    capture.clear();
    client->Destroy();
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(driver().disconnectCount(), 1);
}

TEST_F(ODBCClientSession, DestroyOfAFreshClientDoesNothing) {
    LogCapture capture;
    client->Destroy();
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(driver().disconnectCount(), 0);
}

// Destroy of an initialised, never connected client frees both handles.
TEST_F(ODBCClientSession, DestroyAfterInitOnly) {
    client->Init();
    LogCapture capture;
    client->Destroy();
    EXPECT_EQ(capture.lines(), (Lines{DISCONNECTED, ENV_RELEASED}));
    EXPECT_TRUE(client->isEmpty());
}

TEST_F(ODBCClientSession, InitAfterDestroyConnectsAgain) {
    connect();
    client->Destroy();
    connect();
    EXPECT_EQ(driver().connectCount(), 2);
    EXPECT_TRUE(client->isConnected());
}

struct ConnectFailureCase {
    const char* name;
    DiagRecord diag;
    int status;
};

std::ostream& operator<<(std::ostream& out, const ConnectFailureCase& c) {
    return out << c.name;
}

// The one line a failed attempt writes: a warning when it is retried, an error saying what to
// fix when it is final.
LogCapture::Line connectFailureLine(const DiagRecord& diag, int status) {
    const std::string details = "SQLSTATE=" + diag.sqlState +
                                ", NativeError=" + std::to_string(diag.nativeError) +
                                ", Message=" + diag.message;
    if (status == TOLVANE_ODBC_EAGAIN) {
        return warn("Connection failed due to a transient error, retrying later: " + details);
    }
    return error(
        "Connection failed due to non-retriable error: Credentials or configuration issue (" +
        details +
        "). Check the user, the password, private key or token, and the account in the plugin's "
        "configuration, then reconfigure the plugin; no further connection attempts are made "
        "until then.");
}

class ConnectFailure : public ODBCClientSession,
                       public ::testing::WithParamInterface<ConnectFailureCase> {};

TEST_P(ConnectFailure, ClassifiesLogsAndReleases) {
    const auto& c = GetParam();
    driver().setConnectResult(SQL_ERROR, c.diag);
    client->Init();
    LogCapture capture;
    EXPECT_EQ(client->Connect(ScriptedDriver::connectionString()), c.status);
    const Lines expected = {connectFailureLine(c.diag, c.status), DISCONNECTED, ENV_RELEASED};
    EXPECT_EQ(capture.lines(), expected);
    EXPECT_TRUE(client->isEmpty());
    EXPECT_EQ(driver().openHandles(), 0);
    EXPECT_EQ(driver().connectCount(), 0);

    capture.clear();
    client->Destroy();
    EXPECT_TRUE(capture.lines().empty());
}

const char* const REFUSED = "Connection refused by peer";

// Only a refused login is final; whatever else a driver or a proxy answers is retried.
INSTANTIATE_TEST_SUITE_P(
    ODBCClient, ConnectFailure,
    ::testing::Values(
        ConnectFailureCase{"LinkFailure", {"08S01", 10061, REFUSED}, TOLVANE_ODBC_EAGAIN},
        ConnectFailureCase{"CannotConnect", {"08001", 10061, REFUSED}, TOLVANE_ODBC_EAGAIN},
        ConnectFailureCase{"ServerRejected", {"08004", 10061, REFUSED}, TOLVANE_ODBC_EAGAIN},
        ConnectFailureCase{"SnowflakeNetworkFailureUnderHY000",
                           {"HY000", 0, "Couldn't resolve host name"},
                           TOLVANE_ODBC_EAGAIN},
        ConnectFailureCase{"Timeout", {"HYT00", 0, "Timeout expired"}, TOLVANE_ODBC_EAGAIN},
        ConnectFailureCase{
            "Serialization", {"40001", 0, "could not serialize access"}, TOLVANE_ODBC_EAGAIN},
        ConnectFailureCase{"OddState", {"XX000", 0, "proxy said no"}, TOLVANE_ODBC_EAGAIN},
        ConnectFailureCase{"LowerCaseState", {"08s01", 0, "link down"}, TOLVANE_ODBC_EAGAIN},
        ConnectFailureCase{"ServerStarting",
                           {"57P03", 7, "the database system is starting up"},
                           TOLVANE_ODBC_EAGAIN},
        ConnectFailureCase{"SnowflakeAuthenticationTokenExpired",
                           {"08001", 390114, "Authentication token has expired."},
                           TOLVANE_ODBC_EAGAIN},
        ConnectFailureCase{
            "InvalidAuthorization", {"28000", 10061, "Login failed"}, TOLVANE_ODBC_FAILED},
        ConnectFailureCase{
            "SyntaxOrAccessViolation", {"42000", 0, "Invalid account"}, TOLVANE_ODBC_FAILED},
        ConnectFailureCase{"EmulatorWrongPassword",
                           {"28P01", 7, "password authentication failed for user \"u\""},
                           TOLVANE_ODBC_FAILED},
        ConnectFailureCase{"SnowflakeWrongPasswordUnderConnectionState",
                           {"08004", 390100, "Incorrect username or password was specified."},
                           TOLVANE_ODBC_FAILED},
        ConnectFailureCase{"SnowflakeJwtInvalidOnlyInTheMessage",
                           {"HY000", 0, "390144 (28000): JWT token is invalid."},
                           TOLVANE_ODBC_FAILED},
        ConnectFailureCase{"SnowflakeOAuthTokenExpired",
                           {"08001", 390318, "OAuth token expired"},
                           TOLVANE_ODBC_FAILED}),
    [](const ::testing::TestParamInfo<ConnectFailureCase>& info) {
        return std::string(info.param.name);
    });

TEST_F(ODBCClientSession, FailedConnectKeepsThePreviousConnectionString) {
    const std::string first = ScriptedDriver::connectionString("UID=first;");
    client->Init();
    ASSERT_EQ(client->Connect(first), TOLVANE_ODBC_SUCCESS);
    client->Destroy();

    driver().setConnectResult(SQL_ERROR, {"08001", 0, "Unable to connect"});
    client->Init();
    EXPECT_EQ(client->Connect(ScriptedDriver::connectionString("UID=second;")),
              TOLVANE_ODBC_EAGAIN);
    EXPECT_EQ(client->lastConnectionString(), first);
}

TEST_F(ODBCClientSession, FailedFirstConnectLeavesTheConnectionStringEmpty) {
    driver().setConnectResult(SQL_ERROR, {"28000", 0, "Login failed"});
    client->Init();
    EXPECT_EQ(client->Connect(ScriptedDriver::connectionString()), TOLVANE_ODBC_FAILED);
    EXPECT_EQ(client->lastConnectionString(), "");
}

// Without a connection handle no diagnostic record can be read: the texts read as empty.
TEST_F(ODBCClientSession, ConnectWithoutInitReportsEmptyDiagnostics) {
    LogCapture capture;
    EXPECT_EQ(client->Connect(ScriptedDriver::connectionString()), TOLVANE_ODBC_EAGAIN);
    EXPECT_EQ(capture.lines(), (Lines{connectFailureLine({}, TOLVANE_ODBC_EAGAIN)}));
    EXPECT_EQ(driver().connectCount(), 0);
}

TEST_F(ODBCClientSession, ConnectAfterAFailedConnectNeedsInit) {
    driver().setConnectResult(SQL_ERROR, {"08001", 0, "Unable to connect"});
    client->Init();
    ASSERT_EQ(client->Connect(ScriptedDriver::connectionString()), TOLVANE_ODBC_EAGAIN);
    driver().setConnectResult(SQL_SUCCESS);
    // Without handles nothing reaches the driver; the connector initialises before each retry.
    EXPECT_EQ(client->Connect(ScriptedDriver::connectionString()), TOLVANE_ODBC_EAGAIN);
    EXPECT_EQ(driver().connectCount(), 0);
    client->Init();
    EXPECT_EQ(client->Connect(ScriptedDriver::connectionString()), TOLVANE_ODBC_SUCCESS);
}

TEST_F(ODBCClientSession, IsConnectedBeforeInitAndAfterDestroy) {
    LogCapture capture;
    EXPECT_FALSE(client->isConnected());
    connect();
    client->Destroy();
    capture.clear();
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(capture.lines(), (Lines{NOT_INITIALIZED}));
}

TEST_F(ODBCClientSession, IsConnectedOnALiveConnection) {
    connect();
    LogCapture capture;
    EXPECT_TRUE(client->isConnected());
    EXPECT_TRUE(client->isConnected());
    EXPECT_EQ(capture.lines(),
              (Lines{info("Connection is active."), info("Connection is active.")}));
}

TEST_F(ODBCClientSession, IsConnectedOnADeadConnection) {
    connect();
    driver().setConnectionDead(true);
    LogCapture capture;
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(capture.lines(), (Lines{info("Connection is not active (dead).")}));
    EXPECT_TRUE(client->hasConnectionHandle());
}

const LogCapture::Line STATUS_FAILED =
    error("Failed to determine connection status using SQLGetConnectAttr.");

struct AttrFailureCase {
    SQLRETURN returnCode;
    const char* name;
};

void PrintTo(const AttrFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class ConnectionAttrFailure : public ODBCClientSession,
                              public ::testing::WithParamInterface<AttrFailureCase> {};

// Only a clean SQL_SUCCESS answers the question; a warning leaves it in doubt.
TEST_P(ConnectionAttrFailure, AnswersFalseAndLogsTheRecords) {
    connect();
    driver().setConnectAttrResult(GetParam().returnCode, {"HY000", 77, "Attribute trouble"});
    LogCapture capture;
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(capture.lines(),
              (Lines{STATUS_FAILED, debug("SQLGetConnectAttr: SQLSTATE=HY000, NativeError=77, "
                                          "Message=Attribute trouble")}));
}

INSTANTIATE_TEST_SUITE_P(ODBCClient, ConnectionAttrFailure,
                         ::testing::Values(AttrFailureCase{SQL_ERROR, "Error"},
                                           AttrFailureCase{SQL_SUCCESS_WITH_INFO, "WithInfo"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The driver manager refuses the attribute on a handle that never connected.
TEST_F(ODBCClientSession, IsConnectedOnAnInitialisedButUnconnectedClient) {
    client->Init();
    LogCapture capture;
    EXPECT_FALSE(client->isConnected());
    const auto lines = capture.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], STATUS_FAILED);
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].first, Level::DEBUG);
        EXPECT_EQ(lines[i].second.rfind("SQLGetConnectAttr: SQLSTATE=", 0), 0u) << lines[i].second;
    }
}

TEST_F(ODBCClientSession, CachesTheDatabaseTypeFromTheProductName) {
    driver().setDbmsName("MySQL");
    connect();
    LogCapture capture;
    client->cacheDatabaseType();
    EXPECT_EQ(capture.lines(),
              (Lines{info("Connection is active."), info("Connection is active."),
                     debug("Database product name: MySQL"), info("Database type cached: MySQL")}));
    EXPECT_TRUE(client->isDatabaseTypeCached());

    capture.clear();
    EXPECT_EQ(client->getDatabaseTypeEnum(), DatabaseType::MySQL);
    EXPECT_EQ(client->getDatabaseType(), "MySQL");
    EXPECT_EQ(capture.lines(), (Lines{debug("Using cached database type enum: MySQL"),
                                      debug("Using cached database type: MySQL")}));
}

// The cache survives Destroy and Init and holds the old type until cached anew.
TEST_F(ODBCClientSession, CacheSurvivesReconnection) {
    driver().setDbmsName("MySQL");
    connect();
    client->cacheDatabaseType();
    client->Destroy();
    EXPECT_EQ(client->getDatabaseTypeEnum(), DatabaseType::MySQL);

    driver().setDbmsName("PostgreSQL");
    connect();
    EXPECT_TRUE(client->isDatabaseTypeCached());
    EXPECT_EQ(client->getDatabaseType(), "MySQL");
    client->cacheDatabaseType();
    EXPECT_EQ(client->getDatabaseTypeEnum(), DatabaseType::PostgreSQL);
    EXPECT_EQ(client->getDatabaseType(), "PostgreSQL");
}

TEST_F(ODBCClientSession, NothingCachedYet) {
    LogCapture capture;
    EXPECT_FALSE(client->isDatabaseTypeCached());
    EXPECT_EQ(client->getDatabaseType(), "Unknown");
    EXPECT_EQ(client->getDatabaseTypeEnum(), DatabaseType::Unknown);
    EXPECT_EQ(capture.lines(), (Lines{NOT_CACHED, NOT_CACHED}));
}

TEST_F(ODBCClientSession, CacheOnAnEmptyClientLeavesTheCacheUnset) {
    LogCapture capture;
    client->cacheDatabaseType();
    EXPECT_EQ(capture.lines(),
              (Lines{NOT_INITIALIZED, warn("Cannot cache database type: not connected")}));
    EXPECT_FALSE(client->isDatabaseTypeCached());
}

TEST_F(ODBCClientSession, CacheOnADeadConnectionKeepsTheEarlierCache) {
    driver().setDbmsName("Oracle");
    connect();
    client->cacheDatabaseType();
    driver().setConnectionDead(true);
    driver().setDbmsName("DB2");
    client->cacheDatabaseType();
    EXPECT_EQ(client->getDatabaseTypeEnum(), DatabaseType::Oracle);
}

TEST_F(ODBCClientSession, ProductNameWhenNotConnected) {
    LogCapture capture;
    EXPECT_EQ(client->getDatabaseProductName(), "Unknown");
    EXPECT_EQ(capture.lines(),
              (Lines{NOT_INITIALIZED, warn("Cannot get database product name: not connected")}));
}

TEST_F(ODBCClientSession, ProductNameFailureStillCompletesTheCache) {
    driver().setDbmsName("MySQL", SQL_ERROR);
    connect();
    LogCapture capture;
    EXPECT_EQ(client->getDatabaseProductName(), "Unknown");
    const auto lines = capture.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), info("Connection is active."));
    EXPECT_EQ(lines.back(), warn("Failed to get database product name"));
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].first, Level::DEBUG);
        EXPECT_EQ(lines[i].second.rfind("SQLGetInfo: SQLSTATE=", 0), 0u) << lines[i].second;
    }

    capture.clear();
    client->cacheDatabaseType();
    EXPECT_TRUE(capture.contains(Level::WARN, "Unknown database type string: Unknown"));
    EXPECT_TRUE(capture.contains(Level::INFO, "Database type cached: Unknown"));
    EXPECT_TRUE(client->isDatabaseTypeCached());
    EXPECT_EQ(client->getDatabaseTypeEnum(), DatabaseType::Unknown);
}

TEST_F(ODBCClientSession, UnlistedProductIsUnknown) {
    driver().setDbmsName("ScriptedDB");
    connect();
    LogCapture capture;
    client->cacheDatabaseType();
    EXPECT_TRUE(capture.contains(Level::WARN, "Unknown database type string: ScriptedDB"));
    EXPECT_EQ(client->getDatabaseType(), "Unknown");
    EXPECT_TRUE(client->isDatabaseTypeCached());
}

// Calls the class makes on itself go through the virtual table.
class DispatchProbe : public ODBCClient {
public:
    int destroyCalls = 0;
    int isConnectedCalls = 0;
    int productNameCalls = 0;
    bool reportConnected = true;
    std::string productName = "Oracle";

    void Destroy() override {
        ++destroyCalls;
        ODBCClient::Destroy();
    }
    bool isConnected() override {
        ++isConnectedCalls;
        return reportConnected;
    }
    std::string getDatabaseProductName() override {
        ++productNameCalls;
        return productName;
    }
};

TEST_F(ODBCClientSession, FailedConnectCallsTheOverriddenDestroy) {
    driver().setConnectResult(SQL_ERROR, {"08001", 0, "Unable to connect"});
    DispatchProbe probe;
    probe.Init();
    EXPECT_EQ(probe.Connect(ScriptedDriver::connectionString()), TOLVANE_ODBC_EAGAIN);
    EXPECT_EQ(probe.destroyCalls, 1);
}

TEST_F(ODBCClientSession, CacheUsesTheOverriddenChecks) {
    DispatchProbe probe;
    probe.cacheDatabaseType();
    EXPECT_EQ(probe.isConnectedCalls, 1);
    EXPECT_EQ(probe.productNameCalls, 1);
    EXPECT_EQ(probe.getDatabaseTypeEnum(), DatabaseType::Oracle);

    probe.reportConnected = false;
    probe.productName = "MySQL";
    probe.cacheDatabaseType();
    EXPECT_EQ(probe.productNameCalls, 1);
    EXPECT_EQ(probe.getDatabaseTypeEnum(), DatabaseType::Oracle);
}

// The base product-name lookup asks the overridden isConnected.
TEST_F(ODBCClientSession, ProductNameUsesTheOverriddenConnectionCheck) {
    class Disconnected : public ODBCClient {
    public:
        int checks = 0;
        bool isConnected() override {
            ++checks;
            return false;
        }
    } probe;
    probe.Init();
    ASSERT_EQ(probe.Connect(ScriptedDriver::connectionString()), TOLVANE_ODBC_SUCCESS);
    LogCapture capture;
    EXPECT_EQ(probe.getDatabaseProductName(), "Unknown");
    EXPECT_EQ(probe.checks, 1);
    EXPECT_EQ(capture.lines(), (Lines{warn("Cannot get database product name: not connected")}));
}

}  // namespace
