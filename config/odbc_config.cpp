#include "config/odbc_config.h"

#include <cctype>
#include <cstdint>
#include <exception>
#include <limits>
#include <map>

#include "host/config_category.h"
#include "host/logger.h"

namespace {

// The host hands integers over as long; a port outside the 32-bit range must not wrap round to
// a plausible port, so it saturates and isValid rejects it.
int32_t toPort(long value) {
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

// A key that would split or re-key the connection string cannot be written safely at all.
bool isValidParameterKey(const std::string& key) {
    return !key.empty() && key.find_first_of("=;{}") == std::string::npos;
}

std::string flattenParameters(const std::map<std::string, std::string>& parameters) {
    std::string flattened;
    for (const auto& parameter : parameters) {
        if (!isValidParameterKey(parameter.first)) {
            Logger::getLogger()->error(
                "Ignoring additional connection parameter with invalid key '%s'",
                parameter.first.c_str());
            continue;
        }
        flattened += parameter.first;
        flattened += '=';
        flattened += ODBCConfig::connectionValue(parameter.second);
        flattened += ';';
    }
    return flattened;
}

// Connection-string keys are case-insensitive and surrounding blanks are not part of them.
bool isPasswordKey(const std::string& key) {
    size_t first = key.find_first_not_of(' ');
    if (first == std::string::npos) {
        return false;
    }
    size_t last = key.find_last_not_of(' ');
    if (last - first + 1 != 3) {
        return false;
    }
    return std::toupper(static_cast<unsigned char>(key[first])) == 'P' &&
           std::toupper(static_cast<unsigned char>(key[first + 1])) == 'W' &&
           std::toupper(static_cast<unsigned char>(key[first + 2])) == 'D';
}

}  // namespace

ODBCConfig::ODBCConfig()
    : host("localhost"),
      port(static_cast<int32_t>(std::stol("443", nullptr, 10))),
      schema("default_schema"),
      user("default_user"),
      password("kvzq"),
      tolvaneInstance("tolvaneInstance"),
      dataSource("readings"),
      additionalParams() {
    // Always the generic form here, also for a derived dialect: its own form replaces this one
    // at its first configure.
    ODBCConfig::buildConnectionString();
}

ODBCConfig::~ODBCConfig() = default;

std::string ODBCConfig::getConnectionString() const {
    return connectionString;
}

void ODBCConfig::buildConnectionString() {
    std::string built = "Driver={DatabricksODBCDriver};";
    built += "Host=" + connectionValue(host) + ";";
    built += "Port=" + std::to_string(port) + ";";
    built += "UID=" + connectionValue(user) + ";";
    built += "PWD=" + connectionValue(password) + ";";
    built += "SCHEMA=" + connectionValue(schema) + ";";
    built += additionalParams;
    connectionString = std::move(built);
}

void ODBCConfig::configure(const ConfigCategory* category) {
    static const std::string CONFIG_HOST("server");
    static const std::string CONFIG_PORT("port");
    static const std::string CONFIG_SCHEMA("schema");
    static const std::string CONFIG_USER("user");
    static const std::string CONFIG_PASSWORD("password");
    static const std::string CONFIG_DATA_SRC("source");
    static const std::string CONFIG_TOLVANE_INSTANCE("tolvaneInstance");
    static const std::string CONFIG_ADDITIONAL_PARAMS("additionalParams");

    try {
        // Every read first, so that a failing one leaves the settings as they were.
        std::string newHost = category->getValue(CONFIG_HOST, "localhost");
        int32_t newPort = toPort(category->getIntegerValue(CONFIG_PORT, 443));
        std::string newSchema = category->getValue(CONFIG_SCHEMA, "default_schema");
        std::string newUser = category->getValue(CONFIG_USER, "default_user");
        std::string newPassword = category->getValue(CONFIG_PASSWORD, "kvzq");
        std::string newInstance = category->getValue(CONFIG_TOLVANE_INSTANCE, "tolvaneInstance");
        std::string newDataSource = category->getValue(CONFIG_DATA_SRC, "readings");
        std::map<std::string, std::string> parameters =
            category->getValueKVList(CONFIG_ADDITIONAL_PARAMS);
        std::string newParams = flattenParameters(parameters);

        host = std::move(newHost);
        port = newPort;
        schema = std::move(newSchema);
        user = std::move(newUser);
        password = std::move(newPassword);
        tolvaneInstance = std::move(newInstance);
        dataSource = std::move(newDataSource);
        additionalParams = std::move(newParams);

        buildConnectionString();

        Logger::getLogger()->info(
            "Database configuration set: Server=%s, Port=%d, Schema=%s, Additional connection "
            "parameter=%s",
            host.c_str(), port, schema.c_str(), additionalParams.c_str());
    } catch (const std::exception& e) {
        Logger::getLogger()->error("Error during configuration: %s", e.what());
        throw;
    }
}

bool ODBCConfig::isValid() const {
    Logger* logger = Logger::getLogger();
    if (host.empty()) {
        logger->error("Server hostname is empty");
        return false;
    }
    if (port < 1 || port > 65535) {
        logger->error("Invalid port number: %d", port);
        return false;
    }
    if (schema.empty()) {
        logger->error("Schema name is empty");
        return false;
    }
    if (user.empty()) {
        logger->error("Username is empty");
        return false;
    }
    if (password.empty()) {
        logger->error("Password is empty");
        return false;
    }
    if (tolvaneInstance.empty()) {
        logger->error("Tolvane instance name is empty");
        return false;
    }
    return true;
}

bool ODBCConfig::hasChanged(const ODBCConfig& other) const {
    return host != other.host || port != other.port || schema != other.schema ||
           user != other.user || password != other.password ||
           tolvaneInstance != other.tolvaneInstance || dataSource != other.dataSource ||
           additionalParams != other.additionalParams;
}

std::string ODBCConfig::connectionValue(const std::string& value) {
    bool needsBraces = value.find_first_of(";{}") != std::string::npos ||
                       (!value.empty() && (value.front() == ' ' || value.back() == ' '));
    if (!needsBraces) {
        return value;
    }
    std::string braced;
    braced.reserve(value.size() + 2);
    braced += '{';
    for (char c : value) {
        braced += c;
        if (c == '}') {
            braced += '}';
        }
    }
    braced += '}';
    return braced;
}

std::string ODBCConfig::maskPassword(const std::string& connectionString) {
    std::string masked;
    masked.reserve(connectionString.size());
    size_t position = 0;
    const size_t length = connectionString.size();
    while (position < length) {
        size_t equals = connectionString.find('=', position);
        size_t semicolon = connectionString.find(';', position);
        if (equals == std::string::npos || (semicolon != std::string::npos && semicolon < equals)) {
            // A fragment without a value: keep it as it stands up to its separator.
            size_t end = semicolon == std::string::npos ? length : semicolon + 1;
            masked.append(connectionString, position, end - position);
            position = end;
            continue;
        }
        std::string key = connectionString.substr(position, equals - position);
        size_t valueStart = equals + 1;
        size_t valueEnd = valueStart;
        if (valueEnd < length && connectionString[valueEnd] == '{') {
            // Braced value: runs to the first "}" that is not doubled.
            ++valueEnd;
            while (valueEnd < length) {
                if (connectionString[valueEnd] == '}') {
                    if (valueEnd + 1 < length && connectionString[valueEnd + 1] == '}') {
                        valueEnd += 2;
                        continue;
                    }
                    ++valueEnd;
                    break;
                }
                ++valueEnd;
            }
        }
        size_t separator = connectionString.find(';', valueEnd);
        valueEnd = separator == std::string::npos ? length : separator;

        masked += key;
        masked += '=';
        if (isPasswordKey(key)) {
            masked += "****";
        } else {
            masked.append(connectionString, valueStart, valueEnd - valueStart);
        }
        if (separator != std::string::npos) {
            masked += ';';
            position = separator + 1;
        } else {
            position = length;
        }
    }
    return masked;
}
