#!/bin/bash
# The worker while the game has no chat log yet (log_wait_wine_bench) under
# Wine.
# usage: run_log_wait_bench.sh BUILD_DIR [waiting seconds] [ballast MiB] [ballast region KiB]
set -euo pipefail
exec "$(dirname "$0")/run_wine_bench.sh" "$1" log_wait_wine_bench "${@:2}"
