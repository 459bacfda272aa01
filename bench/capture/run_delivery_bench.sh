#!/bin/bash
# Delivery after an outage and the journal's cost (delivery_wine_bench) under Wine.
# usage: run_delivery_bench.sh BUILD_DIR [lines] [away seconds]
set -euo pipefail
exec "$(dirname "$0")/run_wine_bench.sh" "$1" delivery_wine_bench "${@:2}"
