#!/bin/bash
# Runs one of the Wine benchmarks of a Windows build (bench/capture/NAME.exe)
# under Wine inside the loopback test server, with a persistent wineserver
# whose Linux process id it passes on in TIDEMARK_BENCH_WINESERVER_PID.
# usage: run_wine_bench.sh BUILD_DIR NAME [arguments of the benchmark]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
bench=$build/bench/capture/$2.exe
shift 2
prefix=$build/wineprefix
# Creates the prefix on first use, then keeps one wineserver for it.
if [ ! -f "$prefix/.tidemark-ready" ]; then
    "$root/tools/wine-run.sh" "$prefix" cmd /c exit >/dev/null 2>&1 || true
    WINEPREFIX=$prefix wineserver -w
fi
WINEPREFIX=$prefix wineserver -p 2>/dev/null || true  # already running is fine
# The server of a prefix works in a folder named after the prefix's device
# and inode.
server_dir=$(printf 'server-%x-%x' $(stat -c '%d %i' "$prefix"))
# A server just started may not have gone into that folder yet.
server_pid=
for attempt in $(seq 50); do
    for pid in $(pgrep wineserver); do
        case $(readlink "/proc/$pid/cwd") in
            */"$server_dir") server_pid=$pid; break ;;
        esac
    done
    [ -n "$server_pid" ] && break
    sleep 0.1
done
export TIDEMARK_BENCH_WINESERVER_PID=$server_pid
out=$(mktemp)
python3 "$root/tools/testserver/http_test_server.py" --run -- \
    "$root/tools/wine-run.sh" "$prefix" "$bench" "$@" >"$out" 2>&1 && status=0 || status=$?
cat "$out"
rm -f "$out"
exit $status
