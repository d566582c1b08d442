#ifndef CLIENT_DATABASE_TYPE_H
#define CLIENT_DATABASE_TYPE_H

#include <cstdint>
#include <string>

// The kind of database product behind a connection.
enum class DatabaseType : int32_t {
    Unknown = 0,
    SQLServer = 1,
    MySQL = 2,
    PostgreSQL = 3,
    Oracle = 4,
    DB2 = 5,
    SQLite = 6,
    MariaDB = 7,
    Sybase = 8,
    Informix = 9,
    Snowflake = 10,
};

std::string databaseTypeToString(DatabaseType type);
DatabaseType stringToDatabaseType(const std::string& text);
// The same mapping without a word about names it does not know.
DatabaseType productDatabaseType(const std::string& text);
std::string getPaginationSyntax(DatabaseType type);

#endif
