#!/bin/bash
# Downloads that must not hurt others (issue 25, fault 1), on a fresh
# database per store: one player of 1,500 lines of 250,000 bytes (stored
# straight into the database), then other players' reports alone (300
# keep-alive clients, one report a second each, 30 s), then the same while
# that player's CSV is downloaded 8 times at once (each read as fast as it
# comes, from 8 addresses) and one more download that is never read starts
# every 0.5 s for 30 s (from other addresses), then alone again (the
# machine may have changed meanwhile). Prints the reports' figures of the
# three runs, the downloads' outcome and the server's peak resident
# memory. PostgreSQL is a throwaway one in the build folder.
# usage: bench/server/download-bench.sh [BUILD_DIR] [sqlite|postgresql|both] [-- SERVER_FLAGS...]
#   SERVER=path runs that server program instead of BUILD_DIR's (an older build).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-$root/build/native}")
which=${2:-both}
shift $(( $# < 2 ? $# : 2 ))
[ "${1:-}" = "--" ] && shift
extra=("$@")
server=${SERVER:-$build/server/tidemark-server}
load=$build/bench/server/server_report_load
downloads=$build/bench/server/server_download_load
[ -x "$server" ] && [ -x "$load" ] && [ -x "$downloads" ] ||
    { echo "build tidemark-server, server_report_load and server_download_load in $build first" >&2; exit 2; }
work=$(mktemp -d /tmp/tidemark-download-bench.XXXXXX)
pg_folder=$build/bench/server/throwaway-postgresql
server_pid=

cleanup() {
    [ -n "$server_pid" ] && { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }
    [ -f "$pg_folder/url" ] && "$root/tools/throwaway-postgresql.sh" stop "$pg_folder" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

. "$root/bench/server/free_port.sh"

# The reports' clients all come from 127.0.0.1: a trusted proxy, so that
# their per-address limits are lifted; the downloads come from other
# loopback addresses and meet the server's own limits.
unlimited=(--trusted-proxy 127.0.0.1 --registration-burst 1000000 --registrations-per-minute 1000000
           --reports-per-second 1000000 --report-burst 1000000)

peak_rss() {  # pid command... : runs the command, prints the pid's peak RSS in MiB
    local pid=$1; shift
    "$@" &
    local job=$! most=0 rss
    while kill -0 "$job" 2>/dev/null; do
        rss=$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
        [ "${rss:-0}" -gt "$most" ] && most=$rss
        sleep 0.2
    done
    wait "$job"
    echo "server peak RSS $((most / 1024)) MiB"
}

run_store() {  # label database
    local label=$1 database=$2 port token
    echo "=== $label: $server ${extra[*]}"
    token=$("$downloads" fill "$database" 1500 250000) || { echo "fill failed" >&2; exit 1; }
    port=$(free_port)
    "$server" --port "$port" --database "$database" "${unlimited[@]}" "${extra[@]}" >"$work/server.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.05; done
    local cpu0; cpu0=$(awk '{ print $14 + $15 }' "/proc/$server_pid/stat")
    echo "--- other players' reports alone"
    peak_rss "$server_pid" "$load" --port "$port" --clients 300 --interval-ms 1000 --seconds 30
    echo "--- the same with the downloads"
    "$load" --port "$port" --clients 300 --interval-ms 1000 --seconds 30 >"$work/load.txt" 2>&1 &
    local load_pid=$!
    "$downloads" attack --port "$port" --token "$token" --downloads 8 --unread-every-ms 500 --seconds 30 \
        --server-pid "$server_pid"
    wait "$load_pid"
    cat "$work/load.txt"
    # The machine may have changed meanwhile: the first run once more.
    echo "--- other players' reports alone, again"
    "$load" --port "$port" --clients 300 --interval-ms 1000 --seconds 30
    echo "server CPU for the three runs: $(awk -v a="$cpu0" '{ printf "%.1f", ($14 + $15 - a) / 100 }' "/proc/$server_pid/stat") s"
    kill "$server_pid"; wait "$server_pid" 2>/dev/null; server_pid=
}

if [ "$which" = sqlite ] || [ "$which" = both ]; then
    run_store "SQLite" "$work/downloads.sqlite3"
fi
if [ "$which" = postgresql ] || [ "$which" = both ]; then
    "$root/tools/throwaway-postgresql.sh" start "$pg_folder" >/dev/null || exit 1
    base=$(cat "$pg_folder/url")
    PGOPTIONS="-c client_min_messages=warning" psql -q "$base" -c "DROP DATABASE IF EXISTS bench_downloads WITH (FORCE)" \
        -c "CREATE DATABASE bench_downloads" >/dev/null
    run_store "PostgreSQL" "${base%/*}/bench_downloads"
fi
