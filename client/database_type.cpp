#include "client/database_type.h"

#include <cstddef>
#include <iterator>

#include "host/logger.h"

namespace {

struct TypeInfo {
    DatabaseType type;
    const char* displayName;
    const char* paginationKeyword;
};

// Indexed by the enumerator's value.
constexpr TypeInfo TYPE_INFO[] = {
    {DatabaseType::Unknown, "Unknown", "LIMIT"},
    {DatabaseType::SQLServer, "SQLServer", "TOP"},
    {DatabaseType::MySQL, "MySQL", "LIMIT"},
    {DatabaseType::PostgreSQL, "PostgreSQL", "LIMIT"},
    {DatabaseType::Oracle, "Oracle", "ROWNUM"},
    {DatabaseType::DB2, "DB2", "FETCH FIRST"},
    {DatabaseType::SQLite, "SQLite", "LIMIT"},
    {DatabaseType::MariaDB, "MariaDB", "LIMIT"},
    {DatabaseType::Sybase, "Sybase", "TOP"},
    {DatabaseType::Informix, "Informix", "FIRST"},
    {DatabaseType::Snowflake, "Snowflake", "LIMIT"},
};

constexpr bool typeInfoIndexedByValue() {
    for (size_t i = 0; i < std::size(TYPE_INFO); ++i) {
        if (static_cast<size_t>(TYPE_INFO[i].type) != i) {
            return false;
        }
    }
    return true;
}
static_assert(typeInfoIndexedByValue(), "TYPE_INFO must be ordered by enumerator value");

struct ProductName {
    const char* lowerCaseName;
    DatabaseType type;
};

constexpr ProductName PRODUCT_NAMES[] = {
    {"db2", DatabaseType::DB2},
    {"mysql", DatabaseType::MySQL},
    {"oracle", DatabaseType::Oracle},
    {"sqlite", DatabaseType::SQLite},
    {"sybase", DatabaseType::Sybase},
    {"mariadb", DatabaseType::MariaDB},
    {"postgres", DatabaseType::PostgreSQL},
    {"informix", DatabaseType::Informix},
    {"snowflake", DatabaseType::Snowflake},
    {"sqlserver", DatabaseType::SQLServer},
    {"sql server", DatabaseType::SQLServer},
    {"postgresql", DatabaseType::PostgreSQL},
    {"adaptive server", DatabaseType::Sybase},
    {"microsoft sql server", DatabaseType::SQLServer},
};

// Values outside the enumeration (a cast integer) fall back to the Unknown entry.
const TypeInfo& typeInfo(DatabaseType type) {
    const auto index = static_cast<int32_t>(type);
    if (index < 0 || static_cast<size_t>(index) >= std::size(TYPE_INFO)) {
        return TYPE_INFO[0];
    }
    return TYPE_INFO[index];
}

}  // namespace

std::string databaseTypeToString(DatabaseType type) {
    return typeInfo(type).displayName;
}

DatabaseType stringToDatabaseType(const std::string& text) {
    const DatabaseType type = productDatabaseType(text);
    if (type == DatabaseType::Unknown) {
        Logger::getLogger()->warn("Unknown database type string: %s", text.c_str());
    }
    return type;
}

DatabaseType productDatabaseType(const std::string& text) {
    // ASCII folding only: product names are plain ASCII and the locale must not matter.
    std::string folded = text;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    for (const auto& entry : PRODUCT_NAMES) {
        if (folded == entry.lowerCaseName) {
            return entry.type;
        }
    }
    return DatabaseType::Unknown;
}

std::string getPaginationSyntax(DatabaseType type) {
    return typeInfo(type).paginationKeyword;
}
