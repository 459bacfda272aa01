#!/bin/bash
# Tidemark's test command: from a fresh Debian 12 machine (as root) or a
# prepared one, installs what is missing, builds the configurations and runs
# their suites: the native suite under AddressSanitizer +
# UndefinedBehaviorSanitizer, the threaded suites (capture, report, session)
# under ThreadSanitizer, and the Windows build under Wine on a private
# virtual display, against the sanitized build's report server. Prints
# CTest's closing line for each and exits non-zero when anything failed.
# Then the release is made for a test server and checked (reproducible zip,
# the .deb installed, run and purged; its server is the optimized build),
# the demo runs end to end, and the libFuzzer targets replay their corpora
# and fuzz briefly (tools/fuzz.sh 5).
#
# Environment: TIDEMARK_TEST_DISPLAY picks the X display number for the GUI
# tests (default: the first free one from 91 on); TIDEMARK_TEST_JOBS the
# parallelism of builds and CTest (default 2); TIDEMARK_TEST_PLAIN=1 runs
# the native suite unsanitized as well (the same tests, minutes more).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${TIDEMARK_TEST_JOBS:-2}
started=$(date +%s)

say() { printf '\n=== %s\n' "$*"; }

# --- packages and locales ---------------------------------------------------

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing_packages() {
    local wanted missing=() p
    mapfile -t wanted < <(sed -e 's/#.*//' tools/packages.txt | awk 'NF { print $1 }')
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q &&
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

generate_locales() {
    local missing=() l
    for l in ja_JP en_US; do
        locale -a 2>/dev/null | grep -qix "$l.utf8" || missing+=("$l")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "generating locales ${missing[*]}"
    for l in "${missing[@]}"; do
        if grep -q "^# *$l.UTF-8 UTF-8" /etc/locale.gen; then
            as_root sed -i "s/^# *\($l.UTF-8 UTF-8\)/\1/" /etc/locale.gen
        elif ! grep -q "^$l.UTF-8 UTF-8" /etc/locale.gen; then
            echo "$l.UTF-8 UTF-8" | as_root tee -a /etc/locale.gen >/dev/null
        fi
    done
    as_root locale-gen >/dev/null
}

# --- Wine server and virtual display for the windows suite -------------------

xvfb_pid=
wine_prefix=

stop_helpers() {
    if [ -n "$wine_prefix" ]; then
        WINEPREFIX=$wine_prefix wineserver -k 2>/dev/null
        WINEPREFIX=$wine_prefix wineserver -w 2>/dev/null
        wine_prefix=
    fi
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
        xvfb_pid=
    fi
}
trap stop_helpers EXIT
trap 'exit 130' INT TERM

start_display() {
    local n=${TIDEMARK_TEST_DISPLAY:-}
    if [ -z "$n" ]; then
        n=91
        while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    fi
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    local i
    for i in $(seq 100); do
        if DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then
            export DISPLAY=":$n"
            echo "virtual display :$n"
            return 0
        fi
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "Xvfb did not start on :$n" >&2
    xvfb_pid=
    return 1
}

start_wineserver() {
    wine_prefix=$root/build/windows/wineprefix
    # A persistent server left in the prefix (a Wine benchmark's) never ends
    # by itself, and the wait below would then never return.
    WINEPREFIX=$wine_prefix wineserver -k 2>/dev/null
    # The first use creates the prefix (crash dialog off); then one server
    # stays up for the whole run, so each test starts in a fraction of a second.
    if ! tools/wine-run.sh "$wine_prefix" cmd /c exit 0 >build/wine-prefix.log 2>&1; then
        echo "the Wine prefix $wine_prefix does not start:" >&2
        cat build/wine-prefix.log >&2
        return 1
    fi
    # A server started by that first program must end before a persistent one
    # can take its place.
    WINEPREFIX=$wine_prefix wineserver -w
    WINEPREFIX=$wine_prefix wineserver -p
}

# --- build and test ----------------------------------------------------------

failures=()
declare -A summary

# The Windows tests that talk to the bundled report server run the
# sanitized build's: a fault the Wine clients provoke in it shows there too,
# and no third build of the server is needed.
configure_options() {
    case $1 in
        windows) echo "-DTIDEMARK_NATIVE_REPORT_SERVER=$root/build/native-asan/server/tidemark-server" ;;
    esac
}

build() {
    local preset=$1
    say "configure and build: $preset"
    # shellcheck disable=SC2046
    cmake --preset "$preset" $(configure_options "$preset") >"build/$preset-configure.log" 2>&1 ||
        { cat "build/$preset-configure.log"; return 1; }
    cmake --build --preset "$preset" -j "$jobs"
}

run_ctest() {
    local preset=$1 log=build/$preset-ctest.log
    say "test: $preset"
    ctest --preset "$preset" -j "$jobs" --timeout 300 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    local line
    line=$(grep -E 'tests passed|No tests were found' "$log" | tail -1)
    summary[$preset]=${line:-"no summary (ctest exit $rc)"}
    if [ "$rc" -eq 0 ] && ! grep -q 'tests passed' "$log"; then rc=1; fi
    return "$rc"
}

suite() {
    local preset=$1 begun=$SECONDS
    run_suite "$preset"
    summary[$preset]="${summary[$preset]:-} ($((SECONDS - begun)) s)"
}

run_suite() {
    local preset=$1
    if ! build "$preset"; then
        summary[$preset]="BUILD FAILED"
        failures+=("$preset")
        return
    fi
    if [ "$preset" = windows ]; then
        if ! start_display || ! start_wineserver; then
            summary[$preset]="could not start Xvfb or Wine"
            failures+=("$preset")
            stop_helpers
            return
        fi
    fi
    run_ctest "$preset" || failures+=("$preset")
    if [ "$preset" = windows ]; then stop_helpers; fi
}

# The whole road of a line, as the first command of the README runs it: the
# bundled report server, the simulated game and Tidemark.exe under Wine, the
# language picked in the window, the line in the Log tab and on the player's
# page.
demo_check() {
    local begun=$SECONDS log=build/demo-check.log
    say "test: demo (tools/run-demo.sh --check 180)"
    # The sanitized suite's server: built already, no third build of it.
    if TIDEMARK_DEMO_SERVER=$root/build/native-asan/server/tidemark-server \
        tools/run-demo.sh --check 180 >"$log" 2>&1; then
        summary[demo]="end-to-end check passed ($((SECONDS - begun)) s)"
    else
        cat "$log"
        summary[demo]="end-to-end check FAILED ($((SECONDS - begun)) s)"
        failures+=(demo)
    fi
    grep '^\[demo\] CHECK' "$log"
}

# The libFuzzer targets (tools/fuzz.sh): each replays its corpus, then fuzzes
# for 5 s (longer runs are tools/fuzz.sh's own). Its last line is "fuzz: N passed, N failed".
fuzz_check() {
    local begun=$SECONDS log=build/fuzz-check.log
    say "test: fuzz (tools/fuzz.sh 5)"
    tools/fuzz.sh 5 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    summary[fuzz]="$(tail -1 "$log" | sed 's/^fuzz: //') ($((SECONDS - begun)) s)"
    [ "$rc" -eq 0 ] || failures+=(fuzz)
}

# The release as tools/release.sh makes it, for a test server: the version
# check (tools/release/version-test.sh), then the zip and the .deb. Its
# Tidemark.exe is built in a folder of its own without ccache; packed again
# from the windows suite's build (build/windows), in another folder at
# another time, it must give the very same zip: the build is reproducible.
release_check() {
    local begun=$SECONDS log=build/release-check.log
    say "test: release (tools/release.sh, reproducible zip)"
    if release_and_compare >"$log" 2>&1; then
        summary[release]="version check passed, zip and .deb made, zip reproducible ($((SECONDS - begun)) s)"
    else
        cat "$log"
        summary[release]="FAILED: $(tail -1 "$log") ($((SECONDS - begun)) s)"
        failures+=(release)
    fi
}

release_and_compare() {
    local out=build/release-check version epoch zip
    tools/release/version-test.sh || { echo "the version check failed"; return 1; }
    rm -rf "$out"
    # One time for both zips, even if HEAD moves meanwhile.
    version=$(tools/release/version.sh) epoch=$(git log -1 --format=%ct)
    CCACHE_DISABLE=1 SOURCE_DATE_EPOCH=$epoch tools/release.sh --server http://127.0.0.1 --out "$out" ||
        { echo "tools/release.sh failed"; return 1; }
    zip=Tidemark-$version-win64.zip
    cmake --build --preset windows --target Tidemark -j "$jobs" >/dev/null ||
        { echo "build/windows has no Tidemark.exe"; return 1; }
    tools/release/windows-zip.sh build/windows/bin/Tidemark.exe http://127.0.0.1 "$version" "$epoch" "$out/again"
    if ! cmp "$out/$zip" "$out/again/$zip"; then
        mkdir -p "$out/unpacked" "$out/again/unpacked"
        (cd "$out/unpacked" && python3 -m zipfile -e "../$zip" .)
        (cd "$out/again/unpacked" && python3 -m zipfile -e "../$zip" .)
        diff -r "$out/unpacked" "$out/again/unpacked"
        echo "the zip differs when built in build/release-windows and in build/windows"
        return 1
    fi
    # Both builds share the checkout: its path in the exe would not show as
    # a difference, so it is looked for.
    if python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); sys.stdout.buffer.write(z.read(sys.argv[2]))' \
        "$out/$zip" "${zip%.zip}/Tidemark.exe" | grep -q -a -F "$root"; then
        echo "Tidemark.exe names the checkout's folder $root"
        return 1
    fi
    echo "the same $zip from build/release-windows and from build/windows: $(sha256sum <"$out/$zip" | cut -c1-16)"
}

# The .deb that release_check made, installed, run as its unit would run it,
# and purged (tools/test-package.sh).
package_check() {
    local begun=$SECONDS log=build/package-check.log deb
    say "test: package (tools/test-package.sh)"
    deb=$(ls build/release-check/tidemark-server_*_amd64.deb 2>/dev/null | head -1)
    if [ -z "$deb" ]; then
        summary[package]="not run: no .deb from the release step"
        failures+=(package)
        return
    fi
    if as_root tools/test-package.sh "$deb" >"$log" 2>&1; then
        summary[package]="installed, HTTPS report stored, purged clean ($((SECONDS - begun)) s)"
    else
        cat "$log"
        summary[package]="FAILED: $(grep -c '^FAILED' "$log") checks ($((SECONDS - begun)) s)"
        failures+=(package)
    fi
    grep -E '^(ok|FAILED): (systemd-analyze|lintian)' "$log"
}

install_missing_packages || { echo "package installation failed" >&2; exit 1; }
# Compiler output is cached across runs and checkouts (ccache, keyed by the
# sources as seen from the checkout's root): a run after another on the same
# machine rebuilds only what changed. CMake takes the launchers from the
# environment, for every build below, the demo's and the fuzzers' too.
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=$root CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
generate_locales || { echo "locale generation failed" >&2; exit 1; }
mkdir -p build

presets=(native-asan native-tsan windows)
[ "${TIDEMARK_TEST_PLAIN:-0}" = 1 ] && presets=(native "${presets[@]}")
for preset in "${presets[@]}"; do
    suite "$preset"
done
release_check
package_check
demo_check
fuzz_check

say "summary ($(( $(date +%s) - started )) s)"
for preset in "${presets[@]}" release package demo fuzz; do
    printf '%-12s %s\n' "$preset:" "${summary[$preset]:-not run}"
done
if [ ${#failures[@]} -ne 0 ]; then
    echo "FAILED: ${failures[*]}"
    exit 1
fi
echo "ALL PASSED"
