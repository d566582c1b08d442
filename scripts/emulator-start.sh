#!/usr/bin/env bash
# Starts a private PostgreSQL 15 cluster that stands in for Snowflake, reached
# through the PostgreSQL ODBC driver registered as "SnowflakeDSIIDriver", so
# that the plugin runs unmodified against it.
#
# Usage: emulator-start.sh [dir]
#   dir  folder for the cluster (created if missing; default: a new temporary
#        folder). Given the folder of an emulator that is already set up, the
#        server is started again on its port with its data, or, if it is
#        running, left alone; either way its settings are printed.
#
# Prints the settings as shell-readable KEY=VALUE lines on stdout and writes
# them to <dir>/env; everything else goes to stderr.
#
# Overrides (environment): EMULATOR_DATABASE (tolvane_db), EMULATOR_USER
# (tolvane), EMULATOR_PASSWORD (secret), EMULATOR_SCHEMA (TOLVANE),
# EMULATOR_OS_USER (account that runs the server when started as root;
# postgres), EMULATOR_PG_BIN (/usr/lib/postgresql/15/bin),
# EMULATOR_ODBC_DRIVER (/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so).
# With EMULATOR_OWNER_PID set, a detached watcher stops the emulator and
# removes its folder once that process is gone, however it ended.
set -euo pipefail

if [[ "${1:-}" == -h || "${1:-}" == --help ]]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi

readonly DRIVER_NAME="SnowflakeDSIIDriver"
readonly MARKER_NAME="emulator.marker"

log() { printf 'emulator-start: %s\n' "$*" >&2; }
die() {
    printf 'emulator-start: error: %s\n' "$*" >&2
    exit 1
}

pg_bin="${EMULATOR_PG_BIN:-/usr/lib/postgresql/15/bin}"
odbc_driver="${EMULATOR_ODBC_DRIVER:-/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so}"
database="${EMULATOR_DATABASE:-tolvane_db}"
db_user="${EMULATOR_USER:-tolvane}"
db_password="${EMULATOR_PASSWORD:-secret}"
db_schema="${EMULATOR_SCHEMA:-TOLVANE}"
host="127.0.0.1"

[[ $# -le 1 ]] || die "usage: $0 [dir]"

for tool in initdb pg_ctl postgres pg_isready psql; do
    [[ -x "$pg_bin/$tool" ]] ||
        die "$pg_bin/$tool not found: install the Debian package postgresql-15 (apt-get install -y postgresql-15)"
done
[[ -r "$odbc_driver" ]] ||
    die "ODBC driver $odbc_driver not found: install the Debian package odbc-postgresql (apt-get install -y odbc-postgresql)"

# Values end up in a connection string and in shell-quoted lines: keep them to
# characters that need no escaping in either.
for pair in "EMULATOR_DATABASE=$database" "EMULATOR_USER=$db_user" "EMULATOR_PASSWORD=$db_password"; do
    [[ "${pair#*=}" =~ ^[A-Za-z0-9_.-]+$ ]] ||
        die "${pair%%=*} must be non-empty and hold only letters, digits, '_', '.' or '-'"
done
[[ "$db_schema" =~ ^[A-Za-z0-9_]+$ ]] || die "EMULATOR_SCHEMA must hold only letters, digits or '_'"

# PostgreSQL refuses to run as root: then the server runs as an unprivileged
# account and owns the folder.
os_user=""
if [[ $(id -u) -eq 0 ]]; then
    os_user="${EMULATOR_OS_USER:-postgres}"
    id -u "$os_user" >/dev/null 2>&1 ||
        die "running as root needs an unprivileged account for the server; '$os_user' does not exist (set EMULATOR_OS_USER or install postgresql-15, which creates 'postgres')"
fi
as_server() {
    if [[ -n "$os_user" ]]; then
        runuser -u "$os_user" -- "$@"
    else
        "$@"
    fi
}

# Single-quotes a value for the env lines.
shell_quote() { printf "'%s'" "${1//\'/\'\\\'\'}"; }

free_port() {
    local port
    if command -v python3 >/dev/null 2>&1 &&
        port=$(python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])' 2>/dev/null); then
        echo "$port"
        return
    fi
    for _ in $(seq 1 200); do
        port=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
    die "no free TCP port found on $host"
}

# A failed first start leaves nothing behind: no server, no folder of ours.
created_dir=""
server_started=false
cleanup_on_failure() {
    local status=$?
    [[ $status -ne 0 ]] || return 0
    if $server_started; then
        as_server "$pg_bin/pg_ctl" -D "$data" -m immediate stop >/dev/null 2>&1 || true
    fi
    if [[ -n "$created_dir" ]]; then
        rm -rf "$created_dir"
    fi
    return $status
}
trap cleanup_on_failure EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

dir="${1:-}"
if [[ -z "$dir" ]]; then
    dir=$(mktemp -d "${TMPDIR:-/tmp}/varnholt-emulator.XXXXXX") || die "cannot create a temporary folder"
    created_dir="$dir"
    touch "$dir/$MARKER_NAME"
else
    mkdir -p "$dir" || die "cannot create $dir"
    dir=$(cd "$dir" && pwd -P)
    if [[ ! -e "$dir/$MARKER_NAME" ]]; then
        [[ -z "$(ls -A "$dir")" ]] || die "$dir is neither empty nor an emulator folder"
        created_dir="$dir"
        touch "$dir/$MARKER_NAME"
    fi
fi
data="$dir/data"
socket_dir="$dir/socket"

if [[ -n "$os_user" ]]; then
    chown "$os_user" "$dir"
    chmod 700 "$dir"
    as_server test -x "$dir" ||
        die "'$os_user' cannot reach $dir: a parent folder is closed to it; choose another folder"
fi

is_running() { as_server "$pg_bin/pg_ctl" -D "$data" status >/dev/null 2>&1; }

write_env() {
    local connection="Driver={$DRIVER_NAME};Server=$host;Port=$port;Database=$database;UID=$db_user;PWD=$db_password;SCHEMA=$db_schema;"
    {
        echo "EMULATOR_DIR=$(shell_quote "$dir")"
        echo "EMULATOR_HOST=$(shell_quote "$host")"
        echo "EMULATOR_PORT=$(shell_quote "$port")"
        echo "EMULATOR_DATABASE=$(shell_quote "$database")"
        echo "EMULATOR_USER=$(shell_quote "$db_user")"
        echo "EMULATOR_PASSWORD=$(shell_quote "$db_password")"
        echo "EMULATOR_SCHEMA=$(shell_quote "$db_schema")"
        echo "EMULATOR_PG_BIN=$(shell_quote "$pg_bin")"
        echo "ODBCSYSINI=$(shell_quote "$dir")"
        echo "EMULATOR_CONNECTION_STRING=$(shell_quote "$connection")"
    } >"$dir/env.tmp"
    mv "$dir/env.tmp" "$dir/env"
}

wait_ready() {
    for _ in $(seq 1 100); do
        if "$pg_bin/pg_isready" -q -h "$host" -p "$port" -d postgres -U postgres; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

start_watcher() {
    [[ -n "${EMULATOR_OWNER_PID:-}" ]] || return 0
    [[ "$EMULATOR_OWNER_PID" =~ ^[0-9]+$ ]] || die "EMULATOR_OWNER_PID must be a process id"
    if [[ -f "$dir/watcher.pid" ]] && kill -0 "$(cat "$dir/watcher.pid")" 2>/dev/null; then
        return 0
    fi
    local stop_script
    stop_script="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)/emulator-stop.sh"
    # Own session and no inherited descriptors: neither a signal to the
    # owner's process group nor a reader waiting for end of output keeps it.
    # shellcheck disable=SC2016
    setsid bash -c 'while kill -0 "$1" 2>/dev/null && [[ -d "$2" ]]; do sleep 1; done
        [[ ! -d "$2" ]] || exec "$3" "$2"' emulator-watcher "$EMULATOR_OWNER_PID" "$dir" "$stop_script" \
        </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/watcher.pid"
}

start_server() {
    # -w waits for the start; the log helps when it does not come up.
    as_server "$pg_bin/pg_ctl" -D "$data" -l "$dir/server.log" -w -t 30 start >/dev/null
}

# An emulator set up earlier: take its settings and make sure it runs.
if [[ -f "$dir/env" && -f "$data/PG_VERSION" ]]; then
    eval "$(grep -E '^EMULATOR_(PORT|DATABASE|USER|PASSWORD|SCHEMA)=' "$dir/env")"
    port="$EMULATOR_PORT"
    database="$EMULATOR_DATABASE"
    db_user="$EMULATOR_USER"
    db_password="$EMULATOR_PASSWORD"
    db_schema="$EMULATOR_SCHEMA"
    if is_running; then
        log "already running in $dir on port $port"
    else
        log "starting the server in $dir again on port $port"
        start_server || die "the server did not start (port $port taken?); see $dir/server.log"
        wait_ready || die "the server does not answer on $host:$port; see $dir/server.log"
    fi
    start_watcher
    cat "$dir/env"
    exit 0
fi

[[ ! -e "$data" ]] || die "$data exists but the emulator in $dir was never set up completely; remove $dir"

log "initialising a cluster in $data"
mkdir -p "$socket_dir"
[[ -z "$os_user" ]] || chown "$os_user" "$socket_dir"
as_server "$pg_bin/initdb" -D "$data" -U postgres --auth=trust --encoding=UTF8 --locale=C.UTF-8 \
    --no-instructions >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2
    die "initdb failed"
}

# The server is private to this folder: loopback only, socket beside the data,
# Snowflake's backslash escapes inside '...' literals, UTC, English messages,
# and no durability work.
started=false
for attempt in 1 2 3 4 5; do
    port=$(free_port)
    as_server tee "$data/emulator.conf" >/dev/null <<EOF
listen_addresses = '$host'
port = $port
unix_socket_directories = '$socket_dir'
standard_conforming_strings = off
escape_string_warning = off
timezone = 'UTC'
log_timezone = 'UTC'
lc_messages = 'C'
max_connections = 50
shared_buffers = 16MB
track_activity_query_size = 1048576
fsync = off
synchronous_commit = off
full_page_writes = off
EOF
    if ! grep -q "^include 'emulator.conf'" "$data/postgresql.conf"; then
        echo "include 'emulator.conf'" | as_server tee -a "$data/postgresql.conf" >/dev/null
    fi
    if start_server && wait_ready; then
        started=true
        server_started=true
        break
    fi
    log "start on port $port failed (attempt $attempt)"
    as_server "$pg_bin/pg_ctl" -D "$data" -m immediate stop >/dev/null 2>&1 || true
done
$started || {
    tail -n 20 "$dir/server.log" >&2 || true
    die "the server did not start; see $dir/server.log"
}

log "preparing database $database for $db_user on port $port"
"$pg_bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$host" -p "$port" -U postgres -d postgres \
    -v db="$database" -v usr="$db_user" -v pw="$db_password" >&2 <<'EOF'
CREATE ROLE :"usr" LOGIN PASSWORD :'pw';
CREATE DATABASE :"db" OWNER :"usr" TEMPLATE template0 ENCODING 'UTF8';
EOF

"$pg_bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$host" -p "$port" -U postgres -d "$database" \
    -v db="$database" -v usr="$db_user" -v sch="$db_schema" >&2 <<'EOF'
SET client_min_messages = warning;
CREATE SCHEMA :"sch" AUTHORIZATION :"usr";
ALTER ROLE :"usr" IN DATABASE :"db" SET search_path = :"sch", public;

-- Snowflake's timestamp types as names that CREATE TABLE accepts.
CREATE DOMAIN public.timestamp_tz AS timestamptz;
CREATE DOMAIN public.timestamp_ntz AS timestamp;
CREATE DOMAIN public.timestamp_ltz AS timestamptz;

-- Snowflake's VARIANT holds any JSON value (information_schema.columns reports it as VARIANT),
-- and PARSE_JSON makes one from JSON text, refusing text that is not JSON.
CREATE DOMAIN public.variant AS jsonb;
CREATE FUNCTION public.parse_json(text) RETURNS public.variant
LANGUAGE sql IMMUTABLE STRICT AS 'SELECT $1::jsonb';

-- Snowflake converts text to the column's type when it inserts the rows of a query, as
-- INSERT INTO t (...) SELECT ... FROM (VALUES ...) does, where a column of quoted or NULL values
-- is text; PostgreSQL converts text only when told to.
CREATE CAST (text AS timestamptz) WITH INOUT AS ASSIGNMENT;
CREATE CAST (text AS timestamp) WITH INOUT AS ASSIGNMENT;
CREATE CAST (text AS date) WITH INOUT AS ASSIGNMENT;
CREATE CAST (text AS bigint) WITH INOUT AS ASSIGNMENT;
CREATE CAST (text AS integer) WITH INOUT AS ASSIGNMENT;
CREATE CAST (text AS smallint) WITH INOUT AS ASSIGNMENT;
CREATE CAST (text AS numeric) WITH INOUT AS ASSIGNMENT;
CREATE CAST (text AS real) WITH INOUT AS ASSIGNMENT;
CREATE CAST (text AS double precision) WITH INOUT AS ASSIGNMENT;
CREATE CAST (text AS boolean) WITH INOUT AS ASSIGNMENT;

-- Snowflake's UUID_STRING(): a new random (version 4) UUID as text, each time it is called.
CREATE FUNCTION public.uuid_string() RETURNS text
LANGUAGE sql VOLATILE AS 'SELECT pg_catalog.gen_random_uuid()::text';

-- Snowflake's session functions, built on PostgreSQL's own: a session is a server process and
-- its id the process id. CURRENT_SESSION() gives it as text, as Snowflake does.
CREATE FUNCTION public.current_session() RETURNS text
LANGUAGE sql STABLE AS 'SELECT pg_catalog.pg_backend_pid()::text';

-- SYSTEM$CANCEL_ALL_QUERIES(id): cancels the running queries of a session of the same user (a
-- user may cancel their own); the cancel takes effect asynchronously, as on Snowflake.
CREATE FUNCTION public."system$cancel_all_queries"(session bigint) RETURNS text
LANGUAGE sql VOLATILE SET search_path = pg_catalog AS $$
SELECT count(*) FILTER (WHERE pg_cancel_backend(pid)) || ' queries terminated.'
  FROM pg_stat_activity
 WHERE pid = session AND usename = current_user AND pid <> pg_backend_pid()
   AND state IN ('active', 'fastpath function call')
$$;

-- database, numbered densely from 1, with Snowflake's type names.
DROP SCHEMA information_schema CASCADE;
CREATE SCHEMA information_schema;
CREATE VIEW information_schema.columns AS
SELECT current_database()::text AS table_catalog,
       n.nspname::text AS table_schema,
       c.relname::text AS table_name,
       a.attname::text AS column_name,
       row_number() OVER (PARTITION BY a.attrelid ORDER BY a.attnum)::integer AS ordinal_position,
       CASE WHEN a.attnotnull THEN 'NO' ELSE 'YES' END AS is_nullable,
       CASE
           WHEN t.typtype = 'd' AND tn.nspname = 'public' AND t.typname = 'timestamp_tz' THEN 'TIMESTAMP_TZ'
           WHEN t.typtype = 'd' AND tn.nspname = 'public' AND t.typname = 'timestamp_ntz' THEN 'TIMESTAMP_NTZ'
           WHEN t.typtype = 'd' AND tn.nspname = 'public' AND t.typname = 'timestamp_ltz' THEN 'TIMESTAMP_LTZ'
           WHEN b.typname IN ('text', 'varchar', 'bpchar', 'char', 'name') THEN 'TEXT'
           WHEN b.typname IN ('int2', 'int4', 'int8', 'numeric') THEN 'NUMBER'
           WHEN b.typname IN ('float4', 'float8') THEN 'FLOAT'
           WHEN b.typname = 'timestamptz' THEN 'TIMESTAMP_TZ'
           WHEN b.typname = 'timestamp' THEN 'TIMESTAMP_NTZ'
           WHEN b.typname = 'bool' THEN 'BOOLEAN'
           WHEN b.typname = 'date' THEN 'DATE'
           WHEN b.typname = 'time' THEN 'TIME'
           WHEN b.typname = 'bytea' THEN 'BINARY'
           WHEN b.typname IN ('json', 'jsonb') THEN 'VARIANT'
           ELSE upper(b.typname::text)
       END AS data_type,
       CASE
           WHEN b.typname IN ('varchar', 'bpchar') AND a.atttypmod > 4 THEN a.atttypmod - 4
           WHEN b.typname IN ('varchar', 'text') THEN 16777216
       END::integer AS character_maximum_length,
       CASE
           WHEN b.typname IN ('int2', 'int4', 'int8') THEN 0
           WHEN b.typname = 'numeric' AND a.atttypmod > 4 THEN (a.atttypmod - 4) & 65535
       END::integer AS numeric_scale
FROM pg_catalog.pg_attribute a
JOIN pg_catalog.pg_class c ON c.oid = a.attrelid
JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace
JOIN pg_catalog.pg_type t ON t.oid = a.atttypid
JOIN pg_catalog.pg_namespace tn ON tn.oid = t.typnamespace
JOIN pg_catalog.pg_type b ON b.oid = CASE WHEN t.typtype = 'd' THEN t.typbasetype ELSE t.oid END
WHERE c.relkind IN ('r', 'p')
  AND a.attnum > 0
  AND NOT a.attisdropped
  AND n.nspname NOT IN ('pg_catalog', 'information_schema', 'pg_toast', 'emulator')
  AND n.nspname NOT LIKE 'pg_temp_%'
  AND n.nspname NOT LIKE 'pg_toast_temp_%';
GRANT USAGE ON SCHEMA information_schema TO PUBLIC;
GRANT SELECT ON information_schema.columns TO PUBLIC;

-- Snowflake's query history of a session and of a user, from pg_stat_activity: a process that
-- runs a query shows it RUNNING; its last query once it is idle (SUCCESS, or FAILED_WITH_ERROR
-- in a failed transaction); a process that ended shows nothing. Only the user's own sessions,
-- as Snowflake shows them. Called without Snowflake's TABLE(...), which PostgreSQL cannot read.
CREATE FUNCTION information_schema.query_history_by_session(
    session_id bigint DEFAULT pg_catalog.pg_backend_pid(), result_limit integer DEFAULT 100)
RETURNS TABLE (query_id text, query_text text, execution_status text, start_time timestamptz)
LANGUAGE sql STABLE SET search_path = pg_catalog AS $$
SELECT a.pid || '-' || extract(epoch FROM a.query_start), a.query,
       CASE WHEN a.state IN ('active', 'fastpath function call') THEN 'RUNNING'
            WHEN a.state = 'idle in transaction (aborted)' THEN 'FAILED_WITH_ERROR'
            ELSE 'SUCCESS' END,
       a.query_start
  FROM pg_stat_activity a
 WHERE a.pid = $1 AND a.usename = current_user
 LIMIT $2
$$;
CREATE FUNCTION information_schema.query_history_by_user(
    user_name text DEFAULT current_user, result_limit integer DEFAULT 100)
RETURNS TABLE (query_id text, query_text text, session_id bigint, execution_status text,
               start_time timestamptz)
LANGUAGE sql STABLE SET search_path = pg_catalog AS $$
SELECT a.pid || '-' || extract(epoch FROM a.query_start), a.query, a.pid::bigint,
       CASE WHEN a.state IN ('active', 'fastpath function call') THEN 'RUNNING'
            WHEN a.state = 'idle in transaction (aborted)' THEN 'FAILED_WITH_ERROR'
            ELSE 'SUCCESS' END,
       a.query_start
  FROM pg_stat_activity a
 WHERE a.usename = $1 AND $1 = current_user AND a.backend_type = 'client backend'
 ORDER BY a.query_start DESC
 LIMIT $2
$$;
GRANT EXECUTE ON FUNCTION information_schema.query_history_by_session(bigint, integer) TO PUBLIC;
GRANT EXECUTE ON FUNCTION information_schema.query_history_by_user(text, integer) TO PUBLIC;

-- Snowflake's REAL, FLOAT and DOUBLE are all 64-bit: every float4 column a CREATE TABLE or
-- ALTER TABLE makes is float8 by the time the command returns. (The ALTER TABLE issued here
-- fires the trigger once more and finds nothing left to widen.)
CREATE FUNCTION public.emulator_widen_float4() RETURNS event_trigger
LANGUAGE plpgsql SET search_path = pg_catalog AS $$
DECLARE
    command record;
    clauses text;
BEGIN
    FOR command IN SELECT DISTINCT objid FROM pg_event_trigger_ddl_commands()
                   WHERE object_type = 'table' LOOP
        SELECT string_agg(format('ALTER COLUMN %I TYPE float8', attname), ', ' ORDER BY attnum)
          INTO clauses
          FROM pg_attribute
         WHERE attrelid = command.objid AND attnum > 0 AND NOT attisdropped
           AND atttypid = 'float4'::regtype;
        IF clauses IS NOT NULL THEN
            EXECUTE format('ALTER TABLE %s %s', command.objid::regclass, clauses);
        END IF;
    END LOOP;
END
$$;
CREATE EVENT TRIGGER emulator_widen_float4 ON ddl_command_end
    WHEN TAG IN ('CREATE TABLE', 'CREATE TABLE AS', 'SELECT INTO', 'ALTER TABLE')
    EXECUTE FUNCTION public.emulator_widen_float4();

-- Snowflake's limits on one statement: at most 16,384 rows in a VALUES list and about 1 MiB
-- of text, which holds for a whole request of several statements too. Every table created in
-- the plugin's schema gets a statement-level trigger that refuses an INSERT beyond either
-- (counting the statement's rows, and the bytes of the request that carried it) and notes
-- each INSERT it lets through in emulator.insert_log, for the tests. The schema emulator is
-- left out of information_schema.columns.
CREATE SCHEMA emulator;
GRANT USAGE ON SCHEMA emulator TO PUBLIC;
CREATE TABLE emulator.insert_log (
    id bigserial PRIMARY KEY,
    table_schema text NOT NULL,
    table_name text NOT NULL,
    row_count bigint NOT NULL,
    request_bytes bigint NOT NULL
);
GRANT SELECT ON emulator.insert_log TO PUBLIC;
CREATE FUNCTION emulator.statement_limits() RETURNS trigger
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog AS $$
DECLARE
    row_count bigint;
    request text := current_query();
    request_bytes bigint;
BEGIN
    -- psqlODBC opens a transaction by putting "BEGIN;" before the first request in it, and
    -- puts each later one behind a savepoint (releasing the one before) so that a failed
    -- statement takes back only itself, as Snowflake does. The Snowflake driver sends no such
    -- text, so it does not count.
    request := regexp_replace(request,
        '^(BEGIN;|RELEASE _EXEC_SVP_[0-9A-Za-z_]+;|SAVEPOINT _EXEC_SVP_[0-9A-Za-z_]+;)+', '');
    request_bytes := octet_length(request);
    SELECT count(*) INTO row_count FROM new_rows;
    IF row_count > 16384 THEN
        RAISE EXCEPTION USING ERRCODE = '42601',
            MESSAGE = 'maximum number of expressions in a list exceeded, expected at most 16,384, got '
                      || to_char(row_count, 'FM999,999,999,999');
    END IF;
    IF request_bytes > 1048576 THEN
        RAISE EXCEPTION USING ERRCODE = '42601',
            MESSAGE = 'maximum statement size exceeded, expected at most 1,048,576 bytes, got '
                      || to_char(request_bytes, 'FM999,999,999,999');
    END IF;
    INSERT INTO emulator.insert_log (table_schema, table_name, row_count, request_bytes)
    VALUES (TG_TABLE_SCHEMA, TG_TABLE_NAME, row_count, request_bytes);
    RETURN NULL;
END
$$;
SELECT format($function$
CREATE FUNCTION emulator.add_statement_limits() RETURNS event_trigger
LANGUAGE plpgsql SET search_path = pg_catalog AS $$
DECLARE
    command record;
BEGIN
    FOR command IN SELECT DISTINCT objid FROM pg_event_trigger_ddl_commands()
                   WHERE object_type = 'table' AND schema_name = %L
                     AND command_tag IN ('CREATE TABLE', 'CREATE TABLE AS', 'SELECT INTO') LOOP
        EXECUTE format('CREATE TRIGGER snowflake_statement_limits AFTER INSERT ON %%s'
                       ' REFERENCING NEW TABLE AS new_rows FOR EACH STATEMENT'
                       ' EXECUTE FUNCTION emulator.statement_limits()', command.objid::regclass);
    END LOOP;
END
$$
$function$, :'sch') \gexec
CREATE EVENT TRIGGER emulator_add_statement_limits ON ddl_command_end
    WHEN TAG IN ('CREATE TABLE', 'CREATE TABLE AS', 'SELECT INTO')
    EXECUTE FUNCTION emulator.add_statement_limits();
EOF

# As Snowflake does, the login role's password is checked on TCP connections, so
# that a wrong one fails at login; the superuser, used only by these scripts and
# tests for set-up, stays trusted.
as_server tee "$data/pg_hba.conf" >/dev/null <<EOF
local all all trust
host all postgres $host/32 trust
host all all $host/32 scram-sha-256
EOF
as_server "$pg_bin/pg_ctl" -D "$data" reload >/dev/null

# The driver manager finds the driver through this file once ODBCSYSINI points
# at the folder. The driver reads its own options from the section named as
# the connection string's Driver key is written, braces included. With these
# options text comes back as VARCHAR of its declared size (unbounded text as
# up to 16 MB, Snowflake's maximum) instead of LONGVARCHAR of 8190 bytes, and
# line ends are left alone.
driver_options="TextAsLongVarchar = 0
UnknownsAsLongVarchar = 0
MaxVarcharSize = 16777216
MaxLongVarcharSize = 16777216
LFConversion = 0
UseDeclareFetch = 0
CommLog = 0
Debug = 0"
cat >"$dir/odbcinst.ini" <<EOF
[$DRIVER_NAME]
Description = PostgreSQL ODBC driver standing in for Snowflake
Driver = $odbc_driver
$driver_options

[{$DRIVER_NAME}]
$driver_options
EOF
: >"$dir/odbc.ini"

write_env
start_watcher
log "ready on $host:$port (folder $dir)"
cat "$dir/env"
