#!/bin/bash
# Installs the tidemark-server Debian package on this machine, runs the
# installed server as its systemd unit would, stores a report over HTTPS,
# and purges the package, checking that nothing is left behind.
#
# No systemd runs here, so the test does what the unit asks of it: the
# operator's root-only key and certificate are copied into a credentials
# folder only the package's user can read (LoadCredential=, an empty file
# for a missing one as SetCredential= gives), and the unit's ExecStart runs
# as that user with CREDENTIALS_DIRECTORY set, in its WorkingDirectory and
# UMask. Also checks the unit's `systemd-analyze security` score (at most
# 2.0) and lintian's verdict on the package.
#
# Needs root; refuses to run when a tidemark-server package or user exists
# already (the purge would remove an operator's installation).
# usage: test-package.sh DEB
set -uo pipefail
deb=$(readlink -f "${1:?usage: test-package.sh DEB}")
here=$(cd "$(dirname "$0")" && pwd)
unit=/lib/systemd/system/tidemark-server.service
user=tidemark-server

failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
check() {  # DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then pass "$what"; else fail "$what"; return 1; fi
}

[ "$(id -u)" = 0 ] || { echo "test-package.sh: needs root (dpkg -i)"; exit 1; }
if dpkg-query -W -f='${Status}' tidemark-server 2>/dev/null | grep -q 'installed\|config-files'; then
    echo "test-package.sh: a tidemark-server package is on this machine already; it would be purged"; exit 1
fi
if getent passwd "$user" >/dev/null || getent group "$user" >/dev/null; then
    echo "test-package.sh: a user or group $user exists already; the purge check cannot tell"; exit 1
fi

work=$(mktemp -d /tmp/tidemark-package-test.XXXXXX)
chmod 0711 "$work"
server_pid=
proxy_pid=
installed=
cleanup() {
    for pid in $server_pid $proxy_pid; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    if [ -n "$installed" ]; then dpkg --purge tidemark-server >/dev/null 2>&1; fi
    rm -rf "$work"
}
trap cleanup EXIT

# --- the package itself -------------------------------------------------------

lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1
check "lintian reports no error or warning" test $? -eq 0 || cat "$work/lintian.log"
grep -v '^N:' "$work/lintian.log" | sed 's/^/  lintian: /'

if ! dpkg -i "$deb" >"$work/install.log" 2>&1; then
    cat "$work/install.log"; fail "dpkg -i"; exit 1
fi
installed=1
check "the package made the system user $user without a login" \
    sh -c "getent passwd $user | grep -q ':/var/lib/tidemark-server:/usr/sbin/nologin\$'"
check "the state folder is the user's alone" \
    test "$(stat -c '%U:%G %a' /var/lib/tidemark-server)" = "$user:$user 750"
check "server.conf is a conffile" \
    sh -c "dpkg-query -W -f='\${Conffiles}' tidemark-server | grep -q '^ /etc/tidemark-server/server.conf '"
check "the unit is enabled" test -L /etc/systemd/system/multi-user.target.wants/tidemark-server.service
exposure=$(systemd-analyze security --offline=true --no-pager "$unit" 2>/dev/null |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
check "systemd-analyze security: exposure ${exposure:-unknown} is at most 2.0" \
    awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }'

# --- the operator's steps: a root-only key, HTTPS on a free port ----------------

"$here/make-test-certificates.sh" "$work/certs" || { fail "test certificates"; exit 1; }
install -m 0644 "$work/certs/server.pem" /etc/tidemark-server/tls-certificate.pem
install -m 0600 "$work/certs/server.key" /etc/tidemark-server/tls-key.pem
port=$((20000 + RANDOM % 10000))
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((20000 + RANDOM % 10000)); done
sed -i -e "s/^port = .*/port = $port/" \
    -e 's/^# \(tls-certificate = ${CREDENTIALS_DIRECTORY}\/tls-certificate\)$/\1/' \
    -e 's/^# \(tls-key = ${CREDENTIALS_DIRECTORY}\/tls-key\)$/\1/' /etc/tidemark-server/server.conf
check "the config names the credentials" grep -q '^tls-key = ${CREDENTIALS_DIRECTORY}/tls-key$' \
    /etc/tidemark-server/server.conf
check "the package's user cannot read the key itself" \
    runuser -u "$user" -- sh -c '! cat /etc/tidemark-server/tls-key.pem >/dev/null 2>&1'

# --- what systemd does at the unit's start -------------------------------------

credentials=$work/credentials
mkdir "$credentials"
while IFS=: read -r id path; do
    if [ -f "$path" ]; then cp "$path" "$credentials/$id"; else : >"$credentials/$id"; fi
done < <(sed -n 's/^LoadCredential=//p' "$unit")
chown -R "$user:$user" "$credentials"
chmod 0400 "$credentials"/*
chmod 0500 "$credentials"
read -r -a exec_start < <(sed -n 's/^ExecStart=//p' "$unit")
cwd=$(sed -n 's/^WorkingDirectory=//p' "$unit")
mask=$(sed -n 's/^UMask=//p' "$unit")
# setpriv, unlike runuser, execs the server itself: the signal below
# reaches it, as systemd's would.
(
    cd "$cwd" && umask "$mask" &&
        exec setpriv --reuid "$user" --regid "$user" --clear-groups -- \
            env -i PATH=/usr/bin:/bin CREDENTIALS_DIRECTORY="$credentials" "${exec_start[@]}"
) >"$work/server.log" 2>&1 &
server_pid=$!

# A report over HTTPS, checked against the test CA, then read back on the
# player's page.
timeout 30 python3 - "$port" "$work/certs/ca.pem" >"$work/client.log" 2>&1 <<'PY'
import json, ssl, sys, time, urllib.parse, urllib.request
port, ca = sys.argv[1], sys.argv[2]
base = f"https://127.0.0.1:{port}"
context = ssl.create_default_context(cafile=ca)
def fetch(path, body=None):
    request = urllib.request.Request(base + path, data=body)
    with urllib.request.urlopen(request, context=context, timeout=5) as answer:
        return answer.status, answer.read().decode()
for attempt in range(100):
    try:
        status, text = fetch("/healthz")
        break
    except OSError:
        time.sleep(0.1)
else:
    sys.exit("the server did not answer /healthz over HTTPS within 10 s")
line = "\x1fAlice\x1fAlice waves from the package test."
form = urllib.parse.urlencode({"lang": "en", "sid": "", "fid": "", "aid": "", "pid": "2", "code": "29",
                               "log": line, "line": "0", "ltime": "1796000000", "present": "1"},
                              quote_via=urllib.parse.quote)  # the server reads '+' as a plus sign
status, text = fetch("/rep/post.php", form.encode())
answer = json.loads(text)
assert status == 200 and answer.get("aid") and answer.get("fid"), text
status, text = fetch("/rep/get.php?get=token&wader=" + answer["aid"])
token = json.loads(text)["token"]
status, page = fetch("/" + token)
assert "Alice waves from the package test." in page, page[:2000]
print("stored and shown over HTTPS:", answer["fid"])
PY
check "a report stored over HTTPS and shown on its page" test $? -eq 0 || cat "$work/client.log" "$work/server.log"

# The operator's HAProxy file (server/haproxy.cfg.example) in front of this
# server, on loopback ports: players' requests pass, /metrics does not.
proxy_port=$((20000 + RANDOM % 10000))
while [ "$proxy_port" = "$port" ] || (exec 3<>"/dev/tcp/127.0.0.1/$proxy_port") 2>/dev/null; do
    proxy_port=$((20000 + RANDOM % 10000))
done
cat "$work/certs/server.pem" "$work/certs/server.key" >"$work/proxy.pem"
# maxconn fitted to this machine's open-file limit (HAProxy refuses to
# start when it cannot have two descriptors a connection).
sed -e '/^ *log /d' -e '/^ *bind :80$/d' -e 's/maxconn 60000/maxconn 4000/' \
    -e "s|^ *bind :443 ssl crt .*|    bind 127.0.0.1:$proxy_port ssl crt $work/proxy.pem|" \
    -e '/^ *server s2 /d' \
    -e "s|^ *server s1 .*|    server s1 127.0.0.1:$port ssl verify required ca-file $work/certs/ca.pem|" \
    "$here/../server/haproxy.cfg.example" >"$work/haproxy.cfg"
haproxy -q -c -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1
check "haproxy.cfg.example is a valid configuration" test $? -eq 0 || cat "$work/haproxy.log"
haproxy -db -f "$work/haproxy.cfg" >>"$work/haproxy.log" 2>&1 &
proxy_pid=$!
timeout 30 python3 - "$proxy_port" "$work/certs/ca.pem" >"$work/proxy-client.log" 2>&1 <<'PY'
import ssl, sys, time, urllib.error, urllib.request
base, context = f"https://127.0.0.1:{sys.argv[1]}", ssl.create_default_context(cafile=sys.argv[2])
def status(path):
    try:
        with urllib.request.urlopen(base + path, context=context, timeout=5) as answer:
            return answer.status
    except urllib.error.HTTPError as error:
        return error.code
for attempt in range(100):
    try:
        if status("/rep/get.php?get=lang") == 200:
            break
    except OSError:
        pass
    time.sleep(0.1)
else:
    sys.exit("no answer through the proxy within 10 s")
for path in ("/metrics", "/healthz", "/%6detrics"):
    assert status(path) == 403, path
print("passed through; /metrics and /healthz kept inside")
PY
check "through HAProxy the protocol passes and /metrics, /healthz answer 403" test $? -eq 0 ||
    cat "$work/proxy-client.log" "$work/haproxy.log"
kill "$proxy_pid" 2>/dev/null
wait "$proxy_pid" 2>/dev/null
proxy_pid=

kill -TERM "$server_pid" 2>/dev/null
stopped=
for _ in $(seq 50); do
    kill -0 "$server_pid" 2>/dev/null || { stopped=1; break; }
    sleep 0.1
done
wait "$server_pid"
status=$?
server_pid=
check "the server stopped on SIGTERM with exit 0" test -n "$stopped" -a "$status" -eq 0 ||
    cat "$work/server.log"
check "the database is the user's, unreadable to others (UMask)" \
    test "$(stat -c '%U %a' /var/lib/tidemark-server/reports.sqlite3 2>/dev/null)" = "$user 600"

# --- purge --------------------------------------------------------------------

dpkg --purge tidemark-server >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
installed=
check "the user and group are gone" sh -c "! getent passwd $user && ! getent group $user"
for path in /etc/tidemark-server /var/lib/tidemark-server /usr/share/tidemark-server \
    /usr/share/doc/tidemark-server /usr/bin/tidemark-server "$unit" \
    /etc/systemd/system/multi-user.target.wants/tidemark-server.service; do
    check "$path is gone" test ! -e "$path" -a ! -L "$path"
done
check "no enable state is left" \
    sh -c '! find /var/lib/systemd/deb-systemd-helper-enabled -name "*tidemark*" 2>/dev/null | grep -q .'

echo "package test: $failures failed"
[ "$failures" -eq 0 ]
