#include "connector/settings_check.h"

#include <algorithm>
#include <cctype>
#include <random>
#include <set>

#include "client/odbc_client.h"
#include "config/odbc_config.h"
#include "sql/sql_builder.h"

namespace {

// SQL NULL as the client reads it.
constexpr const char* NULL_TEXT = "NULL";

// The session parameters that change how the plugin's statements are read.
const std::set<std::string>& parametersThatMatter() {
    static const std::set<std::string> names = {"AUTOCOMMIT", "MULTI_STATEMENT_COUNT",
                                                "QUOTED_IDENTIFIERS_IGNORE_CASE",
                                                "TIMESTAMP_INPUT_FORMAT", "TIMEZONE"};
    return names;
}

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string randomSuffix() {
    std::random_device device;
    std::uniform_int_distribution<unsigned> digit(0, 15);
    std::string suffix;
    for (int i = 0; i < 8; ++i) {
        suffix += "0123456789abcdef"[digit(device)];
    }
    return suffix;
}

// The first row's columns, or nothing when the query failed or answered no row.
std::vector<std::string> firstRow(const QueryResult& result) {
    if (!result.success || result.rows.empty()) {
        return {};
    }
    return result.rows.front();
}

}  // namespace

SettingsCheck::SettingsCheck(ODBCClient& odbcClient, const SQLBuilder& sqlBuilder,
                             const ODBCConfig& settings)
    : client(odbcClient), builder(sqlBuilder), config(settings) {}

std::vector<CheckItem> SettingsCheck::run() {
    std::vector<CheckItem> items;
    if (connect(items)) {
        describeDatabase(items) && describeSession(items) && tryWriting(items);
    }
    client.Destroy();
    return items;
}

QueryResult SettingsCheck::query(const std::string& sql) {
    try {
        return client.executeQuery(sql);
    } catch (const std::exception&) {
        return QueryResult{};
    }
}

std::string SettingsCheck::lastFailure() const {
    const StatementError& error = client.lastError();
    if (error.sqlState.empty() && error.message.empty()) {
        return "no diagnostics from the driver";
    }
    // Drivers end messages with line breaks and indent their second lines: one line here.
    std::string message;
    for (char c : error.message) {
        const bool blank = std::isspace(static_cast<unsigned char>(c)) != 0;
        if (!blank) {
            message += c;
        } else if (!message.empty() && message.back() != ' ') {
            message += ' ';
        }
    }
    if (!message.empty() && message.back() == ' ') {
        message.pop_back();
    }
    return "SQLSTATE " + error.sqlState + ", native error " + std::to_string(error.nativeError) +
           ": " + message;
}

bool SettingsCheck::connect(std::vector<CheckItem>& items) {
    CheckItem item{"connection", false, "", ""};
    client.Init();
    client.setLoginTimeout(LOGIN_TIMEOUT_SECONDS);
    const int status = client.Connect(config.connectionString);
    const std::string where = config.host + ":" + std::to_string(config.port);
    if (status == TOLVANE_ODBC_SUCCESS) {
        item.passed = true;
        item.result = "logged in to " + where + " as " + config.user;
        items.push_back(item);
        return true;
    }
    const std::string state = client.lastError().sqlState;
    item.result = "cannot log in to " + where + " as " + config.user + ": " + lastFailure();
    if (state == "IM002" || state == "IM003" || state == "01000") {
        item.fix =
            "register the Snowflake ODBC driver with the driver manager as SnowflakeDSIIDriver "
            "(odbcinst -q -d -n SnowflakeDSIIDriver shows the entry)";
    } else if (status == TOLVANE_ODBC_FAILED) {
        item.fix =
            "check the items user and password (or the key or token of the authentication "
            "method) and that the user may log in to this account";
    } else {
        item.fix =
            "check the items server and port, and that this machine reaches the server "
            "(firewall, proxy: a proxy goes in additionalParams)";
    }
    items.push_back(item);
    return false;
}

bool SettingsCheck::describeDatabase(std::vector<CheckItem>& items) {
    const std::string product = client.getDatabaseProductName();
    const std::string version = client.getDatabaseVersion();
    snowflake = upper(product).find("SNOWFLAKE") != std::string::npos;
    CheckItem item{"database", true, product + (version.empty() ? "" : " " + version), ""};
    if (!snowflake) {
        item.result += " (not Snowflake: warehouse, role and session parameters are not looked at)";
    }
    items.push_back(item);
    return true;
}

bool SettingsCheck::describeSession(std::vector<CheckItem>& items) {
    CheckItem item{"session", false, "", ""};
    const QueryResult result = query(SQLBuilder::buildSessionQuery());
    const std::vector<std::string> row = firstRow(result);
    if (row.size() < 2) {
        item.result = "cannot ask for the session's database and schema: " + lastFailure();
        item.fix = "see the driver's message";
        items.push_back(item);
        return false;
    }
    database = row[0];
    schema = row[1];
    if (database == NULL_TEXT) {
        item.result =
            "no database: '" + config.schema + "' does not exist or the role may not use it";
        item.fix = "set the item schema to an existing database, or GRANT USAGE ON DATABASE " +
                   config.schema + " TO ROLE <the plugin's role>";
        items.push_back(item);
        return false;
    }
    if (schema == NULL_TEXT) {
        item.result = "no schema: TOLVANE does not exist in database " + database +
                      " or the role may not use it";
        item.fix = "CREATE SCHEMA " + database + ".TOLVANE; GRANT USAGE, CREATE TABLE ON SCHEMA " +
                   database + ".TOLVANE TO ROLE <the plugin's role>";
        items.push_back(item);
        return false;
    }
    item.passed = true;
    item.result = "database " + database + ", schema " + schema;
    items.push_back(item);
    return !snowflake || describeSnowflakeSession(items);
}

bool SettingsCheck::describeSnowflakeSession(std::vector<CheckItem>& items) {
    CheckItem warehouse{"warehouse", false, "", ""};
    const std::vector<std::string> row = firstRow(query(SQLBuilder::buildWarehouseQuery()));
    if (row.size() < 2) {
        warehouse.result = "cannot ask for the session's warehouse: " + lastFailure();
        warehouse.fix = "see the driver's message";
        items.push_back(warehouse);
        return false;
    }
    if (row[0] == NULL_TEXT) {
        warehouse.result = "no warehouse in the session (role " + row[1] + ")";
        warehouse.fix =
            "set the item warehouse, or the user's DEFAULT_WAREHOUSE, to a warehouse "
            "the role has USAGE on";
        items.push_back(warehouse);
        return false;
    }
    warehouse.passed = true;
    warehouse.result = row[0] + ", role " + row[1];
    items.push_back(warehouse);

    CheckItem settings{"session settings", true, "", ""};
    const QueryResult parameters = query(SQLBuilder::buildSessionParametersQuery());
    for (const auto& parameter : parameters.rows) {
        if (parameter.size() >= 2 && parametersThatMatter().count(upper(parameter[0])) > 0) {
            settings.result +=
                (settings.result.empty() ? "" : ", ") + parameter[0] + "=" + parameter[1];
        }
    }
    if (settings.result.empty()) {
        settings.result = "not reported by the database";
    }
    items.push_back(settings);
    return true;
}

bool SettingsCheck::tryWriting(std::vector<CheckItem>& items) {
    const std::string table = TABLE_PREFIX + randomSuffix();
    const std::string where = "schema " + schema + " of database " + database;
    CheckItem create{"create tables", false, "", ""};
    if (!query(builder.buildCreateCheckTable(table)).success) {
        create.result = "cannot create a table in " + where + ": " + lastFailure();
        create.fix = "GRANT USAGE, CREATE TABLE ON SCHEMA " + database + "." + schema +
                     " TO ROLE <the plugin's role>";
        items.push_back(create);
        return false;
    }
    create.passed = true;
    create.result = "made table " + table + " in " + where;
    items.push_back(create);

    CheckItem write{"write", false, "", ""};
    if (query(builder.buildCheckInsert(table)).success) {
        write.passed = true;
        write.result = "wrote a row into " + table;
    } else {
        write.result = "cannot write a row into " + table + ": " + lastFailure();
        write.fix =
            "set the item warehouse to a warehouse the role has USAGE on (with "
            "AUTO_RESUME = TRUE), and see the driver's message";
    }
    items.push_back(write);

    CheckItem drop{"clean-up", false, "", ""};
    if (query(builder.buildDropTable(table)).success) {
        drop.passed = true;
        drop.result = "dropped " + table;
    } else {
        drop.result = "cannot drop " + table + ": " + lastFailure();
        drop.fix = "drop the table " + database + "." + schema + ".\"" + table + "\" by hand";
    }
    items.push_back(drop);
    return write.passed && drop.passed;
}
