# Throwaway PostgreSQL cluster for tests and the demo, sourced by scripts/test and scripts/demo.
# pg_cluster_start DIR   starts a cluster in DIR on 127.0.0.1 and a free port, with password
#                        authentication, and exports QVX_PGHOST, QVX_PGPORT, QVX_PGUSER,
#                        QVX_PGPASSWORD and QVX_PGDATABASE (a database owned by that user).
# pg_cluster_stop DIR    stops it (safe to call twice).
# initdb and pg_ctl refuse to run as root, so as root they run as the postgres user.

pg_bin() {
    local v
    for v in /usr/lib/postgresql/*/bin; do [ -x "$v/pg_ctl" ] && echo "$v"; done | sort -V | tail -1
}

pg_as_owner() {
    if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

# A random free port of 55432..57431: taking the lowest free one would hand a stopped test
# server's port to the next cluster that starts, so that the server could not come back.
pg_free_port() {
    local port try
    for ((try = 0; try < 200; try++)); do
        port=$((55432 + RANDOM % 2000))
        if ! (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then echo "$port"; return 0; fi
    done
    return 1
}

pg_cluster_start() {
    local dir=$1 bin port attempt
    bin=$(pg_bin) || true
    [ -n "$bin" ] || { echo "PostgreSQL server binaries not found" >&2; return 1; }
    mkdir -p "$dir"
    [ "$(id -u)" = 0 ] && chown postgres: "$dir"
    local password=qvx-secret pwfile="$dir/pw"
    echo "$password" > "$pwfile"
    [ "$(id -u)" = 0 ] && chown postgres: "$pwfile"
    pg_as_owner "$bin/initdb" -D "$dir/data" -U qvx --pwfile="$pwfile" -A scram-sha-256 \
        -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; return 1; }
    # A port found free can be taken by another cluster starting at the same moment before
    # this server binds it; then the start is tried again on another free port.
    for attempt in 1 2 3 4 5; do
        port=$(pg_free_port) || { echo "no free port for PostgreSQL" >&2; return 1; }
        pg_as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
            -o "-c listen_addresses=127.0.0.1 -p $port -k $dir -c fsync=off -c max_connections=200" \
            start >/dev/null 2>&1 && break
        if [ $attempt = 5 ] || ! tail -n 20 "$dir/server.log" | grep -q "already in use"; then
            cat "$dir/server.log" >&2
            return 1
        fi
    done
    export QVX_PGHOST=127.0.0.1 QVX_PGPORT=$port QVX_PGUSER=qvx QVX_PGPASSWORD=$password \
        QVX_PGDATABASE=qvx
    PGPASSWORD=$QVX_PGPASSWORD psql -h 127.0.0.1 -p "$port" -U qvx -d postgres -qAt \
        -c "CREATE DATABASE qvx" >/dev/null
}

pg_cluster_stop() {
    local dir=$1 bin
    bin=$(pg_bin) || return 0
    [ -f "$dir/data/postmaster.pid" ] || return 0
    pg_as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
}
