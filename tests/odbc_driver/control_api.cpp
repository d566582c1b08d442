#include "tests/odbc_driver/control_api.h"

#include <string>

#include "tests/odbc_driver/driver_state.h"

namespace {

// Texts handed out by the functions below live until the next call. Plain
// statics rather than thread_local: LeakSanitizer with glibc 2.36 crashes on the
// dynamic TLS of a dlopen'd library. Tests steer the driver from one thread.
std::string lastError;
std::string journalText;
std::string connectionText;

}  // namespace

extern "C" {

int scripted_driver_load(const char* json) {
    lastError.clear();
    if (json == nullptr) {
        lastError = "no script";
        return -1;
    }
    return scripted::DriverState::get().apply(json, lastError) ? 0 : -1;
}

const char* scripted_driver_error() {
    return lastError.c_str();
}

const char* scripted_driver_journal_json() {
    journalText = scripted::DriverState::get().journalJson();
    return journalText.c_str();
}

const char* scripted_driver_connection_string() {
    connectionText = scripted::DriverState::get().lastConnectionString();
    return connectionText.c_str();
}

int scripted_driver_connect_count() {
    return scripted::DriverState::get().connectCount();
}

int scripted_driver_disconnect_count() {
    return scripted::DriverState::get().disconnectCount();
}

int scripted_driver_open_handles() {
    return scripted::DriverState::get().handlesOpen();
}

int scripted_driver_call_count(const char* function) {
    return scripted::DriverState::get().callCount(function == nullptr ? "" : function);
}
}
