#!/bin/bash
# Runs monitor_wine_bench.exe of a Windows build under Wine inside the
# loopback test server, with a persistent wineserver whose CPU use it reports.
# usage: run_monitor_bench.sh BUILD_DIR [idle seconds] [lines]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd); shift
prefix=$build/wineprefix
bench=$build/bench/capture/monitor_wine_bench.exe
# Creates the prefix on first use, then keeps one wineserver for it.
if [ ! -f "$prefix/.tidemark-ready" ]; then
    "$root/tools/wine-run.sh" "$prefix" cmd /c exit >/dev/null 2>&1 || true
    WINEPREFIX=$prefix wineserver -w
fi
WINEPREFIX=$prefix wineserver -p 2>/dev/null || true  # already running is fine
# The server of a prefix works in a folder named after the prefix's device
# and inode.
server_dir=$(printf 'server-%x-%x' $(stat -c '%d %i' "$prefix"))
server_pid=
for pid in $(pgrep wineserver); do
    case $(readlink "/proc/$pid/cwd") in
        */"$server_dir") server_pid=$pid; break ;;
    esac
done
export TIDEMARK_BENCH_WINESERVER_PID=$server_pid
out=$(mktemp)
python3 "$root/tools/testserver/http_test_server.py" --run -- \
    "$root/tools/wine-run.sh" "$prefix" "$bench" "$@" >"$out" 2>&1 && status=0 || status=$?
cat "$out"
rm -f "$out"
exit $status
