#!/bin/bash
# The soak: Tidemark.exe under Wine against the bundled report server behind
# a fault-injecting proxy, beside the game simulator, for MINUTES minutes,
# then the server's rows checked against the lines the game wrote.
#
#   bench/soak/run-soak.sh MINUTES [SEED]
#
# SEED (default: drawn and printed) fixes the faults' plan; the same seed
# gives the same plan. Output and files: build/soak/run-SEED-<time>/
# (events.jsonl, plan.json, reports.sqlite3, logs, summary.json). Exit code 0
# when nothing was lost, doubled, out of order or in the wrong language.
#
# Environment:
#   SOAK_JOBS           build jobs (default 2)
#   SOAK_PROXY_PORT     the port Tidemark.exe is built for, where the proxy listens (default 18677)
#   SOAK_SERVER_PORT    the report server's port behind it (default: a free one)
#   SOAK_DISPLAY        first X display number to try for the private Xvfb (default 87)
#   SOAK_GAME_ARGS      extra arguments for every game simulator start
#   SOAK_GAME_VARIANTS  ';'-separated argument sets, one per game start in turn
#                       (default: found in tools/gamesim/README.md, see README.md)
#   SOAK_NO_REFUSE=1    no report that the server refuses every time
#   SOAK_NO_BUILD=1     use the programs already built
set -euo pipefail

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+([.][0-9]+)?$ ]]; then
    sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
fi
minutes=$1
seed=${2:-$(( $(od -An -N4 -tu4 /dev/urandom) % 1000000 ))}

root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
here=$root/bench/soak
jobs=${SOAK_JOBS:-2}
proxy_port=${SOAK_PROXY_PORT:-18677}
native=$root/build/soak-native
windows=$root/build/soak-windows
prefix=$root/build/soak/wineprefix
run=$root/build/soak/run-$seed-$(date -u +%Y%m%dT%H%M%S)
mkdir -p "$run"

say() { printf '[soak] %s\n' "$*"; }
fail() { printf '[soak] %s\n' "$*" >&2; exit 1; }

say "seed $seed (replay: bench/soak/run-soak.sh $minutes $seed); files in $run"

export CCACHE_BASEDIR=${CCACHE_BASEDIR:-/work} CCACHE_DIR=${CCACHE_DIR:-/work/.ccache}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
if [ "${SOAK_NO_BUILD:-0}" != 1 ]; then
    say "building the report server and, for 127.0.0.1:$proxy_port, Tidemark.exe, the game simulator and uidriver"
    cmake --preset native -B "$native" "${launcher[@]}" >"$run/build.log" 2>&1 &&
        cmake --build "$native" -j "$jobs" --target tidemark-server >>"$run/build.log" 2>&1 ||
        fail "building the report server failed: see $run/build.log"
    cmake --preset windows -B "$windows" -DTIDEMARK_SERVER_HOST=127.0.0.1 -DTIDEMARK_SERVER_PORT="$proxy_port" \
        "${launcher[@]}" >>"$run/build.log" 2>&1 &&
        cmake --build "$windows" -j "$jobs" --target gamesim uidriver Tidemark >>"$run/build.log" 2>&1 ||
        fail "building the Windows programs failed: see $run/build.log"
fi
program=$(find "$windows" -path "$windows/wineprefix" -prune -o -name Tidemark.exe -print | head -1)
game_dir=$windows/tools/gamesim
uidriver=$windows/tools/uidriver/uidriver.exe
server=$native/server/tidemark-server
for f in "$program" "$game_dir/ffxiv_dx11.exe" "$uidriver" "$server"; do
    [ -n "$f" ] && [ -f "$f" ] || fail "missing after the build: $f"
done

port_answers() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port_answers "$proxy_port" && fail "something already listens on 127.0.0.1:$proxy_port (SOAK_PROXY_PORT)"
server_port=${SOAK_SERVER_PORT:-}
if [ -z "$server_port" ]; then
    server_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
fi

# The prefix is the soak's own; a run cut short leaves its Wine processes,
# which this ends through the prefix's own Wine server.
tools/wine-run.sh "$prefix" cmd /c exit 0 >>"$run/build.log" 2>&1 || fail "the Wine prefix $prefix does not start"
WINEPREFIX=$prefix timeout 20 wineserver -k 2>/dev/null || true
WINEPREFIX=$prefix timeout 30 wineserver -w 2>/dev/null || true

n=${SOAK_DISPLAY:-87}
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$run/xvfb.log" 2>&1 &
xvfb_pid=$!
stop_display() { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
trap stop_display EXIT
for _ in $(seq 100); do
    DISPLAY=":$n" xdpyinfo >/dev/null 2>&1 && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start on :$n"
    sleep 0.1
done

# A fresh Tidemark beside its own settings (English) and journal.
mkdir -p "$run/tidemark"
cp "$program" "$run/tidemark/Tidemark.exe"
printf '[general]\r\nlanguage=en\r\n' >"$run/tidemark/Tidemark.ini"
cp -r server/data/patterns "$run/patterns"

variants=${SOAK_GAME_VARIANTS-$(python3 "$here/gamesim_variants.py" tools/gamesim/README.md)}
[ -n "$variants" ] && say "game simulator variants, one per game start in turn: [none];$variants"

extra=()
[ "${SOAK_NO_REFUSE:-0}" = 1 ] && extra+=(--no-refuse)
rc=0
python3 "$here/soak.py" --minutes "$minutes" --seed "$seed" --run-dir "$run" \
    --server "$server" --data server/data --server-port "$server_port" --proxy-port "$proxy_port" \
    --prefix "$prefix" --display ":$n" --program-dir "$run/tidemark" --game-dir "$game_dir" \
    --uidriver "$uidriver" --game-args="${SOAK_GAME_ARGS:-}" --game-variants="$variants" "${extra[@]}" || rc=$?
[ "$rc" -eq 0 ] || fail "the soak's run failed (code $rc); see $run"
say "checking the server's rows against the lines the game wrote"
python3 "$here/check.py" "$run" --json "$run/summary.json"
