#include "config/default_config.h"

namespace {
// Attribute order and the all-text attribute values are what the host's configuration editor
// expects; only "options" is an array.
const char* const DEFAULT_CONFIGURATION = R"JSON({
    "plugin": {
        "description": "Varnholt North Plugin",
        "type": "string",
        "default": "varnholt",
        "readonly": "true"
    },
    "server": {
        "description": "The full Snowflake server URL (account identifier)",
        "type": "string",
        "default": "localhost",
        "order": "1",
        "displayName": "Snowflake Server URL",
        "mandatory": "true"
    },
    "port": {
        "description": "Snowflake server port (default is 443 for HTTPS)",
        "type": "integer",
        "default": "443",
        "order": "2",
        "displayName": "Snowflake Server Port",
        "mandatory": "true"
    },
    "schema": {
        "description": "The name of the Snowflake database to connect to",
        "type": "string",
        "default": "default_db",
        "order": "3",
        "displayName": "Database Name",
        "mandatory": "true"
    },
    "user": {
        "description": "Snowflake username for authentication",
        "type": "string",
        "default": "default_user",
        "order": "4",
        "displayName": "Username",
        "mandatory": "true"
    },
    "password": {
        "description": "Password for the Snowflake account",
        "type": "password",
        "default": "kvzq",
        "order": "5",
        "displayName": "Password",
        "mandatory": "true"
    },
    "tolvaneInstance": {
        "description": "The name of the Tolvane instance",
        "type": "string",
        "default": "tolvaneInstance",
        "order": "6",
        "displayName": "Tolvane Instance Name",
        "mandatory": "true"
    },
    "source": {
        "description": "Source of the data to send to Snowflake",
        "type": "enumeration",
        "default": "readings",
        "options": ["readings", "statistics"],
        "order": "7",
        "displayName": "Data Source"
    },
    "additionalParams": {
        "description": "Additional optional parameters for customizing the Snowflake connection (e.g., extra ODBC options or advanced settings)",
        "type": "kvlist",
        "items": "string",
        "order": "8",
        "default": "{}",
        "displayName": "Additional Connection Parameters"
    },
    "authentication": {
        "description": "How the plugin logs in to Snowflake. Password: the Password item holds the user's password or a programmatic access token. Key pair: the user's private key in Private Key File (the way for a service user, which cannot log in with a password). OAuth token: an OAuth access token in OAuth Token",
        "type": "enumeration",
        "default": "Password",
        "options": ["Password", "Key pair", "OAuth token"],
        "order": "9",
        "displayName": "Authentication Method"
    },
    "privateKeyFile": {
        "description": "Key pair only: path on the gateway of the user's private key, a PKCS#8 PEM file (BEGIN PRIVATE KEY or BEGIN ENCRYPTED PRIVATE KEY) readable by the Tolvane service",
        "type": "string",
        "default": "",
        "order": "10",
        "displayName": "Private Key File"
    },
    "privateKeyPassphrase": {
        "description": "Key pair only: passphrase of an encrypted private key; empty for a key without one",
        "type": "password",
        "default": "",
        "order": "11",
        "displayName": "Private Key Passphrase"
    },
    "token": {
        "description": "OAuth token only: the OAuth access token the plugin logs in with",
        "type": "password",
        "default": "",
        "order": "12",
        "displayName": "OAuth Token"
    },
    "warehouse": {
        "description": "Virtual warehouse that runs the plugin's statements, with any method; empty: the user's default warehouse",
        "type": "string",
        "default": "",
        "order": "13",
        "displayName": "Warehouse"
    },
    "role": {
        "description": "Role the plugin works in, with any method; empty: the user's default role",
        "type": "string",
        "default": "",
        "order": "14",
        "displayName": "Role"
    },
    "integerType": {
        "description": "Type of a new column whose values in the batch that makes it are all whole numbers. BIGINT keeps every whole number exactly, but a fraction sent to that column later is rejected. Pick REAL when sources print whole values as integers (a temperature of 21.0 sent as 21): the column then takes 21.5 as well. Columns that exist are never changed",
        "type": "enumeration",
        "default": "BIGINT",
        "options": ["BIGINT", "REAL"],
        "order": "15",
        "displayName": "Column type for whole numbers"
    },
    "replayRejects": {
        "description": "Send the readings this instance kept in the reject table (\"_varnholt_rejects\") again, once their cause is fixed: with each batch up to 1,000 of them, oldest first, in the batch's transaction, each deleted from the reject table as it lands. A reading refused again stays there and is not tried again until the plugin starts again",
        "type": "boolean",
        "default": "false",
        "order": "16",
        "displayName": "Replay rejected readings"
    },
    "driver": {
        "description": "Name of Snowflake's ODBC driver as the driver manager knows it (its section in odbcinst.ini); newer installers may register it under another name than SnowflakeDSIIDriver",
        "type": "string",
        "default": "SnowflakeDSIIDriver",
        "order": "17",
        "displayName": "ODBC Driver Name"
    },
    "identifierCase": {
        "description": "How the plugin names the tables and columns it makes for readings. AS_SENT: as the asset and datapoint names are sent; queries must quote them exactly (\"pump1\"). UPPER: in upper case, as Snowflake stores unquoted names, so that SELECT temperature FROM pump1 finds them; names that differ only in case share one table or column. Changing it on a running installation starts new tables",
        "type": "enumeration",
        "default": "AS_SENT",
        "options": ["AS_SENT", "UPPER"],
        "order": "18",
        "displayName": "Table and column names"
    },
    "nestedValues": {
        "description": "Type of a new column made for nested datapoints and float arrays. TEXT: JSON text. VARIANT: a VARIANT column, queried by path (pos:x, spectrum[0]), that takes only valid JSON. Columns that exist are never changed",
        "type": "enumeration",
        "default": "TEXT",
        "options": ["TEXT", "VARIANT"],
        "order": "19",
        "displayName": "Nested values and arrays stored as"
    }
})JSON";
}  // namespace

const char* defaultConfiguration() {
    return DEFAULT_CONFIGURATION;
}
