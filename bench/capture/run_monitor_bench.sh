#!/bin/bash
# Idle monitoring and line latency (monitor_wine_bench) under Wine.
# usage: run_monitor_bench.sh BUILD_DIR [idle seconds] [lines]
set -euo pipefail
exec "$(dirname "$0")/run_wine_bench.sh" "$1" monitor_wine_bench "${@:2}"
