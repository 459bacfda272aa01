#!/bin/bash
# The report server's load benchmarks, each on a fresh database:
#   keepalive  10,000 keep-alive clients, each posting a report every 5 s
#              (2,000 reports/s) for 60 s, on SQLite
#   max        64 clients posting as fast as answered, 20 s each: SQLite,
#              PostgreSQL, and two instances on one PostgreSQL behind HAProxy
#   tls        64 clients posting as fast as answered, 20 s each, on SQLite:
#              plain HTTP, then HTTPS (throwaway certificates)
# Prints the load generator's figures (latency, errors, stored = answered)
# and each server's peak resident memory and CPU time. PostgreSQL is a
# throwaway one (tools/throwaway-postgresql.sh) in the build folder.
# All clients come from 127.0.0.1, so the per-address limits are lifted.
# usage: bench/server/run-benchmarks.sh [BUILD_DIR] [keepalive|max|tls|all]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-$root/build/native}")
which=${2:-all}
server=$build/server/tidemark-server
load=$build/bench/server/server_report_load
[ -x "$server" ] && [ -x "$load" ] || { echo "build tidemark-server and server_report_load in $build first" >&2; exit 2; }
work=$(mktemp -d /tmp/tidemark-bench.XXXXXX)
pg_folder=$build/bench/server/throwaway-postgresql
pids=()
proxy_pid=

cleanup() {
    for pid in "${pids[@]}" $proxy_pid; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    "$root/tools/throwaway-postgresql.sh" stop "$pg_folder" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

. "$root/bench/server/free_port.sh"

# A trusted proxy has no per-address connection cap (a cap given as a number
# stays at a quarter of all connections).
unlimited=(--trusted-proxy 127.0.0.1 --registration-burst 1000000 --registrations-per-minute 1000000
           --reports-per-second 1000000 --report-burst 1000000)

start_server() {  # database port [extra flags]
    local database=$1 port=$2; shift 2
    "$server" --port "$port" --database "$database" "${unlimited[@]}" "$@" >"$work/server-$port.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
        sleep 0.05
    done
    echo "the server did not start:" >&2; cat "$work/server-$port.log" >&2; exit 1
}

cpu_seconds() { awk '{ printf "%.1f", ($14 + $15) / 100 }' "/proc/$1/stat"; }

# Samples the peak resident memory of the servers while the load runs.
run_load() {  # label database load-args...
    local label=$1 database=$2; shift 2
    local -A cpu_before peak
    local pid
    for pid in "${pids[@]}"; do cpu_before[$pid]=$(cpu_seconds "$pid"); peak[$pid]=0; done
    "$load" --database "$database" "$@" >"$work/load.txt" 2>&1 &
    local load_pid=$!
    while kill -0 "$load_pid" 2>/dev/null; do
        for pid in "${pids[@]}"; do
            local rss; rss=$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")
            [ "${rss:-0}" -gt "${peak[$pid]}" ] && peak[$pid]=$rss
        done
        sleep 0.5
    done
    wait "$load_pid"; local rc=$?
    echo "=== $label"
    cat "$work/load.txt"
    for pid in "${pids[@]}"; do
        echo "server $pid: peak RSS $((peak[$pid] / 1024)) MiB, CPU $(awk -v a="$(cpu_seconds "$pid")" -v b="${cpu_before[$pid]}" 'BEGIN { printf "%.1f", a - b }') s"
    done
    [ "$rc" -eq 0 ] && echo "result: PASS" || echo "result: FAIL (exit $rc)"
}

stop_servers() {
    for pid in "${pids[@]}" $proxy_pid; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    pids=(); proxy_pid=
}

fresh_pg_database() {  # name -> address
    local base; base=$(cat "$pg_folder/url")
    PGOPTIONS="-c client_min_messages=warning" psql -q "$base" -c "DROP DATABASE IF EXISTS $1 WITH (FORCE)" -c "CREATE DATABASE $1" >/dev/null
    echo "${base%/*}/$1"
}

if [ "$which" = keepalive ] || [ "$which" = all ]; then
    port=$(free_port)
    start_server "$work/keepalive.sqlite3" "$port"
    # KEEPALIVE_CLIENTS scales the run down for a machine busy with other
    # work, where the load generator could not keep the pace of 10,000.
    clients=${KEEPALIVE_CLIENTS:-10000}
    run_load "$clients keep-alive clients, a report every 5 s each, 60 s, SQLite" "$work/keepalive.sqlite3" \
        --port "$port" --clients "$clients" --interval-ms 5000 --seconds 60
    stop_servers
fi

if [ "$which" = max ] || [ "$which" = all ]; then
    port=$(free_port)
    start_server "$work/max.sqlite3" "$port"
    run_load "64 clients, closed loop, 20 s, SQLite" "$work/max.sqlite3" --port "$port" --clients 64 --seconds 20
    stop_servers

    "$root/tools/throwaway-postgresql.sh" start "$pg_folder" >/dev/null || exit 1
    database=$(fresh_pg_database bench_one)
    port=$(free_port)
    start_server "$database" "$port"
    run_load "64 clients, closed loop, 20 s, PostgreSQL" "$database" --port "$port" --clients 64 --seconds 20
    stop_servers

    database=$(fresh_pg_database bench_two)
    port1=$(free_port); start_server "$database" "$port1" --trusted-proxy 127.0.0.1
    port2=$(free_port); start_server "$database" "$port2" --trusted-proxy 127.0.0.1
    proxy_port=$(free_port)
    cat >"$work/haproxy.cfg" <<CFG
global
    maxconn 4096
defaults
    mode http
    option forwardfor
    timeout connect 2s
    timeout client 30s
    timeout server 30s
    timeout http-request 5s
    timeout http-keep-alive 5s
frontend fe
    bind 127.0.0.1:$proxy_port
    default_backend servers
backend servers
    balance roundrobin
    server s1 127.0.0.1:$port1
    server s2 127.0.0.1:$port2
CFG
    haproxy -db -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1 &
    proxy_pid=$!
    sleep 0.5
    run_load "64 clients, closed loop, 20 s, two instances on one PostgreSQL behind HAProxy" "$database" \
        --port "$proxy_port" --clients 64 --seconds 20
    stop_servers
fi

if [ "$which" = tls ] || [ "$which" = all ]; then
    "$root/tools/make-test-certificates.sh" "$work/certs" || exit 1
    port=$(free_port)
    start_server "$work/plain.sqlite3" "$port"
    run_load "64 clients, closed loop, 20 s, SQLite, plain HTTP" "$work/plain.sqlite3" --port "$port" --clients 64 --seconds 20
    stop_servers
    port=$(free_port)
    start_server "$work/tls.sqlite3" "$port" --tls-certificate "$work/certs/server.pem" --tls-key "$work/certs/server.key"
    run_load "64 clients, closed loop, 20 s, SQLite, HTTPS" "$work/tls.sqlite3" --port "$port" --clients 64 --seconds 20 \
        --tls-ca "$work/certs/ca.pem"
    stop_servers
fi
