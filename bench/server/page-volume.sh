#!/bin/bash
# The player's page at volume: one player of 1,000,000 lines among 100,000
# players, on SQLite and on a throwaway PostgreSQL. For each server given
# (a build folder; several to compare builds in one sitting): page 1, the
# last page (by its link's key and by its number), a pattern filter, a
# 100-byte search, a search every line holds and one on a one-line page
# (p50/p99 of REPEAT each), then other players' reports (20 clients, 10 a second each, 20 s)
# without and with 4 clients looping the search.
# usage: bench/server/page-volume.sh TOOLS_BUILD_DIR SERVER_BUILD_DIR... [-- sqlite|postgresql]
# TOOLS_BUILD_DIR has server_page_volume and server_report_load.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tools=$(realpath -m "$1"); shift
builds=(); stores=(sqlite postgresql)
while [ $# -gt 0 ]; do
    [ "$1" = -- ] && { shift; stores=("$@"); break; }
    builds+=("$(realpath -m "$1")"); shift
done
volume=$tools/bench/server/server_page_volume
load=$tools/bench/server/server_report_load
repeat=${REPEAT:-100}
work=$(mktemp -d /tmp/tidemark-pages.XXXXXX)
pg_folder=$tools/bench/server/throwaway-postgresql-pages
server_pid=

cleanup() {
    [ -n "$server_pid" ] && { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }
    "$root/tools/throwaway-postgresql.sh" stop "$pg_folder" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

. "$root/bench/server/free_port.sh"

start_server() {  # build database port
    local flags=(--trusted-proxy 127.0.0.1 --registration-burst 1000000 --registrations-per-minute 1000000
                 --reports-per-second 1000000 --report-burst 1000000)
    # Builds that limit page views: lifted too (every client is 127.0.0.1).
    "$1/server/tidemark-server" --help | grep -q -- --page-burst &&
        flags+=(--pages-per-second 1000000 --page-burst 1000000 --address-pages-per-second 1000000
                --address-page-burst 1000000)
    "$1/server/tidemark-server" --port "$3" --database "$2" "${flags[@]}" >"$work/server.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 200); do
        (exec 3<>"/dev/tcp/127.0.0.1/$3") 2>/dev/null && return 0
        sleep 0.05
    done
    echo "the server did not start:" >&2; cat "$work/server.log" >&2; exit 1
}

stop_server() { kill "$server_pid"; wait "$server_pid" 2>/dev/null; server_pid=; }

fresh_database() {  # store name -> address
    if [ "$1" = sqlite ]; then echo "$work/$2.sqlite3"; return; fi
    local base; base=$(cat "$pg_folder/url")
    PGOPTIONS="-c client_min_messages=warning" psql -q "$base" -c "DROP DATABASE IF EXISTS $2 WITH (FORCE)" \
        -c "CREATE DATABASE $2" >/dev/null
    echo "${base%/*}/$2"
}

reports() {  # port label
    "$load" --port "$1" --clients 20 --interval-ms 100 --seconds 20 >"$work/load.txt" 2>&1
    echo "  other players' reports, $2: $(grep -E 'answered 200|latency' "$work/load.txt" | tr '\n' ' ')"
}

for store in "${stores[@]}"; do
    [ "$store" = postgresql ] && { "$root/tools/throwaway-postgresql.sh" start "$pg_folder" >/dev/null || exit 1; }
    n=0
    for build in "${builds[@]}"; do
        n=$((n + 1))
        database=$(fresh_database "$store" "pages_$n")
        port=$(free_port)
        start_server "$build" "$database" "$port"; stop_server  # its schema
        start=$(date +%s)
        "$volume" load "$database" || exit 1
        start_server "$build" "$database" "$port"
        echo "=== $store, $build (loaded in $(( $(date +%s) - start )) s; load average $(cut -d' ' -f1-3 /proc/loadavg))"
        "$volume" time "$port" "$repeat" || echo "  (some reads failed)"
        reports "$port" "alone"
        "$volume" search "$port" 4 24 >"$work/search.txt" 2>&1 &
        searching=$!
        sleep 2
        reports "$port" "with 4 clients looping the search"
        wait "$searching"; cat "$work/search.txt"
        echo "  load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
        stop_server
        [ "$store" = sqlite ] && rm -f "$database"*
    done
done
