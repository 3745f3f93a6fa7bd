#!/usr/bin/env bash
# A private PostgreSQL cluster in a folder of its own, for tests and the demo.
#   pg-cluster.sh start DIR   (re)initdb into DIR, start on a free loopback port and a
#                             socket folder inside DIR; writes DIR/env (PGHOST...)
#   pg-cluster.sh stop DIR    stop it (fast shutdown); DIR stays
#   pg-cluster.sh restart DIR stop it at once (immediate shutdown: crash recovery at the
#                             start) and start it again with its data, port and options
#   pg-cluster.sh kill DIR    SIGKILL the postmaster (fault tests)
# The server refuses to run as root, so it runs as the postgres system user.
set -euo pipefail
cmd=${1:?usage: pg-cluster.sh start|stop|restart|kill DIR}
dir=${2:?usage: pg-cluster.sh start|stop|restart|kill DIR}
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
as_pg() { if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }

case "$cmd" in
start)
  # A cluster left behind by an earlier run in the same folder goes first.
  [ -f "$dir/data/postmaster.pid" ] && as_pg "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$dir/data" "$dir/sock"
  mkdir -p "$dir/sock"
  chmod 755 "$dir"
  [ "$(id -u)" = 0 ] && chown -R postgres: "$dir"
  port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  as_pg "$bin/initdb" -D "$dir/data" -A trust -U postgres -E UTF8 --nosync --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 \
    || { cat "$dir/initdb.log" >&2; exit 1; }
  as_pg "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $port -c unix_socket_directories=$dir/sock -c fsync=off -c max_connections=300" \
    start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
  cat >"$dir/env" <<ENV
export PGHOST=127.0.0.1
export PGPORT=$port
export PGUSER=postgres
export PGDATABASE=postgres
export NORV_PG_SOCKET=$dir/sock
export NORV_PG_DIR=$dir
ENV
  ;;
stop)
  [ -f "$dir/data/postmaster.pid" ] && as_pg "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
  ;;
restart)
  as_pg "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -m immediate -w -t 60 restart >/dev/null ||
    { cat "$dir/server.log" >&2; exit 1; }
  ;;
kill)
  [ -f "$dir/data/postmaster.pid" ] && kill -9 "$(head -n 1 "$dir/data/postmaster.pid")" 2>/dev/null || true
  ;;
*) echo "usage: pg-cluster.sh start|stop|restart|kill DIR" >&2; exit 2 ;;
esac
