#!/bin/bash
# Runs a Windows test program under Wine beside three HTTPS report servers
# (the native build's tidemark-server) with throwaway certificates, and a
# test CA that only this run's Wine trusts: the program runs in a private
# mount namespace whose /etc/ssl/certs is a copy with the CA added (Wine's
# certificate checks read the host's store at run time), so that nothing on
# the machine changes and certificate checking is never switched off.
# Each server sits behind a recorder of the bytes clients send it.
#   TIDEMARK_TLS_GOOD_PORT      certificate for localhost/127.0.0.1 by the test CA
#   TIDEMARK_TLS_OTHER_PORT     certificate for elsewhere.invalid by the test CA
#   TIDEMARK_TLS_STRANGER_PORT  certificate for localhost by a CA nobody trusts
#   TIDEMARK_TLS_*_SENT         the file of the bytes sent to that server
# Without the server program, or without root (needed for the namespace), the
# program runs without them, and its tests skip saying why.
# usage: with-tls-servers.sh SERVER_PROGRAM PREFIX_DIR -- PROGRAM.exe [ARGS...]
set -uo pipefail
server=$1 prefix=$2; shift 2
[ "${1:-}" = -- ] && shift
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -x "$server" ] || [ "$(id -u)" != 0 ] || ! unshare -m true 2>/dev/null; then
    export TIDEMARK_TLS_SKIP="needs the native tidemark-server and root for a private mount namespace"
    exec "$here/wine-run.sh" "$prefix" "$@"
fi

folder=$(mktemp -d /tmp/tidemark-tls-e2e.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$folder"
}
trap cleanup EXIT
"$here/make-test-certificates.sh" "$folder/certs" || exit 1

answers() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() {
    while :; do port=$((20000 + RANDOM % 10000)); answers "$port" || break; done
}
start() {  # NAME CERTIFICATE; leaves the recorder's port in $relay_port
    local tls_port
    free_port; tls_port=$port
    "$server" --address 127.0.0.1 --port "$tls_port" --database "$folder/$1.sqlite3" \
        --tls-certificate "$folder/certs/$2.pem" --tls-key "$folder/certs/$2.key" >"$folder/$1.log" 2>&1 &
    pids+=($!)
    free_port; relay_port=$port
    python3 "$here/byte-recorder.py" "$relay_port" "$tls_port" "$folder/$1.sent" >"$folder/$1.relay" 2>&1 &
    pids+=($!)
    for i in $(seq 100); do
        answers "$tls_port" && grep -q ready "$folder/$1.relay" && break
        sleep 0.05
    done
}
start good server; TIDEMARK_TLS_GOOD_PORT=$relay_port
start other other-name; TIDEMARK_TLS_OTHER_PORT=$relay_port
start stranger untrusted; TIDEMARK_TLS_STRANGER_PORT=$relay_port
export TIDEMARK_TLS_GOOD_PORT TIDEMARK_TLS_OTHER_PORT TIDEMARK_TLS_STRANGER_PORT
export TIDEMARK_TLS_GOOD_SENT=$folder/good.sent TIDEMARK_TLS_OTHER_SENT=$folder/other.sent
export TIDEMARK_TLS_STRANGER_SENT=$folder/stranger.sent

# The machine's store with the test CA added, as update-ca-certificates
# would write it.
cp -a /etc/ssl/certs "$folder/trusted"
cat "$folder/certs/ca.pem" >>"$folder/trusted/ca-certificates.crt"
cp "$folder/certs/ca.pem" "$folder/trusted/tidemark-test-ca.pem"
ln -s tidemark-test-ca.pem "$folder/trusted/$(openssl x509 -hash -noout -in "$folder/certs/ca.pem").0"

# The prefix's wineserver must start inside the namespace too: it is waited
# for before the namespace (and the bind mount) goes.
export WINEPREFIX=$prefix
unshare -m sh -c 'mount --make-rprivate / && mount --bind "$0" /etc/ssl/certs || exit 1
"$@"; rc=$?; wineserver -w; exit $rc' "$folder/trusted" "$here/wine-run.sh" "$prefix" "$@"
