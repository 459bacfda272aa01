#!/bin/bash
# Builds the libFuzzer targets (CMake preset "fuzz": clang, ASan + UBSan) and
# runs each for the given number of seconds (default 60), one after another.
# Each run first replays the target's checked-in seeds (tests/fuzz/corpus/)
# and what earlier runs found (build/fuzz/corpus/, where new inputs go), then
# mutates. Crashing inputs land in build/fuzz/artifacts/, logs in
# build/fuzz/logs/. Ends with "fuzz: N passed, N failed"; exits non-zero when
# a target failed or the build did.
#
#   tools/fuzz.sh [seconds] [target...]
#
# Environment: TIDEMARK_TEST_JOBS, the build's parallelism (default 2).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
shift || true
jobs=${TIDEMARK_TEST_JOBS:-2}

# The longest input of each target: enough for every structure it decodes
# (an answer longer than the 4095 bytes the client keeps, a request target
# over its limit), short enough to keep the runs fast.
declare -A max_len=(
    [fuzz_read_pass]=1024
    [fuzz_locator]=1024
    [fuzz_server_answers]=4200
    [fuzz_form]=1024
    [fuzz_server_fields]=2048
    [fuzz_report_journal]=4096
)
if [ $# -gt 0 ]; then targets=("$@"); else targets=(fuzz_read_pass fuzz_locator fuzz_server_answers fuzz_form fuzz_server_fields fuzz_report_journal); fi

mkdir -p build
if ! cmake --preset fuzz >build/fuzz-configure.log 2>&1; then
    cat build/fuzz-configure.log
    echo "fuzz: 0 passed, ${#targets[@]} failed"
    exit 1
fi
if ! cmake --build --preset fuzz -j "$jobs" >build/fuzz-build.log 2>&1; then
    cat build/fuzz-build.log
    echo "fuzz: 0 passed, ${#targets[@]} failed"
    exit 1
fi

passed=0
failed=0
for target in "${targets[@]}"; do
    bin=build/fuzz/tests/fuzz/$target
    work=build/fuzz/corpus/$target
    log=build/fuzz/logs/$target.log
    mkdir -p "$work" build/fuzz/logs build/fuzz/artifacts
    begun=$SECONDS
    "$bin" "$work" "tests/fuzz/corpus/$target" \
        -max_total_time="$seconds" -max_len="${max_len[$target]:-4096}" -timeout=25 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$target-" >"$log" 2>&1
    rc=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    if [ "$rc" -eq 0 ]; then
        passed=$((passed + 1))
        printf '%-20s %12s executions in %3d s, passed\n' "$target" "${executions:-?}" $((SECONDS - begun))
    else
        failed=$((failed + 1))
        printf '%-20s %12s executions in %3d s, FAILED (exit %d):\n' "$target" "${executions:-?}" $((SECONDS - begun)) "$rc"
        grep -E -A6 'ERROR:|invariant broken|runtime error' "$log" | grep -v 'Test unit written' | head -30
        grep -E "Test unit written to" "$log"
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
