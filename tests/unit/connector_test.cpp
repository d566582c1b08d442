#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "config/default_config.h"
#include "connector/snowflake_odbc_connector.h"
#include "host/config_category.h"
#include "host/log_capture.h"
#include "schema/schema_manager.h"
#include "sql/snowflake_sql_builder.h"
#include "tests/support/case_names.h"
#include "tests/support/statement_client.h"
#include "tests/support/test_readings.h"

namespace {

using varnholt::test::Batch;
using varnholt::test::caseNames;
using varnholt::test::ReadingBuilder;
using Level = Logger::Level;
using Line = LogCapture::Line;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char* const TIME = "2024-01-01 00:00:00";
const char* const STAMP = "'2024-01-01 00:00:00.000000+00:00'";
const char* const SNOWFLAKE_PREFIX = "Driver={SnowflakeDSIIDriver};";
const char* const GENERIC_PREFIX = "Driver={DatabricksODBCDriver};";

// What the test client does and what it saw. Shared with the test because the connector owns
// (and deletes) the client.
struct ClientScript {
    std::function<void()> onInit;
    std::function<int(const std::string&)> onConnect;
    std::function<void()> onDestroy;
    std::function<QueryResult(const std::string&)> onQuery;
    bool alive = true;

    int inits = 0;
    int connects = 0;
    int destroys = 0;
    int aliveChecks = 0;
    bool deleted = false;
    std::vector<std::string> connectionStrings;
    std::vector<std::string> queries;

    void clearCounts() {
        inits = connects = destroys = aliveChecks = 0;
        connectionStrings.clear();
        queries.clear();
    }
};

// The database session as the connector sees it, with every outcome scripted.
class TestClient : public varnholt::test::StatementClient {
public:
    explicit TestClient(std::shared_ptr<ClientScript> script) : script(std::move(script)) {}
    ~TestClient() override { script->deleted = true; }

    void Init() override {
        ++script->inits;
        if (script->onInit) {
            script->onInit();
        }
    }
    int Connect(const std::string& connectionString) override {
        ++script->connects;
        script->connectionStrings.push_back(connectionString);
        return script->onConnect ? script->onConnect(connectionString) : TOLVANE_ODBC_SUCCESS;
    }
    bool isConnected() override {
        ++script->aliveChecks;
        return script->alive;
    }
    QueryResult executeQuery(const std::string& query) override {
        script->queries.push_back(query);
        return script->onQuery ? script->onQuery(query) : QueryResult{true, {}};
    }

    void Destroy() override {
        ++script->destroys;
        if (script->onDestroy) {
            script->onDestroy();
        }
    }

protected:
    bool transaction(const char* call) override {
        script->queries.push_back(call);
        return true;
    }

private:
    std::shared_ptr<ClientScript> script;
};

class CountingSchemaManager : public SchemaManager {
public:
    CountingSchemaManager(ODBCClient* client, bool* destroyed)
        : SchemaManager(client, ""), destroyed(destroyed) {}
    ~CountingSchemaManager() override { *destroyed = true; }

private:
    bool* destroyed;
};

// Tells which database name the schema manager hands to the column query.
class SchemaRecordingBuilder : public SnowflakeSQLBuilder {
public:
    std::string buildInformationSchemaQuery(const std::string& schema,
                                            const std::string& table) const override {
        schemas.push_back(schema);
        return SnowflakeSQLBuilder::buildInformationSchemaQuery(schema, table);
    }
    mutable std::vector<std::string> schemas;
};

// Renders every value as one character.
class ShortLiteralBuilder : public SnowflakeSQLBuilder {
public:
    std::string formatValue(const std::string&, const std::string&) const override { return "v"; }
    void appendValue(std::string& out, const char*, size_t, ValueStyle) const override {
        out += 'v';
    }
};

// Opens the connector's protected state to the tests.
class TestConnector : public SnowflakeODBCConnector {
public:
    using SnowflakeODBCConnector::SnowflakeODBCConnector;

    int state() const { return connectionState; }
    void setState(int state) { connectionState = state; }
    void setLastAttemptAgo(std::chrono::nanoseconds age) {
        lastConnectAttempt = Clock::now() - age;
    }
    void moveLastAttemptBack(std::chrono::nanoseconds by) { lastConnectAttempt -= by; }
    Clock::time_point lastAttempt() const { return lastConnectAttempt; }
    ODBCClient* clientPart() const { return client; }
    ReadingMapper* mapper() const { return readingMapper; }
    SchemaManager* schema() const { return schemaManager; }
    SQLBuilder* builder() const { return sqlBuilder; }
    const ODBCConfig& settings() const { return config; }
    // A connector that lost a part at construction.
    void dropMapper() {
        delete readingMapper;
        readingMapper = nullptr;
    }
    void replaceSchemaManager(SchemaManager* manager) {
        delete schemaManager;
        schemaManager = manager;
    }
};

ConfigCategory defaultCategory() {
    return ConfigCategory("varnholt", defaultConfiguration());
}

size_t indexOf(const std::vector<Line>& lines, const Line& line, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i] == line) {
            return i;
        }
    }
    return lines.size();
}

// Whether the expected lines appear in this order (other lines may come between).
bool inOrder(const std::vector<Line>& lines, const std::vector<Line>& expected) {
    size_t from = 0;
    for (const Line& line : expected) {
        from = indexOf(lines, line, from);
        if (from == lines.size()) {
            return false;
        }
        ++from;
    }
    return true;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool ownTable(const std::string& query) {
    return query.find("_varnholt_") != std::string::npos;
}

// Asked for once per session of a driver that does not run two statements in one request.
// Session settings, and the session's id read when it starts.
bool sessionSetting(const std::string& query) {
    return query == "ALTER SESSION SET MULTI_STATEMENT_COUNT = 0" ||
           query == "SELECT CURRENT_SESSION()";
}

// The INSERTs into the readings' tables.
std::vector<std::string> inserts(const std::vector<std::string>& queries) {
    std::vector<std::string> result;
    for (const std::string& query : queries) {
        if (startsWith(query, "INSERT INTO ") && !ownTable(query)) {
            result.push_back(query);
        }
    }
    return result;
}

// Everything but the statements on the plugin's own tables and its session setting.
std::vector<std::string> withoutOwnTables(const std::vector<std::string>& queries) {
    std::vector<std::string> result;
    for (const std::string& query : queries) {
        if (!ownTable(query) && !sessionSetting(query)) {
            result.push_back(query);
        }
    }
    return result;
}

size_t rowsOf(const std::string& insert) {
    size_t rows = 1;
    for (size_t at = insert.find("), ("); at != std::string::npos;
         at = insert.find("), (", at + 1)) {
        ++rows;
    }
    return rows;
}

std::unique_ptr<Reading> pumpReading(double temperature) {
    return ReadingBuilder("pumps").real("temperature", temperature).at(TIME).build();
}

class Connector : public ::testing::Test {
protected:
    void SetUp() override { script = std::make_shared<ClientScript>(); }

    std::unique_ptr<TestConnector> makeConnector() {
        return std::make_unique<TestConnector>(new TestClient(script));
    }

    // Configured from the published defaults and connected; counts start from zero.
    std::unique_ptr<TestConnector> makeConnected() {
        auto connector = makeConnector();
        ConfigCategory category = defaultCategory();
        EXPECT_TRUE(connector->configure(&category));
        connector->connect();
        EXPECT_EQ(connector->state(), TOLVANE_ODBC_SUCCESS);
        script->clearCounts();
        return connector;
    }

    std::shared_ptr<ClientScript> script;
};

// Construction

TEST_F(Connector, WithoutAClientCreatesItsOwnAndStartsNotConnected) {
    LogCapture capture;
    TestConnector connector(nullptr);
    EXPECT_TRUE(capture.contains(Level::DEBUG, "Creating new ODBC client instance"));
    ASSERT_NE(connector.clientPart(), nullptr);
    EXPECT_EQ(connector.schema()->getClient(), connector.clientPart());
    EXPECT_NE(connector.mapper(), nullptr);
    EXPECT_EQ(connector.state(), TOLVANE_ODBC_NOTCONNECTED);
    EXPECT_EQ(connector.builder(), nullptr);
    EXPECT_EQ(connector.getSQLBuilder(), nullptr);
    EXPECT_EQ(connector.lastAttempt(), Clock::time_point());
}

TEST_F(Connector, TakesOverAHandedInClientAndDestroysIt) {
    LogCapture capture;
    auto* client = new TestClient(script);
    {
        TestConnector connector(client);
        EXPECT_EQ(connector.clientPart(), client);
        EXPECT_EQ(connector.schema()->getClient(), client);
        EXPECT_FALSE(capture.contains(Level::DEBUG, "Creating new ODBC client instance"));
        // Construction neither connects nor reads settings.
        EXPECT_EQ(script->inits, 0);
        EXPECT_EQ(script->connects, 0);
        EXPECT_EQ(connector.getConnectionString().rfind(GENERIC_PREFIX, 0), 0u);
    }
    EXPECT_TRUE(script->deleted);
}

// Configuration

TEST_F(Connector, ConfigureWithTheBuiltInValuesCountsAsUnchanged) {
    SchemaRecordingBuilder recorder;
    auto connector = makeConnector();
    LogCapture capture;
    ConfigCategory empty("varnholt", "{}");

    ASSERT_TRUE(connector->configure(&empty));

    EXPECT_EQ(connector->getConnectionString().rfind(SNOWFLAKE_PREFIX, 0), 0u);
    EXPECT_EQ(connector->settings().connectionString, connector->getConnectionString());
    EXPECT_NE(connector->getSQLBuilder(), nullptr);
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_NOTCONNECTED);
    EXPECT_EQ(connector->lastAttempt(), Clock::time_point());
    EXPECT_EQ(script->destroys, 0);
    EXPECT_FALSE(capture.anyLineContains("Database configuration updated"));
    EXPECT_FALSE(capture.contains(Level::DEBUG, "Disconnecting from database"));
    EXPECT_FALSE(capture.contains(Level::INFO, "Database disconnected"));

    // The schema manager still has the empty name it was built with.
    connector->setSQLBuilder(&recorder);
    DatabaseRecord record("t");
    connector->schema()->checkTableExists("t", record);
    EXPECT_EQ(recorder.schemas, std::vector<std::string>{""});
}

TEST_F(Connector, UnchangedConfigureKeepsAnOpenConnection) {
    auto connector = makeConnected();
    ConfigCategory category = defaultCategory();
    ASSERT_TRUE(connector->configure(&category));
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_SUCCESS);
    EXPECT_EQ(script->destroys, 0);
}

TEST_F(Connector, ChangedSettingsReachTheMapperAndSchemaManagerAndDisconnect) {
    SchemaRecordingBuilder recorder;
    auto connector = makeConnector();
    ConfigCategory category = defaultCategory();
    category.setValue("server", "acme.snowflakecomputing.com");
    category.setValue("schema", "PLANT_DB");
    category.setValue("tolvaneInstance", "plant7");
    LogCapture capture;
    const auto before = Clock::now();

    ASSERT_TRUE(connector->configure(&category));

    EXPECT_TRUE(inOrder(capture.lines(),
                        {{Level::INFO,
                          "Database configuration updated: Server=acme.snowflakecomputing.com, "
                          "Port=443, Database=PLANT_DB"},
                         {Level::DEBUG, "Disconnecting from database"},
                         {Level::INFO, "Database disconnected"}}));
    // Also on the first configuration, when nothing was ever opened.
    EXPECT_EQ(script->destroys, 1);
    EXPECT_EQ(script->inits, 0);
    EXPECT_EQ(script->connects, 0);
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_NOTCONNECTED);
    EXPECT_GE(connector->lastAttempt(), before);
    EXPECT_EQ(connector->mapper()->getTolvaneInstance(), "plant7");
    EXPECT_NE(connector->getConnectionString().find("Server=acme.snowflakecomputing.com;"),
              std::string::npos);

    connector->setSQLBuilder(&recorder);
    DatabaseRecord record("t");
    connector->schema()->checkTableExists("t", record);
    EXPECT_EQ(recorder.schemas, std::vector<std::string>{"PLANT_DB"});
}

TEST_F(Connector, ChangedSettingsCloseAnOpenConnectionWithoutReconnecting) {
    auto connector = makeConnected();
    ConfigCategory category = defaultCategory();
    category.setValue("user", "loader");
    ASSERT_TRUE(connector->configure(&category));
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_NOTCONNECTED);
    EXPECT_EQ(script->destroys, 1);
    EXPECT_EQ(script->connects, 0);
}

TEST_F(Connector, EveryConfigureWiresOneNewBuilderIntoAllThreeParts) {
    auto connector = makeConnector();
    ConfigCategory category = defaultCategory();

    ASSERT_TRUE(connector->configure(&category));
    SnowflakeSQLBuilder* first = connector->getSQLBuilder();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(connector->builder(), first);
    EXPECT_EQ(connector->mapper()->getSQLBuilder(), first);
    EXPECT_EQ(connector->schema()->getSQLBuilder(), first);

    ASSERT_TRUE(connector->configure(&category));  // unchanged settings: still a new builder
    SnowflakeSQLBuilder* second = connector->getSQLBuilder();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(connector->builder(), second);
    EXPECT_EQ(connector->mapper()->getSQLBuilder(), second);
    EXPECT_EQ(connector->schema()->getSQLBuilder(), second);
}

TEST_F(Connector, ConfigureWithoutACategoryFailsAndSetsNoBuilder) {
    auto connector = makeConnector();
    LogCapture capture;
    EXPECT_FALSE(connector->configure(nullptr));
    EXPECT_EQ(capture.lines(),
              (std::vector<Line>{{Level::ERROR, "Configuration is null - cannot configure"},
                                 {Level::ERROR, "Snowflake configuration failed"}}));
    EXPECT_EQ(connector->getSQLBuilder(), nullptr);
    EXPECT_EQ(connector->builder(), nullptr);
    EXPECT_EQ(connector->getConnectionString().rfind(GENERIC_PREFIX, 0), 0u);
}

TEST_F(Connector, ConfigureOnAnInvalidConnectorFails) {
    auto connector = makeConnector();
    connector->dropMapper();
    ConfigCategory category = defaultCategory();
    LogCapture capture;
    EXPECT_FALSE(connector->configure(&category));
    EXPECT_EQ(capture.lines(),
              (std::vector<Line>{
                  {Level::ERROR, "ODBC connector is not in a valid state - cannot configure"},
                  {Level::ERROR, "Snowflake configuration failed"}}));
    EXPECT_EQ(connector->getSQLBuilder(), nullptr);
}

TEST_F(Connector, ACategoryThatCannotBeReadLeavesTheSettingsAndReleasesTheLock) {
    auto connector = makeConnector();
    ConfigCategory broken = defaultCategory();
    broken.setValue("port", "https");

    EXPECT_THROW(connector->configure(&broken), ConfigCategoryError);
    EXPECT_EQ(connector->getConnectionString().rfind(GENERIC_PREFIX, 0), 0u);
    EXPECT_EQ(connector->getSQLBuilder(), nullptr);
    EXPECT_EQ(script->destroys, 0);

    // A second configure would block here if the first had kept the mutex.
    ConfigCategory category = defaultCategory();
    EXPECT_TRUE(connector->configure(&category));
    EXPECT_EQ(connector->getConnectionString().rfind(SNOWFLAKE_PREFIX, 0), 0u);
}

TEST_F(Connector, ConnectsWithTheConfiguredConnectionString) {
    auto connector = makeConnector();
    ConfigCategory category = defaultCategory();
    ASSERT_TRUE(connector->configure(&category));
    connector->connect();
    EXPECT_EQ(script->connectionStrings,
              std::vector<std::string>{connector->getConnectionString()});
}

// Connection status

enum class Attempt { RETURNS, INIT_THROWS, CONNECT_THROWS };

const char* const NEXT_ATTEMPT_IN_5S = "Next database connection attempt in 5 seconds";
// The warning that starts an outage, its time of day replaced by <time>.
const char* const OUTAGE_STARTED =
    "Database connection lost at <time> UTC: batches are refused until it is back";

std::vector<LogCapture::Line> withoutOutageTime(std::vector<LogCapture::Line> lines) {
    const std::string prefix = "Database connection lost at ";
    const std::string suffix = " UTC: batches are refused until it is back";
    for (auto& line : lines) {
        std::string& text = line.second;
        if (text.rfind(prefix, 0) == 0 && text.size() == prefix.size() + 19 + suffix.size()) {
            text.replace(prefix.size(), 19, "<time>");
        }
    }
    return lines;
}

struct Transition {
    const char* name;
    int from;
    std::chrono::nanoseconds sinceLastAttempt;
    Attempt attempt;
    int returned;  // by Connect, when it returns
    int to;
    int inits;
    int connects;
    int destroys;
    const char* statusText;  // of the "Database connection status" line; null: no such line
};

std::ostream& operator<<(std::ostream& out, const Transition& transition) {
    return out << transition.name;
}

class ConnectTransition : public Connector, public ::testing::WithParamInterface<Transition> {};

TEST_P(ConnectTransition, FollowsTheStatusTable) {
    const Transition& row = GetParam();
    script->onConnect = [&row](const std::string&) {
        if (row.attempt == Attempt::CONNECT_THROWS) {
            throw std::runtime_error("driver exploded");
        }
        return row.returned;
    };
    script->onInit = [&row]() {
        if (row.attempt == Attempt::INIT_THROWS) {
            throw std::runtime_error("Failed to allocate ODBC environment handle.");
        }
    };
    auto connector = makeConnector();
    connector->setState(row.from);
    connector->setLastAttemptAgo(row.sinceLastAttempt);
    const auto lastBefore = connector->lastAttempt();
    LogCapture capture;

    connector->connect();

    EXPECT_EQ(connector->state(), row.to);
    EXPECT_EQ(script->inits, row.inits);
    EXPECT_EQ(script->connects, row.connects);
    EXPECT_EQ(script->destroys, row.destroys);
    std::vector<Line> expected;
    if (row.statusText) {
        expected.emplace_back(Level::INFO,
                              std::string("Database connection status: ") + row.statusText);
    }
    if (row.attempt == Attempt::INIT_THROWS && row.inits > 0) {
        expected.emplace_back(
            Level::WARN, "Database connection failed: Failed to allocate ODBC environment handle.");
    }
    if (row.attempt == Attempt::CONNECT_THROWS && row.connects > 0) {
        expected.emplace_back(Level::WARN, "Database connection failed: driver exploded");
    }
    if (row.to == TOLVANE_ODBC_EAGAIN && row.inits + row.connects > 0) {
        // The first failed attempt starts an outage.
        expected.emplace_back(Level::WARN, OUTAGE_STARTED);
        expected.emplace_back(Level::INFO, NEXT_ATTEMPT_IN_5S);
    }
    EXPECT_EQ(withoutOutageTime(capture.lines()), expected);
    if (row.inits + row.connects > 0) {
        EXPECT_GT(connector->lastAttempt(), lastBefore);
    } else {
        EXPECT_EQ(connector->lastAttempt(), lastBefore);
    }
}

constexpr auto RECENT = 0ns;
constexpr auto BACKOFF_OVER = ReconnectBackoff::FIRST_WAIT;

INSTANTIATE_TEST_SUITE_P(
    Table, ConnectTransition,
    ::testing::Values(
        Transition{"NotConnectedToConnected", 3, RECENT, Attempt::RETURNS, 0, 0, 1, 1, 0,
                   "TOLVANE_ODBC_SUCCESS"},
        Transition{"NotConnectedToTransient", 3, RECENT, Attempt::RETURNS, 1, 1, 1, 1, 0,
                   "TOLVANE_ODBC_EAGAIN"},
        Transition{"NotConnectedToFailed", 3, RECENT, Attempt::RETURNS, 2, 2, 1, 1, 0,
                   "TOLVANE_ODBC_FAILED"},
        Transition{"UnknownCodeIsStoredAndNamedUnknown", 3, RECENT, Attempt::RETURNS, 7, 7, 1, 1, 0,
                   "TOLVANE_ODBC_UNKNOWN"},
        Transition{"NotConnectedCodeIsNamed", 3, RECENT, Attempt::RETURNS, 3, 3, 1, 1, 0,
                   "TOLVANE_ODBC_NOTCONNECTED"},
        Transition{"TransientHeldBackWithinTheBackOff", 1, RECENT, Attempt::RETURNS, 0, 1, 0, 0, 0,
                   nullptr},
        Transition{"TransientRetriedAfterTheBackOff", 1, BACKOFF_OVER, Attempt::RETURNS, 0, 0, 1, 1,
                   0, "TOLVANE_ODBC_SUCCESS"},
        Transition{"TransientRetriedAndStillTransient", 1, BACKOFF_OVER, Attempt::RETURNS, 1, 1, 1,
                   1, 0, "TOLVANE_ODBC_EAGAIN"},
        Transition{"ConnectedDoesNothing", 0, RECENT, Attempt::RETURNS, 2, 0, 0, 0, 0, nullptr},
        Transition{"FailedDoesNothing", 2, BACKOFF_OVER, Attempt::RETURNS, 0, 2, 0, 0, 0, nullptr},
        Transition{"UnknownStateConnectsWithoutInit", 7, RECENT, Attempt::RETURNS, 0, 0, 0, 1, 0,
                   "TOLVANE_ODBC_SUCCESS"},
        // Handles that cannot be had now may be had later: retried like a transient failure.
        Transition{"InitThrowsFromNotConnected", 3, RECENT, Attempt::INIT_THROWS, 0, 1, 1, 0, 1,
                   nullptr},
        Transition{"InitThrowsFromTransient", 1, BACKOFF_OVER, Attempt::INIT_THROWS, 0, 1, 1, 0, 1,
                   nullptr},
        Transition{"ConnectThrowsFromNotConnected", 3, RECENT, Attempt::CONNECT_THROWS, 0, 1, 1, 1,
                   1, nullptr},
        Transition{"ConnectThrowsFromTransient", 1, BACKOFF_OVER, Attempt::CONNECT_THROWS, 0, 1, 1,
                   1, 1, nullptr}),
    [](const ::testing::TestParamInfo<Transition>& info) { return std::string(info.param.name); });

TEST_F(Connector, BackOffHoldsRetriesForFiveSecondsAfterATransientFailure) {
    int code = TOLVANE_ODBC_EAGAIN;
    script->onConnect = [&code](const std::string&) { return code; };
    auto connector = makeConnector();

    connector->connect();
    ASSERT_EQ(connector->state(), TOLVANE_ODBC_EAGAIN);
    code = TOLVANE_ODBC_SUCCESS;

    connector->connect();
    connector->moveLastAttemptBack(4s);
    connector->connect();
    EXPECT_EQ(script->connects, 1);
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_EAGAIN);

    connector->moveLastAttemptBack(1s);
    connector->connect();
    EXPECT_EQ(script->inits, 2);
    EXPECT_EQ(script->connects, 2);
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_SUCCESS);
}

// Each attempt is held back a second before its wait is over and made once it is.
TEST_F(Connector, BackOffGrowsWhileAttemptsFailAndStartsOverAfterASuccessOrNewSettings) {
    int code = TOLVANE_ODBC_EAGAIN;
    script->onConnect = [&code](const std::string&) { return code; };
    auto connector = makeConnector();
    LogCapture capture;
    auto attemptAfter = [&connector](std::chrono::nanoseconds wait) {
        connector->moveLastAttemptBack(wait - 1s);
        connector->connect();
        connector->moveLastAttemptBack(1s);
        connector->connect();
    };

    connector->connect();
    attemptAfter(5s);
    attemptAfter(10s);
    EXPECT_EQ(script->connects, 3);
    EXPECT_EQ(capture.texts(Level::INFO),
              (std::vector<std::string>{"Database connection status: TOLVANE_ODBC_EAGAIN",
                                        NEXT_ATTEMPT_IN_5S,
                                        "Database connection status: TOLVANE_ODBC_EAGAIN",
                                        "Next database connection attempt in 10 seconds",
                                        "Database connection status: TOLVANE_ODBC_EAGAIN",
                                        "Next database connection attempt in 20 seconds"}));

    code = TOLVANE_ODBC_SUCCESS;
    attemptAfter(20s);
    ASSERT_EQ(connector->state(), TOLVANE_ODBC_SUCCESS);
    connector->disconnect();
    code = TOLVANE_ODBC_EAGAIN;
    connector->connect();
    attemptAfter(5s);
    EXPECT_EQ(script->connects, 6);

    ConfigCategory category = defaultCategory();
    category.setValue("user", "loader");
    ASSERT_TRUE(connector->configure(&category));
    connector->connect();
    attemptAfter(5s);
    EXPECT_EQ(script->connects, 8);
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_EAGAIN);
}

TEST_F(Connector, ConnectOnAnInvalidConnectorFailsForGood) {
    auto connector = makeConnector();
    connector->dropMapper();
    LogCapture capture;
    connector->connect();
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_FAILED);
    EXPECT_EQ(script->inits + script->connects, 0);
    EXPECT_EQ(capture.lines(),
              (std::vector<Line>{
                  {Level::ERROR, "ODBC connector is not in a valid state - cannot connect"}}));
}

class DisconnectFrom : public Connector, public ::testing::WithParamInterface<int> {};

std::string stateName(int state) {
    switch (state) {
        case TOLVANE_ODBC_SUCCESS:
            return "Success";
        case TOLVANE_ODBC_EAGAIN:
            return "Eagain";
        case TOLVANE_ODBC_FAILED:
            return "Failed";
        case TOLVANE_ODBC_NOTCONNECTED:
            return "NotConnected";
        default:
            return "State " + std::to_string(state);
    }
}

TEST_P(DisconnectFrom, AnyStateEndsNotConnected) {
    auto connector = makeConnector();
    connector->setState(GetParam());
    LogCapture capture;
    connector->disconnect();
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_NOTCONNECTED);
    EXPECT_EQ(script->destroys, 1);
    EXPECT_EQ(capture.lines(), (std::vector<Line>{{Level::DEBUG, "Disconnecting from database"},
                                                  {Level::INFO, "Database disconnected"}}));
}

INSTANTIATE_TEST_SUITE_P(States, DisconnectFrom, ::testing::Values(0, 1, 2, 3),
                         caseNames(stateName));

// Destruction

TEST_F(Connector, DestructionDisconnectsAndReleasesEveryPart) {
    bool schemaManagerGone = false;
    auto connector = makeConnected();
    connector->replaceSchemaManager(
        new CountingSchemaManager(connector->clientPart(), &schemaManagerGone));
    LogCapture capture;
    connector.reset();
    EXPECT_EQ(script->destroys, 1);
    EXPECT_TRUE(inOrder(capture.lines(), {{Level::DEBUG, "Disconnecting from database"},
                                          {Level::INFO, "Database disconnected"}}));
    EXPECT_TRUE(script->deleted);
    EXPECT_TRUE(schemaManagerGone);
}

class ThrowingDisconnect : public Connector, public ::testing::WithParamInterface<bool> {};

TEST_P(ThrowingDisconnect, StillReleasesTheParts) {
    const bool standard = GetParam();
    bool schemaManagerGone = false;
    auto connector = makeConnected();
    script->onDestroy = [standard]() {
        if (standard) {
            throw std::runtime_error("disconnect failed");
        }
        throw 42;
    };
    connector->replaceSchemaManager(
        new CountingSchemaManager(connector->clientPart(), &schemaManagerGone));
    LogCapture capture;

    connector.reset();

    EXPECT_TRUE(capture.contains(Level::ERROR, "Exception during disconnect in destructor"));
    EXPECT_TRUE(script->deleted);
    EXPECT_TRUE(schemaManagerGone);
}

INSTANTIATE_TEST_SUITE_P(Exceptions, ThrowingDisconnect, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Standard" : "NonStandard");
                         });

// Query wrapper

TEST_F(Connector, ExecuteQueryHandsBackTheClientResult) {
    script->onQuery = [](const std::string&) { return QueryResult{true, {{"1", "NULL"}}}; };
    auto connector = makeConnector();
    QueryResult result = connector->executeQuery("SELECT 1, NULL");
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.rows, (std::vector<std::vector<std::string>>{{"1", "NULL"}}));
    EXPECT_EQ(script->queries, std::vector<std::string>{"SELECT 1, NULL"});
}

TEST_F(Connector, ExecuteQueryTurnsAStandardExceptionIntoAFailedResult) {
    script->onQuery = [](const std::string&) -> QueryResult {
        throw std::runtime_error("Failed to execute query.");
    };
    auto connector = makeConnector();
    LogCapture capture;
    QueryResult result = connector->executeQuery("SELECT 1");
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(result.rows.empty());
    EXPECT_EQ(
        capture.lines(),
        (std::vector<Line>{{Level::ERROR, "Exception in executeQuery: Failed to execute query."}}));
}

TEST_F(Connector, ExecuteQueryTurnsAnyOtherExceptionIntoAFailedResult) {
    script->onQuery = [](const std::string&) -> QueryResult { throw 17; };
    auto connector = makeConnector();
    LogCapture capture;
    QueryResult result = connector->executeQuery("SELECT 1");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(capture.lines(),
              (std::vector<Line>{{Level::ERROR, "Unknown exception in executeQuery"}}));
}

TEST_F(Connector, ExecuteQueryOnAnInvalidConnectorSendsNothing) {
    auto connector = makeConnector();
    connector->dropMapper();
    LogCapture capture;
    QueryResult result = connector->executeQuery("SELECT 1");
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(script->queries.empty());
    EXPECT_EQ(
        capture.lines(),
        (std::vector<Line>{
            {Level::ERROR, "ODBC connector is not in a valid state - cannot execute query"}}));
}

TEST_F(Connector, TransformGroupsRecordsByTableInByteOrder) {
    auto connector = makeConnected();
    Batch batch;
    batch.add(ReadingBuilder("alpha").integer("n", 1).build());
    batch.add(ReadingBuilder("Zeta").integer("n", 2).build());
    batch.add(ReadingBuilder("alpha").integer("n", 3).build());
    auto groups = connector->transformReadingsToRecords(batch.pointers());
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups.begin()->first, "Zeta");
    ASSERT_EQ(groups["alpha"].size(), 2u);
    EXPECT_EQ(groups["alpha"][1].getValue("n"), "3");
}

TEST_F(Connector, TransformOnAnInvalidConnectorGivesNothing) {
    auto connector = makeConnected();
    connector->dropMapper();
    Batch batch;
    batch.add(pumpReading(1.0));
    LogCapture capture;
    EXPECT_TRUE(connector->transformReadingsToRecords(batch.pointers()).empty());
    EXPECT_TRUE(capture.contains(
        Level::ERROR, "ODBC connector is not in a valid state - cannot transform readings"));
}

// Batches

TEST_F(Connector, SendOnAnInvalidConnectorFailsWithoutConnecting) {
    auto connector = makeConnector();
    connector->dropMapper();
    Batch batch;
    batch.add(pumpReading(1.0));
    LogCapture capture;
    EXPECT_FALSE(connector->send(batch.pointers()));
    EXPECT_EQ(script->connects, 0);
    EXPECT_TRUE(capture.contains(Level::DEBUG,
                                 "ODBC connector is not in a valid state - cannot send readings"));
}

TEST_F(Connector, SendInTheFailedStateFailsSilentlyWithoutAnAttempt) {
    auto connector = makeConnector();
    ConfigCategory category = defaultCategory();
    ASSERT_TRUE(connector->configure(&category));
    connector->setState(TOLVANE_ODBC_FAILED);
    Batch batch;
    batch.add(pumpReading(1.0));
    LogCapture capture;
    EXPECT_FALSE(connector->send(batch.pointers()));
    EXPECT_EQ(script->inits + script->connects, 0);
    EXPECT_EQ(capture.lines(),
              (std::vector<Line>{{Level::DEBUG, "Sending 1 readings to Snowflake"}}));
}

TEST_F(Connector, BatchesWithinTheBackOffFailWithoutASecondAttempt) {
    int code = TOLVANE_ODBC_EAGAIN;
    script->onConnect = [&code](const std::string&) { return code; };
    auto connector = makeConnector();
    ConfigCategory category = defaultCategory();
    ASSERT_TRUE(connector->configure(&category));
    Batch batch;
    batch.add(pumpReading(1.0));

    LogCapture capture;
    EXPECT_FALSE(connector->send(batch.pointers()));
    EXPECT_EQ(withoutOutageTime(capture.lines()),
              (std::vector<Line>{
                  {Level::DEBUG, "Sending 1 readings to Snowflake"},
                  {Level::DEBUG, "Attempting database connection"},
                  {Level::INFO, "Database connection status: TOLVANE_ODBC_EAGAIN"},
                  {Level::WARN, OUTAGE_STARTED},
                  {Level::INFO, NEXT_ATTEMPT_IN_5S},
                  {Level::ERROR, "Database connection not available - cannot send readings"}}));
    capture.clear();
    code = TOLVANE_ODBC_SUCCESS;
    EXPECT_FALSE(connector->send(batch.pointers()));
    EXPECT_EQ(script->connects, 1);
    EXPECT_EQ(capture.lines(),
              (std::vector<Line>{
                  {Level::DEBUG, "Sending 1 readings to Snowflake"},
                  {Level::DEBUG, "Attempting database connection"},
                  {Level::ERROR, "Database connection not available - cannot send readings"}}));
    EXPECT_TRUE(script->queries.empty());

    connector->moveLastAttemptBack(ReconnectBackoff::FIRST_WAIT);
    EXPECT_TRUE(connector->send(batch.pointers()));
    EXPECT_EQ(script->connects, 2);
}

TEST_F(Connector, EmptyBatchSucceedsWithoutSQL) {
    auto connector = makeConnected();
    Batch batch;
    EXPECT_TRUE(connector->send(batch.pointers()));
    EXPECT_TRUE(script->queries.empty());
}

TEST_F(Connector, NewTableIsLookedUpCreatedAndFilled) {
    auto connector = makeConnected();
    Batch batch;
    batch.add(pumpReading(21.5));
    LogCapture capture;

    ASSERT_TRUE(connector->send(batch.pointers()));

    // Tables settled first, then the rows and the ledger row in one transaction.
    const std::vector<std::string> statements = withoutOwnTables(script->queries);
    ASSERT_EQ(statements.size(), 5u);
    EXPECT_TRUE(startsWith(statements[0], "SELECT column_name,data_type FROM "));
    EXPECT_EQ(statements[2], "[autocommit off]");
    EXPECT_EQ(statements[4], "[commit]");
    ASSERT_GE(script->queries.size(), 2u);
    EXPECT_TRUE(startsWith(script->queries[script->queries.size() - 2],
                           "INSERT INTO \"_varnholt_ledger\" "));
    EXPECT_EQ(statements[1],
              "CREATE TABLE \"pumps\" (\"asset_code\" VARCHAR(256) NOT NULL, \"user_ts\" "
              "TIMESTAMP_TZ, \"ts\" TIMESTAMP_TZ, \"tolvane\" VARCHAR(256), \"temperature\" REAL "
              "NULL)");
    EXPECT_EQ(statements[3],
              std::string("INSERT INTO \"pumps\" (\"asset_code\", \"user_ts\", \"ts\", "
                          "\"tolvane\", \"temperature\") VALUES ('pumps', ") +
                  STAMP + ", " + STAMP + ", 'tolvaneInstance', 21.500000)");
    EXPECT_TRUE(
        inOrder(capture.lines(), {{Level::DEBUG, "Using cached schema for table pumps: 5 columns"},
                                  {Level::DEBUG, "Sent 1 records to table 'pumps'"}}));
    EXPECT_EQ(script->aliveChecks, 0);
}

TEST_F(Connector, TablesAreWrittenInByteOrderWhateverTheReadingOrder) {
    auto connector = makeConnected();
    Batch batch;
    batch.add(ReadingBuilder("alpha").integer("n", 1).at(TIME).build());
    batch.add(ReadingBuilder("Zeta").integer("n", 2).at(TIME).build());
    ASSERT_TRUE(connector->send(batch.pointers()));
    std::vector<std::string> written = inserts(script->queries);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(startsWith(written[0], "INSERT INTO \"Zeta\" "));
    EXPECT_TRUE(startsWith(written[1], "INSERT INTO \"alpha\" "));
}

TEST_F(Connector, MissingColumnsGetNullAndRowsWithARefusedColumnAreRejected) {
    // The table exists with a column "pressure"; adding "flow" is refused without an exception.
    script->onQuery = [](const std::string& query) {
        if (startsWith(query, "SELECT column_name")) {
            return QueryResult{true,
                               {{"asset_code", "TEXT"},
                                {"user_ts", "TIMESTAMP_TZ"},
                                {"ts", "TIMESTAMP_TZ"},
                                {"tolvane", "TEXT"},
                                {"pressure", "FLOAT"}}};
        }
        if (startsWith(query, "ALTER TABLE \"pumps\"")) {
            return QueryResult{false, {}};
        }
        return QueryResult{true, {}};
    };
    auto connector = makeConnected();
    Batch batch;
    batch.add(ReadingBuilder("pumps").real("pressure", 2.5).at(TIME).build());
    batch.add(ReadingBuilder("pumps").at(TIME).build());
    batch.add(ReadingBuilder("pumps").integer("flow", 9).at(TIME).build());
    LogCapture capture;

    ASSERT_TRUE(connector->send(batch.pointers()));

    EXPECT_TRUE(capture.contains(
        Level::DEBUG, "Reading rejected from table 'pumps' (asset 'pumps'): scripted failure"));
    std::vector<std::string> written = inserts(script->queries);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], std::string("INSERT INTO \"pumps\" (\"asset_code\", \"user_ts\", \"ts\", "
                                      "\"tolvane\", \"pressure\") VALUES ('pumps', ") +
                              STAMP + ", " + STAMP + ", 'tolvaneInstance', 2.500000), ('pumps', " +
                              STAMP + ", " + STAMP + ", 'tolvaneInstance', NULL)");
    const auto reject = std::find_if(script->queries.begin(), script->queries.end(), [](auto& q) {
        return startsWith(q, "INSERT INTO \"_varnholt_rejects\"");
    });
    ASSERT_NE(reject, script->queries.end());
    EXPECT_NE(reject->find("\"flow\":9"), std::string::npos) << *reject;
}

TEST_F(Connector, AFailedInsertRollsTheWholeBatchBack) {
    script->onQuery = [](const std::string& query) {
        return QueryResult{!startsWith(query, "INSERT INTO \"a\""), {}};
    };
    auto connector = makeConnected();
    Batch batch;
    batch.add(ReadingBuilder("b").integer("n", 1).build());
    batch.add(ReadingBuilder("a").integer("n", 2).build());
    LogCapture capture;

    EXPECT_FALSE(connector->send(batch.pointers()));

    EXPECT_TRUE(capture.contains(Level::ERROR,
                                 "Failed to execute database query for table 'a' (1 rows): "
                                 "SQLSTATE XX000, native error 0: scripted failure"));
    EXPECT_FALSE(capture.anyLineContains("Sent "));
    const std::vector<std::string> statements = withoutOwnTables(script->queries);
    const auto failed = std::find_if(statements.begin(), statements.end(), [](auto& query) {
        return startsWith(query, "INSERT INTO \"a\"");
    });
    ASSERT_NE(failed, statements.end());
    ASSERT_NE(failed + 1, statements.end());
    EXPECT_EQ(*(failed + 1), "[rollback]");
    EXPECT_TRUE(inserts(script->queries).size() == 1u);
    EXPECT_EQ(std::count(script->queries.begin(), script->queries.end(), "[commit]"), 0);
    // The connection is alive and answers, so it is kept.
    EXPECT_EQ(script->aliveChecks, 1);
    EXPECT_EQ(script->queries.back(), "SELECT 1");
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_SUCCESS);
    EXPECT_FALSE(capture.anyLineContains("Database connection lost"));
}

// After a failed INSERT: a dead connection, or one that looks alive but does not answer a
// trivial query, is closed so that the next batch connects anew.
struct InsertFailure {
    const char* name;
    bool alive;
    bool answers;
    bool keptOpen;
};

std::ostream& operator<<(std::ostream& out, const InsertFailure& failure) {
    return out << failure.name;
}

class FailedInsert : public Connector, public ::testing::WithParamInterface<InsertFailure> {};

TEST_P(FailedInsert, ClosesASessionThatIsDeadOrDoesNotAnswer) {
    const InsertFailure& row = GetParam();
    script->onQuery = [&row](const std::string& query) {
        if (startsWith(query, "INSERT INTO \"pumps\"")) {
            throw std::runtime_error("Failed to execute query.");
        }
        return QueryResult{query != "SELECT 1" || row.answers, {}};
    };
    script->alive = row.alive;
    auto connector = makeConnected();
    Batch batch;
    batch.add(pumpReading(1.0));
    LogCapture capture;

    EXPECT_FALSE(connector->send(batch.pointers()));

    EXPECT_TRUE(capture.anyLineContains("Failed to execute database query for table 'pumps'"));
    EXPECT_EQ(script->aliveChecks, 1);
    EXPECT_EQ(capture.contains(Level::DEBUG, "Database connection lost"), !row.alive);
    EXPECT_EQ(capture.contains(Level::WARN,
                               "Database session does not answer: the next batch connects anew"),
              row.alive && !row.answers);
    EXPECT_EQ(connector->state(), row.keptOpen ? TOLVANE_ODBC_SUCCESS : TOLVANE_ODBC_NOTCONNECTED);
    EXPECT_EQ(script->destroys, row.keptOpen ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, FailedInsert,
                         ::testing::Values(InsertFailure{"AliveAndAnswering", true, true, true},
                                           InsertFailure{"AliveButSilent", true, false, false},
                                           InsertFailure{"Dead", false, false, false}),
                         [](const ::testing::TestParamInfo<InsertFailure>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(Connector, DeadConnectionAfterAFailedInsertMakesTheNextBatchReconnect) {
    script->onQuery = [](const std::string& query) {
        return QueryResult{!startsWith(query, "INSERT"), {}};
    };
    script->alive = false;
    auto connector = makeConnected();
    Batch batch;
    batch.add(pumpReading(1.0));

    EXPECT_FALSE(connector->send(batch.pointers()));
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_NOTCONNECTED);

    script->onQuery = nullptr;
    script->alive = true;
    EXPECT_TRUE(connector->send(batch.pointers()));
    EXPECT_EQ(script->inits, 1);
    EXPECT_EQ(script->connects, 1);
}

class SchemaWorkThrows : public Connector, public ::testing::WithParamInterface<bool> {};

TEST_P(SchemaWorkThrows, FailsTheBatchAndDisconnectsOnlyADeadConnection) {
    const bool alive = GetParam();
    script->onQuery = [](const std::string& query) -> QueryResult {
        if (startsWith(query, "SELECT column_name") && !ownTable(query)) {
            throw std::runtime_error("Failed to execute query.");
        }
        return QueryResult{true, {}};
    };
    script->alive = alive;
    auto connector = makeConnected();
    Batch batch;
    batch.add(pumpReading(1.0));
    LogCapture capture;

    EXPECT_FALSE(connector->send(batch.pointers()));

    EXPECT_TRUE(capture.contains(Level::ERROR,
                                 "Failed to read the columns of 1 tables: SQLSTATE XX000, native "
                                 "error 0: Failed to execute query."));
    EXPECT_EQ(script->aliveChecks, 1);
    EXPECT_EQ(capture.contains(Level::DEBUG, "Database connection lost"), !alive);
    EXPECT_EQ(connector->state(), alive ? TOLVANE_ODBC_SUCCESS : TOLVANE_ODBC_NOTCONNECTED);
    EXPECT_EQ(script->destroys, alive ? 0 : 1);
    EXPECT_TRUE(inserts(script->queries).empty());
}

INSTANTIATE_TEST_SUITE_P(Connection, SchemaWorkThrows, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Alive" : "Dead");
                         });

TEST_F(Connector, BatchWithoutABuilderFailsAndTouchesNothing) {
    auto connector = makeConnector();
    connector->connect();
    ASSERT_EQ(connector->state(), TOLVANE_ODBC_SUCCESS);
    Batch batch;
    batch.add(pumpReading(1.0));
    LogCapture capture;

    EXPECT_FALSE(connector->send(batch.pointers()));

    EXPECT_TRUE(capture.contains(Level::ERROR, "No SQL builder configured - cannot send readings"));
    EXPECT_TRUE(script->queries.empty());
    EXPECT_EQ(connector->state(), TOLVANE_ODBC_SUCCESS);
}

TEST_F(Connector, BatchAfterAFailedConfigureFailsAndTouchesNothing) {
    auto connector = makeConnector();
    EXPECT_FALSE(connector->configure(nullptr));
    Batch batch;
    batch.add(pumpReading(1.0));
    LogCapture capture;

    EXPECT_FALSE(connector->send(batch.pointers()));

    EXPECT_EQ(script->connects, 1);
    EXPECT_TRUE(capture.contains(Level::ERROR, "No SQL builder configured - cannot send readings"));
    EXPECT_TRUE(script->queries.empty());
}

TEST_F(Connector, ATableTheDatabaseWillNotCreateSendsItsReadingsToRejects) {
    script->onQuery = [](const std::string& query) {
        return QueryResult{!startsWith(query, "CREATE TABLE \"a\""), {}};
    };
    auto connector = makeConnected();
    Batch batch;
    batch.add(ReadingBuilder("a").integer("n", 1).build());
    batch.add(ReadingBuilder("b").integer("n", 2).build());
    LogCapture capture;

    EXPECT_TRUE(connector->send(batch.pointers()));

    EXPECT_TRUE(capture.contains(
        Level::ERROR,
        "Creation of table 'a' refused: SQLSTATE XX000, native error 0: scripted failure"));
    EXPECT_TRUE(capture.contains(Level::DEBUG,
                                 "Reading rejected from table 'a' (asset 'a'): scripted failure"));
    const std::vector<std::string> written = inserts(script->queries);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_TRUE(startsWith(written[0], "INSERT INTO \"b\""));
    EXPECT_EQ(
        std::count_if(script->queries.begin(), script->queries.end(),
                      [](auto& q) { return startsWith(q, "INSERT INTO \"_varnholt_rejects\""); }),
        1);
}

// Snowflake refuses a VALUES list of more than 16,384 rows (error 001795): the number is
// Snowflake's, written out here rather than taken from the code under test.
struct RowCase {
    size_t rows;
    std::vector<size_t> statements;
};

class RowLimit : public Connector, public ::testing::WithParamInterface<RowCase> {};

TEST_P(RowLimit, SplitsOnlyAfterSnowflakesLimit) {
    const RowCase& row = GetParam();
    // One-byte literals keep the rows far below the byte limit, so only the row count splits.
    ShortLiteralBuilder shortLiterals;
    auto connector = makeConnected();
    connector->setSQLBuilder(&shortLiterals);
    Batch batch;
    for (size_t i = 0; i < row.rows; ++i) {
        batch.add(ReadingBuilder("t").integer("n", static_cast<int64_t>(i)).build());
    }

    ASSERT_TRUE(connector->send(batch.pointers()));

    std::vector<size_t> sizes;
    for (const std::string& insert : inserts(script->queries)) {
        sizes.push_back(rowsOf(insert));
    }
    EXPECT_EQ(sizes, row.statements);
}

INSTANTIATE_TEST_SUITE_P(Rows, RowLimit,
                         ::testing::Values(RowCase{16383, {16383}}, RowCase{16384, {16384}},
                                           RowCase{16385, {16384, 1}},
                                           RowCase{32769, {16384, 16384, 1}}),
                         [](const ::testing::TestParamInfo<RowCase>& info) {
                             return "Rows" + std::to_string(info.param.rows);
                         });

// About 1 MB of statement text, as Snowflake advises; written out rather than taken from the
// code under test.
constexpr size_t SNOWFLAKE_STATEMENT_BYTES = 1024 * 1024;

// Rows of one text column whose last row is `lastLength` bytes long.
void addTextRows(Batch& batch, size_t rows, size_t length, size_t lastLength) {
    for (size_t i = 0; i + 1 < rows; ++i) {
        batch.add(ReadingBuilder("t").text("payload", std::string(length, 'x')).at(TIME).build());
    }
    batch.add(ReadingBuilder("t").text("payload", std::string(lastLength, 'y')).at(TIME).build());
}

TEST_F(Connector, AStatementOfExactlyTheByteLimitIsNotSplit) {
    const size_t rows = 900;
    const size_t length = 1000;
    size_t measured = 0;
    {
        auto probe = makeConnected();
        Batch batch;
        addTextRows(batch, rows, length, length);
        ASSERT_TRUE(probe->send(batch.pointers()));
        std::vector<std::string> written = inserts(script->queries);
        ASSERT_EQ(written.size(), 1u);
        measured = written[0].size();
        ASSERT_LT(measured, SNOWFLAKE_STATEMENT_BYTES);
    }
    const size_t fitting = length + (SNOWFLAKE_STATEMENT_BYTES - measured);

    auto connector = makeConnected();
    Batch exact;
    addTextRows(exact, rows, length, fitting);
    ASSERT_TRUE(connector->send(exact.pointers()));
    std::vector<std::string> written = inserts(script->queries);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].size(), SNOWFLAKE_STATEMENT_BYTES);

    script->clearCounts();
    Batch over;
    addTextRows(over, rows, length, fitting + 1);
    ASSERT_TRUE(connector->send(over.pointers()));
    written = inserts(script->queries);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(rowsOf(written[0]), rows - 1);
    EXPECT_EQ(rowsOf(written[1]), 1u);
    EXPECT_LE(written[0].size(), SNOWFLAKE_STATEMENT_BYTES);
}

// No request could ever carry such a row: it is kept, bounded, in the reject table, and the
// rest lands.
TEST_F(Connector, ARowLargerThanTheByteLimitIsARejectAndTheRestLands) {
    auto connector = makeConnected();
    Batch batch;
    batch.add(ReadingBuilder("t").text("payload", "small").at(TIME).build());
    batch.add(ReadingBuilder("t")
                  .text("payload", std::string(ODBCConnector::MAX_INSERT_BYTES, 'z'))
                  .at(TIME)
                  .build());
    batch.add(ReadingBuilder("t").text("payload", "tiny").at(TIME).build());
    LogCapture capture;

    ASSERT_TRUE(connector->send(batch.pointers()));

    std::vector<std::string> written = inserts(script->queries);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(rowsOf(written[0]), 2u);
    EXPECT_NE(written[0].find("'small'"), std::string::npos);
    EXPECT_NE(written[0].find("'tiny'"), std::string::npos);
    EXPECT_LE(written[0].size(), ODBCConnector::MAX_INSERT_BYTES);
    size_t kept = 0;
    for (const std::string& query : script->queries) {
        if (startsWith(query, "INSERT INTO \"_varnholt_rejects\"")) {
            EXPECT_LT(query.size(), ODBCConnector::MAX_INSERT_BYTES / 4);
            kept += query.find("\"kept_in_part\"") != std::string::npos;
        }
    }
    EXPECT_EQ(kept, 1u);
    EXPECT_EQ(capture.count(Level::DEBUG, "Sent 2 records to table 't'"), 1u);
    EXPECT_EQ(capture.count(Level::DEBUG, "Using cached schema for table t: 5 columns"), 1u);
}

TEST_F(Connector, AFailedChunkFailsTheBatchAndStopsTheTable) {
    int insertsSeen = 0;
    script->onQuery = [&insertsSeen](const std::string& query) {
        if (startsWith(query, "INSERT")) {
            ++insertsSeen;
            return QueryResult{insertsSeen != 2, {}};
        }
        return QueryResult{true, {}};
    };
    auto connector = makeConnected();
    Batch batch;
    for (int i = 0; i < 3; ++i) {
        batch.add(ReadingBuilder("t")
                      .text("payload", std::string(ODBCConnector::MAX_INSERT_BYTES / 2, 'q'))
                      .build());
    }
    LogCapture capture;

    EXPECT_FALSE(connector->send(batch.pointers()));

    EXPECT_EQ(insertsSeen, 2);
    EXPECT_TRUE(capture.anyLineContains("Failed to execute database query for table 't' (1 rows)"));
    EXPECT_EQ(script->queries.back(), "SELECT 1");
    EXPECT_EQ(std::count(script->queries.begin(), script->queries.end(), "[commit]"), 0);
    EXPECT_FALSE(capture.anyLineContains("Sent "));
}

}  // namespace
