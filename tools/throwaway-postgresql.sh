#!/bin/bash
# A throwaway PostgreSQL for the server tests and benchmarks: a fresh cluster
# in FOLDER (initdb as the unprivileged postgres user when run as root), a
# Unix socket in that folder and a free loopback port in 28900-28999, trust
# authentication on loopback only. Writes the connection address to
# FOLDER/url. "stop" ends it and removes the folder.
# usage: throwaway-postgresql.sh start|stop FOLDER
set -uo pipefail
action=${1:-}; folder=${2:-}
[ -n "$folder" ] && folder=$(realpath -m "$folder")
[ -n "$action" ] && [ -n "$folder" ] || { echo "usage: $0 start|stop FOLDER" >&2; exit 2; }
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$bin/initdb" ] || { echo "PostgreSQL server programs not found (Debian package postgresql-15)" >&2; exit 1; }

as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        # From a folder the postgres user may enter.
        (cd / && runuser -u postgres -- "$@")
    else
        "$@"
    fi
}

stop() {
    if [ -f "$folder/data/postmaster.pid" ]; then
        as_owner "$bin/pg_ctl" -D "$folder/data" -m fast -w -t 20 stop >/dev/null 2>&1
    fi
    rm -rf "$folder"
}

port_taken() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

case $action in
stop) stop; exit 0 ;;
start) ;;
*) echo "usage: $0 start|stop FOLDER" >&2; exit 2 ;;
esac

stop  # what an interrupted run left behind
mkdir -p "$folder" && chmod 700 "$folder"
[ "$(id -u)" -eq 0 ] && chown postgres:postgres "$folder"
as_owner "$bin/initdb" -D "$folder/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 --no-sync \
    >"$folder/initdb.log" 2>&1 || { cat "$folder/initdb.log" >&2; exit 1; }

for attempt in $(seq 30); do
    port=$((28900 + RANDOM % 100))
    port_taken "$port" && continue
    if as_owner "$bin/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w -t 20 \
        -o "-c listen_addresses=127.0.0.1 -p $port -k $folder -c max_connections=200 -c fsync=on" \
        start >/dev/null 2>&1; then
        echo "postgresql://postgres@127.0.0.1:$port/postgres" >"$folder/url"
        cat "$folder/url"
        exit 0
    fi
done
echo "the throwaway PostgreSQL did not start:" >&2
cat "$folder/server.log" >&2
exit 1
