#!/usr/bin/env bash
# The demo: builds the plugin and the north runner, starts the local Snowflake emulator, delivers
# the sample readings in examples/ through the plugin exactly as the host would, and shows the
# resulting tables.
#
# Usage: demo.sh
# Environment: DEMO_LOG_LEVEL (warning) sets the runner's log level; debug shows every
# statement the plugin sends.
set -euo pipefail

if [[ "${1:-}" == -h || "${1:-}" == --help ]]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

"$root/scripts/install-deps.sh"

build="$root/build"
echo "== building the plugin and the north runner" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target varnholt north_runner >/dev/null

echo "== starting the local Snowflake emulator" >&2
settings="$("$root/scripts/emulator-start.sh")"
eval "$settings"
trap '"$root/scripts/emulator-stop.sh" "$EMULATOR_DIR" >/dev/null 2>&1 || true' EXIT
export ODBCSYSINI

runner="$build/tools/north_runner"
plugin="$build/libvarnholt.so.1"

echo
# The plugin's information record; its default configuration is what --info prints after it.
"$runner" --plugin "$plugin" --info | sed '/^default configuration:/,$d'
echo "configuration: examples/demo-config.json, with the emulator's server, port, database, user and password"
echo
echo "== sending examples/readings.json in batches of 4" >&2
"$runner" --plugin "$plugin" \
    --config "$root/examples/demo-config.json" \
    --set "server=$EMULATOR_HOST" --set "port=$EMULATOR_PORT" \
    --set "schema=$EMULATOR_DATABASE" --set "user=$EMULATOR_USER" \
    --set "password=$EMULATOR_PASSWORD" \
    --readings "$root/examples/readings.json" \
    --batch-size 4 --log-level "${DEMO_LOG_LEVEL:-warning}"

export PGPASSWORD="$EMULATOR_PASSWORD"
psql_args=(-X -q -h "$EMULATOR_HOST" -p "$EMULATOR_PORT" -U "$EMULATOR_USER" -d "$EMULATOR_DATABASE")
tables="$(psql "${psql_args[@]}" -At -c \
    "SELECT table_name FROM information_schema.columns WHERE table_schema = 'TOLVANE'
       AND table_name NOT IN ('_varnholt_ledger', '_varnholt_rejects')
     GROUP BY table_name ORDER BY table_name")"

echo
echo "== tables in the database \"$EMULATOR_DATABASE\", schema TOLVANE"
while IFS= read -r table; do
    [ -n "$table" ] || continue
    echo
    echo "-- \"$table\": columns"
    psql "${psql_args[@]}" -c "SELECT column_name AS column, data_type AS type
        FROM information_schema.columns
        WHERE table_schema = 'TOLVANE' AND table_name = \$\$$table\$\$
        ORDER BY ordinal_position" | sed '/^$/d'
    echo "-- \"$table\": rows"
    psql "${psql_args[@]}" -c "SELECT * FROM \"TOLVANE\".\"${table//\"/\"\"}\" ORDER BY user_ts" \
        | sed '/^$/d'
done <<<"$tables"

echo
echo "== the plugin's own tables"
psql "${psql_args[@]}" -c "SELECT count(*) AS batches_in_the_delivery_ledger, sum(row_count) AS rows
    FROM \"TOLVANE\".\"_varnholt_ledger\"" | sed '/^$/d'
psql "${psql_args[@]}" -c "SELECT count(*) AS rejected_readings FROM \"TOLVANE\".\"_varnholt_rejects\"" \
    | sed '/^$/d'
