#!/bin/bash
# Connections held by dripping heads (issue 25, fault 2), at the server's
# default settings (16,000 connections, 256 per address): 64 addresses x
# 256 connections each send a byte of a request line every 5 s and never
# finish it (opened again whenever the server closes one), and a new client
# on another address then asks 100 times, 200 ms apart. Prints how many of
# its tries were answered within 1 s, and the server's peak resident memory
# and CPU time. The store does not matter here: SQLite.
# usage: bench/server/drip-bench.sh [BUILD_DIR] [-- SERVER_FLAGS...]
#   SERVER=path runs that server program instead of BUILD_DIR's (an older build).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-$root/build/native}")
shift $(( $# < 1 ? $# : 1 ))
[ "${1:-}" = "--" ] && shift
server=${SERVER:-$build/server/tidemark-server}
drip=$build/bench/server/server_drip_load
[ -x "$server" ] && [ -x "$drip" ] || { echo "build tidemark-server and server_drip_load in $build first" >&2; exit 2; }
work=$(mktemp -d /tmp/tidemark-drip-bench.XXXXXX)
server_pid=
cleanup() {
    [ -n "$server_pid" ] && { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
. "$root/bench/server/free_port.sh"

port=$(free_port)
"$server" --port "$port" --database "$work/drip.sqlite3" "$@" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.05; done
echo "=== drip at the default settings: $server $*"
grep -o 'max_connections=[0-9]* max_connections_per_address=[0-9]*' "$work/server.log"
cpu0=$(awk '{ print $14 + $15 }' "/proc/$server_pid/stat")
"$drip" --port "$port" --addresses 64 --per-address 256 --drip-ms 5000 --settle-s 12 --tries 100 &
drip_pid=$!
most=0
while kill -0 "$drip_pid" 2>/dev/null; do
    rss=$(awk '/VmRSS/ { print $2 }' "/proc/$server_pid/status" 2>/dev/null)
    [ "${rss:-0}" -gt "$most" ] && most=$rss
    sleep 0.5
done
wait "$drip_pid"; rc=$?
echo "server: peak RSS $((most / 1024)) MiB, CPU $(awk -v a="$cpu0" '{ printf "%.1f", ($14 + $15 - a) / 100 }' "/proc/$server_pid/stat") s"
[ "$rc" -eq 0 ] && echo "result: PASS (every try answered within 1 s)" || echo "result: FAIL"
