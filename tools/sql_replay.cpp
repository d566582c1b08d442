// Runs recorded SQL statements through an ODBC driver, one SQLExecDirect each, and reports how
// long the database took: the baseline that the plugin's own throughput is compared with.
//
// Usage: sql_replay [--prefix TEXT]... FILE
//   FILE      statements as the scripted test driver journals them: one JSON string per line
//   --prefix  replay only statements that start with TEXT (repeatable; default: all)
// The connection string is read from the environment variable SQL_REPLAY_CONNECTION, so that
// no password shows in a process list. Prints "statements N" and "seconds S" on stdout.

#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace {

bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::string text;
    SQLCHAR state[6];
    SQLCHAR message[1024];
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    for (SQLSMALLINT number = 1; succeeded(SQLGetDiagRec(type, handle, number, state, &native,
                                                         message, sizeof(message), &length));
         ++number) {
        text += std::string(" [") + reinterpret_cast<const char*>(state) + "] " +
                reinterpret_cast<const char*>(message);
    }
    return text;
}

std::vector<std::string> readJournal(const std::string& path,
                                     const std::vector<std::string>& prefixes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    std::vector<std::string> statements;
    std::string line;
    size_t number = 0;
    while (std::getline(file, line)) {
        ++number;
        if (line.empty()) {
            continue;
        }
        rapidjson::Document document;
        document.Parse(line.c_str(), line.size());
        if (document.HasParseError() || !document.IsString()) {
            throw std::runtime_error(path + ":" + std::to_string(number) + ": not a JSON string");
        }
        std::string statement(document.GetString(), document.GetStringLength());
        bool wanted = prefixes.empty();
        for (const std::string& prefix : prefixes) {
            wanted = wanted || statement.compare(0, prefix.size(), prefix) == 0;
        }
        if (wanted) {
            statements.push_back(std::move(statement));
        }
    }
    return statements;
}

class Session {
public:
    explicit Session(const std::string& connection) {
        if (!succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
            throw std::runtime_error("cannot allocate an ODBC environment");
        }
        SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        if (!succeeded(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
            throw std::runtime_error("cannot allocate an ODBC connection");
        }
        SQLCHAR* text = reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection.c_str()));
        if (!succeeded(SQLDriverConnect(dbc, nullptr, text, SQL_NTS, nullptr, 0, nullptr,
                                        SQL_DRIVER_NOPROMPT))) {
            throw std::runtime_error("cannot connect:" + diagnostics(SQL_HANDLE_DBC, dbc));
        }
        connected = true;
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (connected) {
            SQLDisconnect(dbc);
        }
        if (dbc != SQL_NULL_HDBC) {
            SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        }
        if (env != SQL_NULL_HENV) {
            SQLFreeHandle(SQL_HANDLE_ENV, env);
        }
    }

    // One statement handle per statement, as the plugin does.
    void execute(const std::string& sql) {
        SQLHSTMT statement = SQL_NULL_HSTMT;
        if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &statement))) {
            throw std::runtime_error("cannot allocate a statement:" +
                                     diagnostics(SQL_HANDLE_DBC, dbc));
        }
        SQLCHAR* text = reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.data()));
        const SQLRETURN rc = SQLExecDirect(statement, text, static_cast<SQLINTEGER>(sql.size()));
        if (!succeeded(rc) && rc != SQL_NO_DATA) {
            std::string error = diagnostics(SQL_HANDLE_STMT, statement);
            SQLFreeHandle(SQL_HANDLE_STMT, statement);
            throw std::runtime_error("statement failed:" + error + "\n  " + sql.substr(0, 200));
        }
        // A query's rows are read and dropped, as the plugin reads them.
        while (SQLFetch(statement) == SQL_SUCCESS) {
        }
        SQLFreeHandle(SQL_HANDLE_STMT, statement);
    }

private:
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    bool connected = false;
};

int usage() {
    std::fprintf(stderr, "usage: sql_replay [--prefix TEXT]... FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> prefixes;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--prefix" && i + 1 < argc) {
            prefixes.emplace_back(argv[++i]);
        } else if (argument == "-h" || argument == "--help") {
            usage();
            return 0;
        } else if (path.empty() && argument.compare(0, 2, "--") != 0) {
            path = argument;
        } else {
            return usage();
        }
    }
    if (path.empty()) {
        return usage();
    }
    const char* connection = std::getenv("SQL_REPLAY_CONNECTION");
    if (connection == nullptr || *connection == '\0') {
        std::fprintf(stderr, "sql_replay: SQL_REPLAY_CONNECTION is not set\n");
        return 2;
    }
    try {
        const std::vector<std::string> statements = readJournal(path, prefixes);
        Session session(connection);
        const auto start = std::chrono::steady_clock::now();
        for (const std::string& statement : statements) {
            session.execute(statement);
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("statements %zu\nseconds %.6f\n", statements.size(), seconds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sql_replay: %s\n", error.what());
        return 1;
    }
    return 0;
}
