#!/bin/bash
# Tidemark's main job, on one machine: the bundled report server on loopback,
# a simulated game client writing chat lines under Wine, and Tidemark.exe
# (built for that server) reporting the lines that match the server's
# patterns. On a fresh Debian 12 machine (as root) it first installs what is
# missing and builds what it needs.
#
#   tools/run-demo.sh [--port N] [--headless] [--pick-language] [--check SECONDS]
#
#   --port N          the report server's port (default 18080, loopback only)
#   --headless        use a private virtual display even when DISPLAY is set
#   --pick-language   leave the language unset, so that Tidemark starts on
#                     its Config tab and waits for you to pick one (by default
#                     the demo writes language=en into Tidemark's settings)
#   --check SECONDS   run unattended on a private display: wait up to SECONDS
#                     for reported lines in the Log tab and on the player's
#                     page, check the Wine desktop (caption, taskbar), print
#                     what was found, stop, and exit 0 when all was there
#
# Environment: TIDEMARK_DEMO_JOBS (build jobs, default 2), TIDEMARK_DEMO_DISPLAY
# (first virtual display number to try, default 95), TIDEMARK_DEMO_SERVER (a
# report server program already built, used instead of building one).
#
# Ctrl-C stops everything it started, also when the output goes through a
# pipe. The demo keeps its files in build/demo (reports.sqlite3, logs,
# window.png) and Tidemark's settings in build/demo-windows/bin/Tidemark.ini,
# so the next run goes on with the same player and page; delete both to
# start over.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

port=18080
headless=0
pick_language=0
check_seconds=0
while [ $# -gt 0 ]; do
    case $1 in
        --port) port=$2; shift 2 ;;
        --headless) headless=1; shift ;;
        --pick-language) pick_language=1; shift ;;
        --check) check_seconds=$2; headless=1; shift 2 ;;
        -h|--help) sed -n '2,29p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "run-demo: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done

jobs=${TIDEMARK_DEMO_JOBS:-2}
demo=$root/build/demo
native_build=$root/build/demo-native
server_program=${TIDEMARK_DEMO_SERVER:-$native_build/server/tidemark-server}
windows_build=$root/build/demo-windows
prefix=$windows_build/wineprefix
log=$demo/run.log
mkdir -p "$demo"
: >"$log"

# A reader that went away (Ctrl-C reaches a `| tee` too) must not end the
# script before its clean-up: writes to a closed pipe fail quietly instead.
trap '' PIPE
say() { printf '[demo] %s\n' "$*" 2>/dev/null || true; }
fail() { printf '[demo] %s\n' "$*" >&2 2>/dev/null || true; exit 1; }

# --- packages ------------------------------------------------------------------

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing_packages() {
    local wanted missing=() p
    mapfile -t wanted < <(sed -e 's/#.*//' tools/packages.txt | awk 'NF { print $1 }')
    wanted+=(curl)  # the demo asks the server for the page token
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q >>"$log" 2>&1 &&
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
            "${missing[@]}" >>"$log" 2>&1
}

# --- build ---------------------------------------------------------------------

build_all() {
    if [ -n "${TIDEMARK_DEMO_SERVER:-}" ]; then
        [ -x "$server_program" ] || fail "TIDEMARK_DEMO_SERVER is not a program: $server_program"
        say "using the report server $server_program"
    else
        say "building the report server (native) in $native_build"
        cmake --preset native -B "$native_build" >>"$log" 2>&1 || fail "configuring the native build failed: see $log"
        cmake --build "$native_build" -j "$jobs" --target tidemark-server >>"$log" 2>&1 ||
            fail "building the report server failed: see $log"
    fi

    say "building Tidemark.exe for http://127.0.0.1:$port and the game simulator (Windows) in $windows_build"
    cmake --preset windows -B "$windows_build" -DTIDEMARK_SERVER_HOST=127.0.0.1 \
        -DTIDEMARK_SERVER_PORT="$port" >>"$log" 2>&1 || fail "configuring the Windows build failed: see $log"
    local targets=(gamesim)
    [ "$check_seconds" -gt 0 ] && targets+=(uidriver)
    targets+=(Tidemark)
    cmake --build "$windows_build" -j "$jobs" --target "${targets[@]}" >>"$log" 2>&1 ||
        fail "building the Windows programs failed: see $log"
    program=$(find "$windows_build" -path "$prefix" -prune -o -name Tidemark.exe -print | head -1)
    game_dir=$windows_build/tools/gamesim
    [ -n "$program" ] && [ -f "$game_dir/ffxiv_dx11.exe" ] || fail "the Windows programs are missing after the build"
}

# --- what runs, and how it stops --------------------------------------------------

server_pid=
xvfb_pid=
feeder_pid=
shooter_pid=
wine_started=0

stop_all() {
    trap - INT TERM EXIT
    set +e
    local pid
    for pid in $shooter_pid $feeder_pid; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    if [ "$wine_started" -eq 1 ]; then
        # The prefix is the demo's own: ending its Wine server ends exactly the
        # Windows programs this script started.
        WINEPREFIX=$prefix timeout 20 wineserver -k 2>/dev/null
        WINEPREFIX=$prefix timeout 20 wineserver -w 2>/dev/null
    fi
    for pid in $server_pid $xvfb_pid; do
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -f "$demo"/*.pid
    say "stopped; the reports are kept in $demo/reports.sqlite3"
}

# A run that was killed without its clean-up leaves its server, its display
# and the Wine processes of the demo's prefix behind; end them, each known
# by its own record (never by name).
end_previous_run() {
    local record pid
    for record in "$demo"/*.pid; do
        [ -f "$record" ] || continue
        pid=$(cat "$record")
        # Only a process that still is what was recorded (the pid may be reused).
        if [ -n "$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null |
            grep -qE 'tidemark-server|Xvfb|run-demo\.sh'; then
            say "ending process $pid left by an earlier run ($(basename "$record" .pid))"
            kill -TERM "$pid" 2>/dev/null || true
            for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        fi
        rm -f "$record"
    done
    if [ -d "$prefix" ]; then
        say "ending Wine processes an earlier run left in $prefix (waiting at most 20 s)"
        WINEPREFIX=$prefix timeout 20 wineserver -k 2>/dev/null || true
        WINEPREFIX=$prefix timeout 20 wineserver -w 2>/dev/null || true
    fi
}

port_answers() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

start_server() {
    if port_answers "$port"; then
        fail "something already listens on 127.0.0.1:$port; pick another port with --port"
    fi
    # Ctrl-C reaches every process of the terminal's group; the programs this
    # script starts ignore it and are stopped by the script, in order.
    (trap '' INT && exec "$server_program" --address 127.0.0.1 --port "$port" \
        --database "$demo/reports.sqlite3") >"$demo/server.log" 2>&1 &
    server_pid=$!
    echo "$server_pid" >"$demo/server.pid"
    local i
    for i in $(seq 100); do
        port_answers "$port" && { sed 's/^/[server] /' "$demo/server.log"; return 0; }
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    cat "$demo/server.log" >&2
    fail "the report server did not start"
}

start_display() {
    if [ "$headless" -eq 0 ] && [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        say "showing Tidemark's window on your display $DISPLAY"
        return 0
    fi
    local n=${TIDEMARK_DEMO_DISPLAY:-95}
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    (trap '' INT && exec Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp) >>"$log" 2>&1 &
    xvfb_pid=$!
    echo "$xvfb_pid" >"$demo/xvfb.pid"
    export DISPLAY=":$n"
    local i
    for i in $(seq 100); do
        xdpyinfo >/dev/null 2>&1 && break
        kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start on :$n"
        sleep 0.1
    done
    # No screen to look at: a picture of the virtual one, renewed every 2 s.
    local import
    import=$(command -v import-im6.q16 || command -v import || true)
    if [ -n "$import" ]; then
        (while sleep 2; do
            "$import" -display "$DISPLAY" -window root "$demo/window.tmp.png" 2>/dev/null &&
                mv -f "$demo/window.tmp.png" "$demo/window.png"
        done) </dev/null >/dev/null 2>&1 &
        shooter_pid=$!
        echo "$shooter_pid" >"$demo/shooter.pid"
        say "no display: Tidemark runs on the virtual display $DISPLAY; look at its window in"
        say "    $demo/window.png (renewed every 2 seconds)"
    fi
}

windows_path() {
    printf 'Z:%s' "$1" | tr '/' '\\'
}

# A bare virtual display has no window manager, so the window would have no
# caption and the tray icon nowhere to go: there Wine's own desktop supplies
# both. On the user's display the user's desktop does. The desktop reads its
# settings when it starts, so they are written before any program shows a
# window, and the prefix's Wine server (with the desktop) starts afresh.
prepare_wine_desktop() {
    tools/wine-desktop.sh "$prefix" 1024x768 >>"$log" 2>&1 || fail "setting up Wine's desktop failed: see $log"
    if [ -z "$xvfb_pid" ]; then
        env WINEPREFIX="$prefix" WINEDEBUG=-all /usr/lib/wine/wine64 reg delete 'HKCU\Software\Wine\Explorer' \
            /v Desktop /f >>"$log" 2>&1 || true
    fi
    say "waiting for the Wine processes of $prefix to end before the desktop starts afresh"
    WINEPREFIX=$prefix timeout 20 wineserver -k 2>/dev/null || true
    WINEPREFIX=$prefix timeout 30 wineserver -w || fail "the Wine processes of $prefix did not end"
}

# Tidemark's settings: the demo's game is an English client.
preset_language() {
    local ini
    ini="$(dirname "$program")/Tidemark.ini"
    if [ "$pick_language" -eq 1 ]; then
        [ -f "$ini" ] && sed -i '/^language=/d' "$ini"
        say "no language preset: pick \"English\" in Tidemark's Config tab"
        return 0
    fi
    if [ -f "$ini" ] && grep -q '^language=' "$ini"; then
        sed -i 's/^language=.*/language=en\r/' "$ini"
    elif [ -f "$ini" ] && grep -q '^\[general\]' "$ini"; then
        sed -i 's/^\[general\]\r\{0,1\}$/[general]\r\nlanguage=en\r/' "$ini"
    else
        printf '[general]\r\nlanguage=en\r\n' >>"$ini"
    fi
    say "wrote language=en into $ini (--pick-language leaves it to you)"
}

start_wine_programs() {
    # The first use creates the prefix (crash dialog off); one Wine server then
    # serves both programs, which must share it to see each other.
    [ -d "$prefix" ] || say "creating the Wine prefix $prefix (once; about a minute)"
    wine_started=1
    tools/wine-run.sh "$prefix" cmd /c exit 0 >>"$log" 2>&1 || fail "the Wine prefix $prefix does not start: see $log"
    prepare_wine_desktop
    WINEPREFIX=$prefix wineserver -p
    preset_language

    # The game: an English client whose chat log starts with the marker of the
    # server's English patterns.
    local marker
    marker=$(grep -o 'en (marker "[^"]*")' "$demo/server.log" | sed 's/^en (marker "\(.*\)")$/\1/' | head -1)
    [ -n "$marker" ] || fail "the report server names no English marker; see $demo/server.log"
    rm -rf "$demo/game"
    mkdir -p "$demo/game"
    : >"$demo/game/commands.txt"
    (trap '' INT && cd "$game_dir" && export WINEPREFIX="$prefix" WINEDEBUG=-all && exec /usr/lib/wine/wine64 ffxiv_dx11.exe \
        --control "$(windows_path "$demo/game")" --marker "$marker" --history 3) >"$demo/game.log" 2>&1 &
    feed_game_lines &
    feeder_pid=$!
    echo "$feeder_pid" >"$demo/feeder.pid"
    say "the simulated game (ffxiv_dx11.exe) is running; its chat log starts with \"$marker\""

    (trap '' INT && cd "$(dirname "$program")" && export WINEPREFIX="$prefix" WINEDEBUG=-all && exec /usr/lib/wine/wine64 \
        "$(basename "$program")") >"$demo/tidemark.log" 2>&1 &
    say "Tidemark.exe is running (settings: $(dirname "$program")/Tidemark.ini)"
}

hex_of() {
    printf '%b' "$1" | od -An -tx1 -v | tr -d ' \n'
}

# Plausible chat lines, one every two seconds: emotes, a dice roll, loot, an
# achievement (the server's English patterns report these) and talk between
# them (which they do not). Fields are separated by 0x1F as in the game.
feed_game_lines() {
    local people=("Alice Bell" "Kaito Mori" "Y'shtola Rhul" "Mira Oak")
    local i=0 who other line code
    while sleep 2; do
        who=${people[$((i % 4))]}
        other=${people[$(((i + 1) % 4))]}
        case $((i % 7)) in
            0) code=29 line="\\x1f\\x1fYou wave to $other." ;;
            1) code=10 line="$who\\x1fGood morning, everyone!" ;;
            2) code=2122 line="\\x1f\\x1fRandom! You roll a $((RANDOM % 999 + 1))." ;;
            3) code=28 line="\\x1f\\x1f$who bows deeply to $other." ;;
            4) code=2110 line="\\x1f\\x1fYou obtain \\x02\\x48\\x04\\xf0\\x08\\x11\\x03a hi-potion\\x02\\x48\\x02\\x01\\x03." ;;
            5) code=10 line="$other\\x1fAnyone up for a dungeon run?" ;;
            6) code=2112 line="\\x1f\\x1f$who earns the achievement Eorzea Explorer $((i / 7 + 1))!" ;;
        esac
        printf 'add %s %s\n' "$code" "$(hex_of "$line")" >>"$demo/game/commands.txt"
        i=$((i + 1))
    done
}

settings_value() {
    local ini
    ini="$(dirname "$program")/Tidemark.ini"
    [ -f "$ini" ] || return 0
    sed -n "s/^$1=\\(.*\\)\$/\\1/p" "$ini" | tr -d '\r' | head -1
}

# The page token for the player id Tidemark saved, asked the way Tidemark asks.
page_address() {
    local wader answer token
    wader=$(settings_value wader)
    [ -n "$wader" ] || return 1
    answer=$(curl -s --max-time 5 "http://127.0.0.1:$port/rep/get.php?get=token&wader=$wader") || return 1
    token=$(printf '%s' "$answer" | sed -n 's/^{"token":"\([^"]*\)".*/\1/p')
    [ -n "$token" ] || return 1
    printf 'http://127.0.0.1:%s/%s' "$port" "$token"
}

# --- the unattended check ----------------------------------------------------------

uidriver() {
    WINEPREFIX=$prefix WINEDEBUG=-all /usr/lib/wine/wine64 "$windows_build/tools/uidriver/uidriver.exe" "$@" 2>/dev/null |
        tr -d '\r'
}

# The desktop of the first run too: a taskbar window exists, the window has
# a caption, and the screen is not the bare black of an empty X display.
check_desktop() {
    local import convert corner
    uidriver list | grep -q 'Shell_TrayWnd' || return 1
    uidriver list | grep -q '#32770 "Tidemark" visible=1' || return 1
    import=$(command -v import-im6.q16 || command -v import || true)
    convert=$(command -v convert-im6.q16 || command -v convert || true)
    [ -n "$import" ] && [ -n "$convert" ] || return 0
    "$import" -display "$DISPLAY" -window root "$demo/window-check.png" 2>/dev/null || return 1
    corner=$("$convert" "$demo/window-check.png" -crop 1x1+5+5 -format '%[hex:p{0,0}]' info: 2>/dev/null)
    [ -n "$corner" ] && [ "$corner" != 000000 ] && [ "$corner" != 000000FF ]
}

run_check() {
    local deadline=$((SECONDS + check_seconds)) ok=1 dump address page
    uidriver wait 20000 >/dev/null || { say "CHECK: the main window did not appear"; return 1; }
    if [ "$pick_language" -eq 1 ]; then
        # English is the first entry of the server's language list; the combo
        # box is on the Config tab, the lines on the Log tab.
        uidriver tab 1 >/dev/null && uidriver select 1028 0 >/dev/null && uidriver tab 0 >/dev/null ||
            { say "CHECK: could not pick a language"; return 1; }
        say "CHECK: picked English"
    fi
    if check_desktop; then
        say "CHECK: Wine's desktop is up, with its taskbar and the window's caption"
    else
        say "CHECK: FAILED: no Wine desktop with taskbar (see $demo/window-check.png)"; ok=0
    fi
    say "CHECK: waiting up to $check_seconds s for reported lines"
    while [ $SECONDS -lt $deadline ]; do
        dump=$(uidriver dump | sed -n 's/^log=//p' || true)
        if [ -z "${address:-}" ] && address=$(page_address); then say "your page on the report server: $address"; fi
        if grep -q 'You wave to' <<<"$dump" && [ -n "${address:-}" ]; then break; fi
        sleep 2
    done
    if grep -q 'You wave to' <<<"$dump"; then
        say "CHECK: the Log tab lists the server's rendering of a reported line"
    else
        say "CHECK: FAILED: no reported line in the Log tab"; ok=0
        uidriver dump | sed 's/^/[uidriver] /'
    fi
    if grep -q '\* You are now registered' <<<"$dump"; then
        say "CHECK: the Log tab shows the server's welcome for the new player"
    fi
    if [ -n "${address:-}" ]; then
        say "CHECK: Tidemark saved a player id; its page is $address"
        page=$(curl -s --max-time 5 "$address" || true)
        if grep -q 'You wave to' <<<"$page"; then
            say "CHECK: the player's page lists the reported lines"
        else
            say "CHECK: FAILED: the player's page lists no reported line"; ok=0
        fi
    else
        say "CHECK: FAILED: no player id was saved, or the server knows no page for it"; ok=0
    fi
    [ "$ok" -eq 1 ]
}

# --- main ------------------------------------------------------------------------------

install_missing_packages || fail "package installation failed: see $log"
build_all
end_previous_run
trap stop_all EXIT
trap 'exit 130' INT TERM
start_server
start_display
start_wine_programs

if [ "$check_seconds" -gt 0 ]; then
    if run_check; then say "CHECK PASSED"; exit 0; fi
    say "CHECK FAILED (logs in $demo)"
    exit 1
fi

if [ "$pick_language" -eq 1 ]; then
    say "pick \"English\" in the Config tab (the simulated game is an English client);"
fi
say "lines appear in the Log tab as the game writes them. Ctrl-C stops the demo."
shown=""
hinted=""
while true; do
    chosen=$(settings_value language)
    if [ -n "$chosen" ] && [ "$chosen" != en ] && [ "$chosen" != "$hinted" ]; then
        say "\"$chosen\" is chosen, but the simulated game is an English client: its chat log"
        say "    carries only the English marker, so Tidemark keeps searching. Pick \"English\"."
        hinted=$chosen
    fi
    if [ -z "$shown" ] && shown=$(page_address); then
        say "your page on the report server: $shown"
        say "    (also behind \"Jump to mypage\" in the Config tab once Tidemark knows the player)"
    fi
    if [ -n "$server_pid" ] && ! kill -0 "$server_pid" 2>/dev/null; then
        fail "the report server stopped; see $demo/server.log"
    fi
    sleep 2
done
