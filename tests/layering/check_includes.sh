#!/bin/sh
# Fails when a source folder includes a header of a folder above it. The folders from the
# bottom up; those on one line are beside each other and may include each other.
set -u
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}

rank() {
    case $1 in
        host) echo 0 ;;
        config) echo 1 ;;
        client) echo 2 ;;
        sql) echo 3 ;;
        mapping) echo 4 ;;
        schema) echo 5 ;;
        delivery) echo 6 ;;
        connector) echo 7 ;;
        plugin | tools) echo 8 ;;
        *) echo "" ;;
    esac
}

status=0
for folder in host config client sql mapping schema delivery connector plugin tools; do
    own=$(rank "$folder")
    for file in "$root/$folder"/*.h "$root/$folder"/*.cpp; do
        [ -f "$file" ] || continue
        for included in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file"); do
            target=$(rank "${included%%/*}")
            case $included in */*) ;; *) target="" ;; esac
            if [ -n "$target" ] && [ "$target" -gt "$own" ]; then
                echo "$folder/${file##*/} includes $included, a folder above its own"
                status=1
            fi
        done
    done
done
[ $status -eq 0 ] && echo "no folder includes one above it"
exit $status
