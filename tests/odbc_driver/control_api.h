#ifndef TESTS_ODBC_DRIVER_CONTROL_API_H
#define TESTS_ODBC_DRIVER_CONTROL_API_H

// Functions the scripted driver exports besides the ODBC API, for tests that
// steer it from inside the process (through dlsym on the driver library).
extern "C" {
// Applies a JSON script; 0 on success, -1 when the script is invalid.
int scripted_driver_load(const char* json);
// Why the last scripted_driver_load failed.
const char* scripted_driver_error();
// JSON array of the statement texts received so far; valid until the next call.
const char* scripted_driver_journal_json();
// Connection string of the last successful connect; same lifetime rule.
const char* scripted_driver_connection_string();
int scripted_driver_connect_count();
int scripted_driver_disconnect_count();
int scripted_driver_open_handles();
// How often the driver's function of that name was called since the last reset or
// {"clearCalls": true}; "SQLSetConnectAttr(SQL_ATTR_AUTOCOMMIT)" counts autocommit switches.
int scripted_driver_call_count(const char* function);
}

#endif
