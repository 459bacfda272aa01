#!/bin/bash
# Runs a Windows program under 64-bit Wine in a throwaway prefix.
# usage: wine-run.sh PREFIX_DIR PROGRAM.exe [ARGS...]
# The prefix is created on first use (serialised with flock so parallel test
# runs do not race), with the crash dialog off so a crashing program fails
# fast instead of hanging the run.
set -euo pipefail
prefix=$1; shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
loader=/usr/lib/wine/wine64
if [ ! -f "$prefix/.tidemark-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.tidemark-ready" ]; then
      DISPLAY= wineboot --init >/dev/null 2>&1 || true
      "$loader" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
      wineserver -w
      touch "$prefix/.tidemark-ready"
    fi
  ) 9>"$prefix.lock"
fi
if [ -t 1 ]; then
  exec "$loader" "$@"
fi
# Not a terminal (CTest, a script): the program's output goes through files.
# Wine's helper processes (services, the desktop) inherit the program's
# standard handles and outlive it; on a pipe they would keep the reader
# waiting for end of output long after the program has ended.
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
rc=0
"$loader" "$@" >"$out" 2>"$err" || rc=$?
if [ "$rc" -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ]; then
  # Seen once in hundreds of runs under load: the loader ends at once with
  # an error and not a byte of output, before the program itself ran (every
  # test program writes its first line on entry). Say so and run it once more;
  # a program that fails on its own prints something and is never re-run.
  echo "wine-run: $1 ended with code $rc before writing anything; running it once more" >&2
  rc=0
  "$loader" "$@" >"$out" 2>"$err" || rc=$?
fi
cat "$out"
cat "$err" >&2
exit "$rc"
