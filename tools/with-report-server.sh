#!/bin/bash
# Runs a program beside the bundled report server (the native build's
# tidemark-server) on a free loopback port with a fresh database, and hands
# the port and database over in TIDEMARK_REPORT_SERVER_PORT and
# TIDEMARK_REPORT_SERVER_DB. Without the server program (the native
# configuration not built yet) the program runs without them; tests that need
# the server then skip.
# usage: with-report-server.sh SERVER_PROGRAM -- PROGRAM [ARGS...]
set -uo pipefail
server=$1; shift
[ "${1:-}" = -- ] && shift
if [ ! -x "$server" ]; then
    exec "$@"
fi

folder=$(mktemp -d /tmp/tidemark-report-server.XXXXXX)
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill -TERM "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    rm -rf "$folder"
}
trap cleanup EXIT

answers() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

for attempt in $(seq 20); do
    port=$((18000 + RANDOM % 1000))
    answers "$port" && continue
    "$server" --address 127.0.0.1 --port "$port" --database "$folder/reports.sqlite3" \
        >"$folder/server.log" 2>&1 &
    server_pid=$!
    for i in $(seq 100); do
        answers "$port" && break 2
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.05
    done
    # It lost the port to someone else, or did not start: try another.
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=
done
if [ -z "$server_pid" ]; then
    echo "with-report-server: the report server did not start:" >&2
    cat "$folder/server.log" >&2
    exit 1
fi

export TIDEMARK_REPORT_SERVER_PORT=$port TIDEMARK_REPORT_SERVER_DB=$folder/reports.sqlite3
"$@"
status=$?
# A server that did not end cleanly (a sanitizer's report in a sanitized
# build) fails the test that drove it, with its log.
kill -TERM "$server_pid" 2>/dev/null
wait "$server_pid"
server_status=$?
server_pid=
if [ "$server_status" -ne 0 ]; then
    echo "with-report-server: the report server ended with status $server_status:" >&2
    cat "$folder/server.log" >&2
    [ "$status" -eq 0 ] && status=1
fi
exit "$status"
