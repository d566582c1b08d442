// Runs recorded SQL statements through an ODBC driver, one SQLExecDirect each, and reports how
// long the database took: the baseline that the plugin's own throughput is compared with.
// The journal's transaction entries ("[autocommit off]", "[autocommit on]", "[commit]",
// "[rollback]") are replayed as the calls they stand for, so the statements run in the same
// transactions as the plugin's.
//
// Usage: sql_replay [--prefix TEXT]... FILE
//   FILE      statements as the scripted test driver journals them: one JSON string per line,
//             a request of several statements as one line per statement
//   --prefix  replay only statements that start with TEXT (repeatable; default: all statements
//             and transaction entries)
// The connection string is read from the environment variable SQL_REPLAY_CONNECTION, so that
// no password shows in a process list. Prints "statements N" and "seconds S" on stdout.

#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
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

enum class Step { STATEMENT, AUTOCOMMIT_OFF, AUTOCOMMIT_ON, COMMIT, ROLLBACK };

struct Entry {
    Step step;
    std::string statement;
};

// The transaction entries of the journal; anything else is a statement.
Step stepOf(const std::string& line) {
    static const std::pair<const char*, Step> calls[] = {{"[autocommit off]", Step::AUTOCOMMIT_OFF},
                                                         {"[autocommit on]", Step::AUTOCOMMIT_ON},
                                                         {"[commit]", Step::COMMIT},
                                                         {"[rollback]", Step::ROLLBACK}};
    for (const auto& call : calls) {
        if (line == call.first) {
            return call.second;
        }
    }
    return Step::STATEMENT;
}

std::vector<Entry> readJournal(const std::string& path, const std::vector<std::string>& prefixes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    std::vector<Entry> entries;
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
            const Step step = stepOf(statement);
            entries.push_back({step, step == Step::STATEMENT ? std::move(statement) : ""});
        }
    }
    return entries;
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

    void setAutocommit(bool on) {
        const auto value = reinterpret_cast<SQLPOINTER>(
            static_cast<uintptr_t>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF));
        if (!succeeded(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, value, SQL_IS_UINTEGER))) {
            throw std::runtime_error("cannot switch autocommit:" +
                                     diagnostics(SQL_HANDLE_DBC, dbc));
        }
    }

    void endTransaction(SQLSMALLINT completion) {
        if (!succeeded(SQLEndTran(SQL_HANDLE_DBC, dbc, completion))) {
            throw std::runtime_error("cannot end the transaction:" +
                                     diagnostics(SQL_HANDLE_DBC, dbc));
        }
    }

    void replay(const Entry& entry) {
        switch (entry.step) {
            case Step::STATEMENT:
                execute(entry.statement);
                break;
            case Step::AUTOCOMMIT_OFF:
                setAutocommit(false);
                break;
            case Step::AUTOCOMMIT_ON:
                setAutocommit(true);
                break;
            case Step::COMMIT:
                endTransaction(SQL_COMMIT);
                break;
            case Step::ROLLBACK:
                endTransaction(SQL_ROLLBACK);
                break;
        }
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
        const std::vector<Entry> entries = readJournal(path, prefixes);
        Session session(connection);
        size_t statements = 0;
        const auto start = std::chrono::steady_clock::now();
        for (const Entry& entry : entries) {
            session.replay(entry);
            statements += entry.step == Step::STATEMENT ? 1 : 0;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("statements %zu\nseconds %.6f\n", statements, seconds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sql_replay: %s\n", error.what());
        return 1;
    }
    return 0;
}
