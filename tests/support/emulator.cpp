#include "tests/support/emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>

#ifndef VARNHOLT_SOURCE_DIR
#error "VARNHOLT_SOURCE_DIR must name the source tree (it holds scripts/emulator-start.sh)"
#endif

extern char** environ;

namespace varnholt {
namespace test {

namespace {

const char* const SUPERUSER = "postgres";

struct ProcessResult {
    int status = -1;  // exit code, or 128 + signal number
    std::string out;
    std::string err;
};

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The current environment with the given KEY=VALUE entries replacing or adding to it.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
    std::vector<std::string> result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::string key = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& item : overrides) {
            if (item.compare(0, key.size() + 1, key + "=") == 0) {
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            result.push_back(text);
        }
    }
    result.insert(result.end(), overrides.begin(), overrides.end());
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (auto& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

// Runs a program without a shell, feeds it `input` and collects both outputs. Its standard input
// is a socket so that a child that stops reading cannot raise SIGPIPE in this process.
ProcessResult runProcess(std::vector<std::string> argv, const std::vector<std::string>& overrides,
                         const std::string& input) {
    std::vector<std::string> env = environmentWith(overrides);
    std::vector<char*> argvPointers = pointers(argv);
    std::vector<char*> envPointers = pointers(env);

    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    const auto fail = [&](const char* what) {
        const std::string text = errnoText(what);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        throw std::runtime_error(text);
    };
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) {
        fail("socketpair");
    }
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        fail("pipe2");
    }
    const pid_t pid = fork();
    if (pid < 0) {
        fail("fork");
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        dup2(in[1], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execve(argvPointers[0], argvPointers.data(), envPointers.data());
        const char message[] = "exec failed\n";
        ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
        (void)ignored;
        _exit(127);
    }
    close(in[1]);
    close(out[1]);
    close(err[1]);

    ProcessResult result;
    size_t written = 0;
    int inFd = in[0];
    if (input.empty()) {
        shutdown(inFd, SHUT_WR);
    }
    bool outOpen = true;
    bool errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
        fds[0].fd = outOpen ? out[0] : -1;
        fds[1].fd = errOpen ? err[0] : -1;
        fds[2].fd = written < input.size() ? inFd : -1;
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                (i == 0 ? outOpen : errOpen) = false;
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            const ssize_t count =
                send(inFd, input.data() + written, input.size() - written, MSG_NOSIGNAL);
            if (count > 0) {
                written += static_cast<size_t>(count);
            }
            if (count < 0 && errno != EINTR && errno != EAGAIN) {
                written = input.size();  // the child stopped reading; its output says why
            }
            if (written == input.size()) {
                shutdown(inFd, SHUT_WR);
            }
        }
    }
    close(in[0]);
    close(out[0]);
    close(err[0]);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error(errnoText("waitpid"));
        }
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// Reads the KEY=VALUE lines of emulator-start.sh, undoing the shell quoting.
std::map<std::string, std::string> parseSettings(const std::string& text) {
    std::map<std::string, std::string> settings;
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(position, end - position);
        position = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) {
            continue;
        }
        std::string value;
        for (size_t i = equals + 1; i < line.size(); ++i) {
            if (line[i] == '\'') {
                const size_t close = line.find('\'', i + 1);
                if (close == std::string::npos) {
                    throw std::runtime_error("unterminated quote in emulator setting: " + line);
                }
                value.append(line, i + 1, close - i - 1);
                i = close;
            } else if (line[i] == '\\' && i + 1 < line.size()) {
                value += line[++i];
            } else {
                value += line[i];
            }
        }
        settings[line.substr(0, equals)] = value;
    }
    return settings;
}

// Parses COPY ... (FORMAT csv, FORCE_QUOTE *) output: every value quoted, NULL unquoted and empty.
Emulator::Rows parseCsv(const std::string& text) {
    Emulator::Rows rows;
    Emulator::Row row;
    size_t i = 0;
    while (i < text.size()) {
        Emulator::Value value;
        if (text[i] == '"') {
            std::string field;
            ++i;
            while (true) {
                if (i >= text.size()) {
                    throw std::runtime_error("unterminated quoted value in psql output");
                }
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += text[i++];
            }
            value = std::move(field);
        } else {
            const size_t end = text.find_first_of(",\n", i);
            const size_t stop = end == std::string::npos ? text.size() : end;
            if (stop > i) {
                value = text.substr(i, stop - i);
            }
            i = stop;
        }
        row.push_back(std::move(value));
        if (i >= text.size() || text[i] == '\n') {
            rows.push_back(std::move(row));
            row.clear();
            ++i;
        } else if (text[i] == ',') {
            ++i;
            if (i >= text.size()) {
                row.emplace_back();
                rows.push_back(std::move(row));
                row.clear();
            }
        } else {
            throw std::runtime_error("unexpected character after a value in psql output");
        }
    }
    return rows;
}

std::string scriptPath(const char* name) {
    return std::string(VARNHOLT_SOURCE_DIR) + "/scripts/" + name;
}

std::string failureText(const std::string& what, const ProcessResult& result) {
    std::string text = what + " failed (exit " + std::to_string(result.status) + ")";
    if (!result.err.empty()) {
        text += ": " + result.err;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

class SharedEmulatorEnvironment : public ::testing::Environment {
public:
    explicit SharedEmulatorEnvironment(Emulator& emulator) : emulator(emulator) {}
    void SetUp() override { emulator.start(); }
    void TearDown() override { emulator.stop(); }

private:
    Emulator& emulator;
};

}  // namespace

Emulator::Emulator(EmulatorOptions options) : options(std::move(options)) {}

Emulator::~Emulator() {
    try {
        stop();
    } catch (const std::exception& error) {
        std::cerr << "Emulator: " << error.what() << std::endl;
    }
}

void Emulator::start() {
    if (started) {
        return;
    }
    runStartScript("");
    started = true;
}

void Emulator::stop() {
    if (!started) {
        return;
    }
    const ProcessResult result = runProcess({scriptPath("emulator-stop.sh"), dir}, {}, "");
    started = false;
    serverRunning = false;
    if (result.status != 0) {
        throw std::runtime_error(failureText("emulator-stop.sh " + dir, result));
    }
}

void Emulator::stopServer() {
    requireStarted("stopServer");
    const ProcessResult result =
        runProcess({scriptPath("emulator-stop.sh"), "--keep-data", dir}, {}, "");
    if (result.status != 0) {
        throw std::runtime_error(failureText("emulator-stop.sh --keep-data " + dir, result));
    }
    serverRunning = false;
}

void Emulator::startServer() {
    requireStarted("startServer");
    const int previousPort = portNumber;
    runStartScript(dir);
    if (portNumber != previousPort) {
        throw std::runtime_error("emulator came back on port " + std::to_string(portNumber) +
                                 " instead of " + std::to_string(previousPort));
    }
}

void Emulator::setOdbcEnvironment() const {
    requireStarted("setOdbcEnvironment");
    setenv("ODBCSYSINI", odbcSysIni.c_str(), 1);
}

Emulator::Rows Emulator::query(const std::string& sql) const {
    requireStarted("query");
    std::string statement = sql;
    while (!statement.empty() && (statement.back() == ';' ||
                                  std::isspace(static_cast<unsigned char>(statement.back())))) {
        statement.pop_back();
    }
    // Line breaks keep a trailing comment in the statement from swallowing the rest.
    return parseCsv(runPsql(
        userName, "COPY (\n" + statement + "\n) TO STDOUT WITH (FORMAT csv, FORCE_QUOTE *)"));
}

void Emulator::execute(const std::string& sql) const {
    requireStarted("execute");
    runPsql(userName, sql);
}

void Emulator::executeAsSuperuser(const std::string& sql) const {
    requireStarted("executeAsSuperuser");
    runPsql(SUPERUSER, sql);
}

void Emulator::runStartScript(const std::string& directoryArgument) {
    std::vector<std::string> argv{scriptPath("emulator-start.sh")};
    if (!directoryArgument.empty()) {
        argv.push_back(directoryArgument);
    }
    const ProcessResult result = runProcess(
        argv,
        {"EMULATOR_DATABASE=" + options.database, "EMULATOR_USER=" + options.user,
         "EMULATOR_PASSWORD=" + options.password, "EMULATOR_OWNER_PID=" + std::to_string(getpid())},
        "");
    if (result.status != 0) {
        throw std::runtime_error(failureText("emulator-start.sh", result));
    }
    const auto settings = parseSettings(result.out);
    const auto get = [&settings](const char* key) {
        const auto found = settings.find(key);
        if (found == settings.end() || found->second.empty()) {
            throw std::runtime_error(std::string("emulator-start.sh printed no ") + key);
        }
        return found->second;
    };
    dir = get("EMULATOR_DIR");
    hostName = get("EMULATOR_HOST");
    portNumber = std::stoi(get("EMULATOR_PORT"));
    databaseName = get("EMULATOR_DATABASE");
    userName = get("EMULATOR_USER");
    userPassword = get("EMULATOR_PASSWORD");
    schemaName = get("EMULATOR_SCHEMA");
    pgBin = get("EMULATOR_PG_BIN");
    odbcSysIni = get("ODBCSYSINI");
    connection = get("EMULATOR_CONNECTION_STRING");
    serverRunning = true;
}

std::string Emulator::runPsql(const std::string& role, const std::string& sql) const {
    const ProcessResult result = runProcess(
        {pgBin + "/psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", hostName, "-p",
         std::to_string(portNumber), "-U", role, "-d", databaseName, "-f", "-"},
        {"PGCLIENTENCODING=UTF8", "PGPASSWORD=" + userPassword, "PGCONNECT_TIMEOUT=10",
         "PGOPTIONS="},
        sql);
    if (result.status != 0) {
        throw std::runtime_error(failureText("psql as " + role, result) + "\nSQL: " + sql);
    }
    return result.out;
}

void Emulator::requireStarted(const char* operation) const {
    if (!started) {
        throw std::runtime_error(std::string("Emulator::") + operation +
                                 ": the emulator is not started");
    }
}

Emulator& sharedEmulator() {
    static Emulator emulator;
    static const bool registered = [] {
        ::testing::AddGlobalTestEnvironment(new SharedEmulatorEnvironment(emulator));
        return true;
    }();
    (void)registered;
    emulator.start();
    return emulator;
}

}  // namespace test
}  // namespace varnholt
