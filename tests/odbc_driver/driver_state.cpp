#include "tests/odbc_driver/driver_state.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/odbc_driver/request_text.h"

namespace scripted {

namespace {

using rapidjson::Value;

[[noreturn]] void invalid(const std::string& what) {
    throw std::runtime_error(what);
}

const Value& member(const Value& object, const char* name) {
    return object.FindMember(name)->value;
}

bool boolean(const Value& value, const char* name) {
    if (!value.IsBool()) {
        invalid(std::string(name) + " must be true or false");
    }
    return value.GetBool();
}

int integer(const Value& value, const char* name) {
    if (!value.IsInt()) {
        invalid(std::string(name) + " must be an integer");
    }
    return value.GetInt();
}

std::string text(const Value& value, const char* name) {
    if (!value.IsString()) {
        invalid(std::string(name) + " must be a string");
    }
    return std::string(value.GetString(), value.GetStringLength());
}

const Value::ConstArray array(const Value& value, const char* name) {
    if (!value.IsArray()) {
        invalid(std::string(name) + " must be an array");
    }
    return value.GetArray();
}

Diagnostic diagnostic(const Value& value) {
    if (!value.IsObject()) {
        invalid("a diagnostic record must be an object");
    }
    Diagnostic record;
    for (const auto& field : value.GetObject()) {
        const std::string name = field.name.GetString();
        if (name == "sqlState") {
            record.sqlState = text(field.value, "sqlState");
            if (record.sqlState.size() != 5) {
                invalid("sqlState must have five characters");
            }
        } else if (name == "nativeError") {
            record.nativeError = integer(field.value, "nativeError");
        } else if (name == "message") {
            record.message = text(field.value, "message");
        } else {
            invalid("unknown diagnostic member " + name);
        }
    }
    return record;
}

std::vector<Diagnostic> diagnostics(const Value& value) {
    std::vector<Diagnostic> records;
    for (const auto& item : array(value, "diagnostics")) {
        records.push_back(diagnostic(item));
    }
    return records;
}

Outcome outcome(const Value& value, const char* name) {
    if (!value.IsObject()) {
        invalid(std::string(name) + " must be an object");
    }
    Outcome result;
    for (const auto& field : value.GetObject()) {
        const std::string member = field.name.GetString();
        if (member == "returnCode") {
            result.returnCode = static_cast<SQLRETURN>(integer(field.value, "returnCode"));
        } else if (member == "diagnostics") {
            result.diagnostics = diagnostics(field.value);
        } else {
            invalid(std::string("unknown member of ") + name + ": " + member);
        }
    }
    return result;
}

CallScript callScript(const Value& value, const char* name) {
    if (!value.IsObject()) {
        invalid(std::string(name) + " must be an object");
    }
    CallScript result;
    for (const auto& field : value.GetObject()) {
        const std::string member = field.name.GetString();
        if (member == "returnCode") {
            result.outcome.returnCode = static_cast<SQLRETURN>(integer(field.value, "returnCode"));
        } else if (member == "diagnostics") {
            result.outcome.diagnostics = diagnostics(field.value);
        } else if (member == "killConnection") {
            result.killConnection = boolean(field.value, "killConnection");
        } else if (member == "times") {
            result.remaining = integer(field.value, "times");
        } else {
            invalid(std::string("unknown member of ") + name + ": " + member);
        }
    }
    return result;
}

MultiStatement multiStatementSetting(const Value& value) {
    const std::string name = text(value, "multiStatement");
    if (name == "snowflake") {
        return MultiStatement::SNOWFLAKE;
    }
    if (name == "postgres") {
        return MultiStatement::POSTGRES;
    }
    if (name == "single") {
        return MultiStatement::SINGLE;
    }
    if (name == "session") {
        return MultiStatement::SESSION;
    }
    invalid("multiStatement must be \"snowflake\", \"postgres\", \"single\" or \"session\"");
}

std::vector<std::optional<std::string>> row(const Value& value) {
    std::vector<std::optional<std::string>> cells;
    for (const auto& cell : array(value, "a row")) {
        if (cell.IsNull()) {
            cells.emplace_back(std::nullopt);
        } else {
            cells.emplace_back(text(cell, "a cell"));
        }
    }
    return cells;
}

std::pair<std::shared_ptr<StatementEntry>, int> statement(const Value& value) {
    if (!value.IsObject()) {
        invalid("a statement must be an object");
    }
    auto entry = std::make_shared<StatementEntry>();
    int times = -1;
    for (const auto& field : value.GetObject()) {
        const std::string name = field.name.GetString();
        const Value& v = field.value;
        if (name == "match") {
            entry->match = text(v, "match");
        } else if (name == "prefix") {
            entry->prefix = boolean(v, "prefix");
        } else if (name == "contains") {
            entry->contains = boolean(v, "contains");
        } else if (name == "returnCode") {
            entry->returnCode = static_cast<SQLRETURN>(integer(v, "returnCode"));
        } else if (name == "diagnostics") {
            entry->diagnostics = diagnostics(v);
        } else if (name == "columns") {
            for (const auto& column : array(v, "columns")) {
                entry->columns.push_back(text(column, "a column name"));
            }
        } else if (name == "rows") {
            for (const auto& item : array(v, "rows")) {
                entry->rows.push_back(row(item));
            }
        } else if (name == "failNumResultCols") {
            entry->failNumResultCols = boolean(v, "failNumResultCols");
        } else if (name == "failDescribeColumns") {
            for (const auto& column : array(v, "failDescribeColumns")) {
                entry->failDescribeColumns.push_back(integer(column, "a column number"));
            }
        } else if (name == "failGetData") {
            for (const auto& cell : array(v, "failGetData")) {
                const auto pair = array(cell, "a failGetData cell");
                if (pair.Size() != 2) {
                    invalid("a failGetData cell must be [row, column]");
                }
                entry->failGetData.emplace_back(integer(pair[0], "row"),
                                                integer(pair[1], "column"));
            }
        } else if (name == "times") {
            times = integer(v, "times");
        } else if (name == "killConnection") {
            entry->killConnection = boolean(v, "killConnection");
        } else {
            invalid("unknown statement member " + name);
        }
    }
    for (const auto& cells : entry->rows) {
        if (cells.size() != entry->columns.size()) {
            invalid("statement '" + entry->match + "': a row has " + std::to_string(cells.size()) +
                    " cells for " + std::to_string(entry->columns.size()) + " columns");
        }
    }
    return {std::move(entry), times};
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        invalid("cannot read " + path);
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Snowflake's limits on one statement's VALUES list and on a request's text.
constexpr size_t MAX_VALUES_ROWS = 16384;
constexpr size_t MAX_REQUEST_BYTES = 1024 * 1024;
constexpr int32_t LIMIT_NATIVE_ERROR = 1795;
constexpr int32_t COUNT_NATIVE_ERROR = 8;

// 16385 as "16,385", the way Snowflake writes numbers in its messages.
std::string grouped(size_t number) {
    std::string digits = std::to_string(number);
    for (size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, ",");
    }
    return digits;
}

// Session ids the driver reports: this plus the number of the connection.
constexpr long SESSION_ID_BASE = 1000;
const char* const SESSION_HISTORY_COUNT =
    "SELECT COUNT(*) FROM TABLE(INFORMATION_SCHEMA.QUERY_HISTORY_BY_SESSION(";

StatementResult refusal(const char* sqlState, int32_t nativeError, const std::string& message) {
    StatementResult result;
    result.outcome.returnCode = SQL_ERROR;
    result.outcome.diagnostics.push_back(Diagnostic{sqlState, nativeError, message});
    return result;
}

// The session setting that lets a Snowflake session run any number of statements per request,
// in any letter case.
bool isAnyCountSetting(const std::string& statement) {
    static const char* const setting = "ALTER SESSION SET MULTI_STATEMENT_COUNT = 0";
    return statement.size() == std::strlen(setting) &&
           std::equal(statement.begin(), statement.end(), setting, [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) == b;
           });
}

void writeJsonString(rapidjson::Writer<rapidjson::StringBuffer>& writer, const char* text,
                     size_t length) {
    writer.String(text, static_cast<rapidjson::SizeType>(length), true);
}

}  // namespace

bool StatementEntry::matches(const char* text, size_t length) const {
    if (contains) {
        return match.empty() ||
               std::search(text, text + length, match.begin(), match.end()) != text + length;
    }
    if (prefix) {
        return length >= match.size() && std::memcmp(text, match.data(), match.size()) == 0;
    }
    return length == match.size() && std::memcmp(text, match.data(), length) == 0;
}

bool StatementEntry::describeFails(int column) const {
    return std::find(failDescribeColumns.begin(), failDescribeColumns.end(), column) !=
           failDescribeColumns.end();
}

bool StatementEntry::getDataFails(int row, int column) const {
    return std::find(failGetData.begin(), failGetData.end(), std::make_pair(row, column)) !=
           failGetData.end();
}

DriverState& DriverState::get() {
    // Never destroyed: the driver manager may still call in while the process exits.
    static DriverState* state = new DriverState();
    return *state;
}

// Members of a script, all optional and applied in this order:
//   "reset": true            back to the default script, journal and counters emptied
//   "clearJournal": true
//   "connect", "allocStatement", "connectAttr": {"returnCode": n, "diagnostics": [...]}
//   "dbmsName": "text", "dbmsNameReturnCode": n
//   "connectionDead": bool   also revives connections killed by a statement
//   "journal": bool
//   "clearCalls": true      the call counts back to zero
//   "multiStatement": "snowflake" | "postgres" | "single" | "session"   (default "postgres")
//   "snowflakeLimits": bool  refuse more than 16,384 VALUES rows in a statement or more than
//                            1 MiB of request text (default true)
//   "autocommitOff", "autocommitOn", "commit", "rollback":
//                            {"returnCode": n, "diagnostics": [...], "killConnection": bool,
//                             "times": n}
//   "statements": [...]      appended to the entries already loaded; each entry
//                            {"match", "prefix", "contains", "returnCode", "diagnostics",
//                             "columns", "rows" (null cells are SQL NULL), "failNumResultCols",
//                             "failDescribeColumns", "failGetData" ([[row, column]]),
//                             "times", "killConnection"}, all but "match" optional
// A diagnostic is {"sqlState": "HY000", "nativeError": n, "message": "text"}.
bool DriverState::apply(const char* json, std::string& error) {
    rapidjson::Document document;
    document.Parse(json);
    if (document.HasParseError()) {
        error = std::string("JSON error at offset ") + std::to_string(document.GetErrorOffset()) +
                ": " + rapidjson::GetParseError_En(document.GetParseError());
        return false;
    }
    try {
        if (!document.IsObject()) {
            invalid("a script must be a JSON object");
        }
        static const char* const known[] = {"reset",
                                            "clearJournal",
                                            "connect",
                                            "allocStatement",
                                            "connectAttr",
                                            "dbmsName",
                                            "dbmsNameReturnCode",
                                            "connectionDead",
                                            "journal",
                                            "clearCalls",
                                            "statements",
                                            "multiStatement",
                                            "snowflakeLimits",
                                            "autocommitOff",
                                            "autocommitOn",
                                            "commit",
                                            "rollback"};
        for (const auto& field : document.GetObject()) {
            const std::string name = field.name.GetString();
            if (std::find(std::begin(known), std::end(known), name) == std::end(known)) {
                invalid("unknown script member " + name);
            }
        }
        auto has = [&document](const char* name) { return document.HasMember(name); };

        const bool reset = has("reset") && boolean(member(document, "reset"), "reset");
        const bool clear =
            has("clearJournal") && boolean(member(document, "clearJournal"), "clearJournal");
        const bool clearCalls =
            has("clearCalls") && boolean(member(document, "clearCalls"), "clearCalls");
        std::optional<Outcome> connectResult, allocResult, attrResult;
        if (has("connect")) {
            connectResult = outcome(member(document, "connect"), "connect");
        }
        if (has("allocStatement")) {
            allocResult = outcome(member(document, "allocStatement"), "allocStatement");
        }
        if (has("connectAttr")) {
            attrResult = outcome(member(document, "connectAttr"), "connectAttr");
        }
        std::optional<std::string> name;
        if (has("dbmsName")) {
            name = text(member(document, "dbmsName"), "dbmsName");
        }
        std::optional<int> nameCode;
        if (has("dbmsNameReturnCode")) {
            nameCode = integer(member(document, "dbmsNameReturnCode"), "dbmsNameReturnCode");
        }
        std::optional<bool> deadFlag, journalFlag;
        if (has("connectionDead")) {
            deadFlag = boolean(member(document, "connectionDead"), "connectionDead");
        }
        if (has("journal")) {
            journalFlag = boolean(member(document, "journal"), "journal");
        }
        std::optional<MultiStatement> mode;
        if (has("multiStatement")) {
            mode = multiStatementSetting(member(document, "multiStatement"));
        }
        std::optional<bool> limitsFlag;
        if (has("snowflakeLimits")) {
            limitsFlag = boolean(member(document, "snowflakeLimits"), "snowflakeLimits");
        }
        static const char* const callNames[] = {"autocommitOff", "autocommitOn", "commit",
                                                "rollback"};
        std::optional<CallScript> callResults[4];
        for (size_t i = 0; i < 4; ++i) {
            if (has(callNames[i])) {
                callResults[i] = callScript(member(document, callNames[i]), callNames[i]);
            }
        }
        std::vector<Slot> added;
        if (has("statements")) {
            for (const auto& item : array(member(document, "statements"), "statements")) {
                auto parsed = statement(item);
                added.push_back(Slot{std::move(parsed.first), parsed.second});
            }
        }

        std::lock_guard<std::mutex> lock(mutex);
        if (reset) {
            resetLocked();
        }
        if (clear) {
            journal.clear();
        }
        if (clearCalls) {
            callCounts.clear();
        }
        if (connectResult) {
            connectOutcome = std::move(*connectResult);
        }
        if (allocResult) {
            allocOutcome = std::move(*allocResult);
        }
        if (attrResult) {
            connectAttrOutcome = std::move(*attrResult);
        }
        if (name) {
            dbms = std::move(*name);
        }
        if (nameCode) {
            dbmsReturnCode = static_cast<SQLRETURN>(*nameCode);
        }
        if (deadFlag) {
            dead = *deadFlag;
            ++revivalGeneration;
        }
        if (journalFlag) {
            journaling = *journalFlag;
        }
        if (mode) {
            multiStatementMode = *mode;
        }
        if (limitsFlag) {
            snowflakeLimits = *limitsFlag;
        }
        for (size_t i = 0; i < 4; ++i) {
            if (callResults[i]) {
                calls[i] = std::move(*callResults[i]);
            }
        }
        for (auto& slot : added) {
            statements.push_back(std::move(slot));
        }
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

void DriverState::resetLocked() {
    connectOutcome = Outcome{};
    allocOutcome = Outcome{};
    connectAttrOutcome = Outcome{};
    dbms = "ScriptedDB";
    dbmsReturnCode = SQL_SUCCESS;
    dead = false;
    ++revivalGeneration;
    statements.clear();
    for (auto& script : calls) {
        script = CallScript{};
    }
    multiStatementMode = MultiStatement::POSTGRES;
    snowflakeLimits = true;
    journaling = true;
    journal.clear();
    callCounts.clear();
    connectionString.clear();
    connects = 0;
    disconnects = 0;
}

void DriverState::loadFromEnvironment() {
    const char* journalPath = std::getenv("SCRIPTED_ODBC_JOURNAL");
    const char* scriptPath = std::getenv("SCRIPTED_ODBC_SCRIPT");
    std::string script;
    {
        std::lock_guard<std::mutex> lock(mutex);
        journalFile = journalPath != nullptr ? journalPath : "";
        // A script file is read once, so that "times" and the journal carry
        // across the connections of a run.
        if (scriptPath == nullptr || *scriptPath == '\0' || loadedScriptFile == scriptPath) {
            return;
        }
        loadedScriptFile = scriptPath;
    }
    std::string error;
    try {
        script = readFile(scriptPath);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "scripted ODBC driver: %s\n", e.what());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        resetLocked();
    }
    if (!apply(script.c_str(), error)) {
        std::fprintf(stderr, "scripted ODBC driver: %s: %s\n", scriptPath, error.c_str());
    }
}

Outcome DriverState::connect(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (connectOutcome.returnCode == SQL_SUCCESS ||
        connectOutcome.returnCode == SQL_SUCCESS_WITH_INFO) {
        ++connects;
        connectionString = text;
    }
    return connectOutcome;
}

void DriverState::disconnected() {
    std::lock_guard<std::mutex> lock(mutex);
    ++disconnects;
}

Outcome DriverState::allocStatement() const {
    std::lock_guard<std::mutex> lock(mutex);
    return allocOutcome;
}

Outcome DriverState::connectAttr() const {
    std::lock_guard<std::mutex> lock(mutex);
    return connectAttrOutcome;
}

Outcome DriverState::dbmsName(std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex);
    name = dbms;
    Outcome result;
    result.returnCode = dbmsReturnCode;
    if (dbmsReturnCode == SQL_SUCCESS_WITH_INFO) {
        result.diagnostics.push_back({"01000", 0, "Scripted SQLGetInfo warning"});
    } else if (dbmsReturnCode != SQL_SUCCESS) {
        result.diagnostics.push_back({"HY000", 0, "Scripted SQLGetInfo failure"});
    }
    return result;
}

bool DriverState::connectionDead(uint64_t killedAt) const {
    std::lock_guard<std::mutex> lock(mutex);
    return dead || killedAt == revivalGeneration;
}

uint64_t DriverState::revival() const {
    std::lock_guard<std::mutex> lock(mutex);
    return revivalGeneration;
}

std::vector<StatementResult> DriverState::execute(const char* text, size_t length,
                                                  std::optional<long> declaredCount,
                                                  bool& anyCount) {
    std::vector<std::string> pieces = splitRequest(text, length);
    if (pieces.empty()) {
        pieces.emplace_back(text, length);
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (snowflakeLimits && length > MAX_REQUEST_BYTES) {
        return {refusal("42601", LIMIT_NATIVE_ERROR,
                        "maximum statement size exceeded, expected at most " +
                            grouped(MAX_REQUEST_BYTES) + " bytes, got " + grouped(length))};
    }
    if (multiStatementMode == MultiStatement::SNOWFLAKE &&
        pieces.size() != static_cast<size_t>(declaredCount.value_or(1))) {
        return {refusal("0A000", COUNT_NATIVE_ERROR,
                        "Actual statement count " + std::to_string(pieces.size()) +
                            " did not match the desired statement count " +
                            std::to_string(declaredCount.value_or(1)) + ".")};
    }
    if (multiStatementMode == MultiStatement::SINGLE && pieces.size() > 1) {
        return {refusal("42601", 0, "cannot insert multiple commands into a prepared statement")};
    }
    if (multiStatementMode == MultiStatement::SESSION && pieces.size() > 1 && !anyCount) {
        return {refusal("0A000", COUNT_NATIVE_ERROR,
                        "Actual statement count " + std::to_string(pieces.size()) +
                            " did not match the desired statement count 1.")};
    }
    std::vector<StatementResult> results;
    for (const std::string& piece : pieces) {
        journalLocked(piece);
        results.push_back(answerLocked(piece));
        const SQLRETURN code = results.back().outcome.returnCode;
        if (code != SQL_SUCCESS && code != SQL_SUCCESS_WITH_INFO && code != SQL_NO_DATA) {
            break;
        }
        anyCount = anyCount || isAnyCountSetting(piece);
    }
    return results;
}

StatementResult DriverState::answerLocked(const std::string& statement) {
    const size_t rows = valuesRowCount(statement);
    if (snowflakeLimits && rows > MAX_VALUES_ROWS) {
        return refusal("42601", LIMIT_NATIVE_ERROR,
                       "maximum number of expressions in a list exceeded, expected at most " +
                           grouped(MAX_VALUES_ROWS) + ", got " + grouped(rows));
    }
    StatementResult result;
    result.rowCount = static_cast<long>(rows);
    for (auto& slot : statements) {
        if (slot.remaining != 0 && slot.entry->matches(statement.data(), statement.size())) {
            if (slot.remaining > 0) {
                --slot.remaining;
            }
            result.entry = slot.entry;
            result.outcome.returnCode = slot.entry->returnCode;
            result.outcome.diagnostics = slot.entry->diagnostics;
            result.killConnection = slot.entry->killConnection;
            if (!slot.entry->columns.empty()) {
                result.rowCount = static_cast<long>(slot.entry->rows.size());
            }
            return result;
        }
    }
    // Snowflake's answers to the session functions, unless a script says otherwise: each
    // connection is a session of its own, and nothing of another session is running.
    auto answer = std::make_shared<StatementEntry>();
    if (statement == "SELECT CURRENT_SESSION()") {
        answer->columns = {"CURRENT_SESSION()"};
        answer->rows = {{std::to_string(SESSION_ID_BASE + connects)}};
    } else if (statement.compare(0, std::strlen(SESSION_HISTORY_COUNT), SESSION_HISTORY_COUNT) ==
               0) {
        answer->columns = {"COUNT(*)"};
        answer->rows = {{std::string("0")}};
    } else {
        return result;
    }
    result.rowCount = 1;
    result.entry = std::move(answer);
    return result;
}

CallScript DriverState::call(Call which) {
    static const char* const entries[] = {"[autocommit off]", "[autocommit on]", "[commit]",
                                          "[rollback]"};
    std::lock_guard<std::mutex> lock(mutex);
    journalLocked(entries[static_cast<int>(which)]);
    CallScript& script = calls[static_cast<int>(which)];
    if (script.remaining == 0) {
        return CallScript{};
    }
    if (script.remaining > 0) {
        --script.remaining;
    }
    return script;
}

MultiStatement DriverState::multiStatement() const {
    std::lock_guard<std::mutex> lock(mutex);
    return multiStatementMode;
}

void DriverState::journalLocked(const std::string& text) {
    if (journaling) {
        journal.push_back(text);
        if (!journalFile.empty()) {
            appendToJournalFile(text.data(), text.size());
        }
    }
}

void DriverState::appendToJournalFile(const char* text, size_t length) const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writeJsonString(writer, text, length);
    if (FILE* file = std::fopen(journalFile.c_str(), "a")) {
        std::fprintf(file, "%s\n", buffer.GetString());
        std::fclose(file);
    }
}

void DriverState::counted(const char* function) {
    std::lock_guard<std::mutex> lock(mutex);
    ++callCounts[function];
}

int DriverState::callCount(const std::string& function) const {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = callCounts.find(function);
    return found == callCounts.end() ? 0 : found->second;
}

std::string DriverState::journalJson() const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    std::lock_guard<std::mutex> lock(mutex);
    writer.StartArray();
    for (const auto& entry : journal) {
        writeJsonString(writer, entry.data(), entry.size());
    }
    writer.EndArray();
    return buffer.GetString();
}

std::string DriverState::lastConnectionString() const {
    std::lock_guard<std::mutex> lock(mutex);
    return connectionString;
}

int DriverState::connectCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return connects;
}

int DriverState::disconnectCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return disconnects;
}

}  // namespace scripted
