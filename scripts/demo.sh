#!/usr/bin/env bash
# The main job, end to end on this machine: a private PostgreSQL, a TLS
# receiver (norv-syslog-receive) with a fresh self-signed pair, and the daemon
# between them. Raises a few notifications, shows them arriving and the
# daemon's log, stops the daemon with SIGTERM and cleans up.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh default

work=$(mktemp -d /tmp/norv-demo.XXXXXX)
chmod 755 "$work"  # the cluster below runs as the postgres user
receiver_pid=""
daemon_pid=""
cleanup() {
  [ -n "$daemon_pid" ] && kill -TERM "$daemon_pid" 2>/dev/null || true
  [ -n "$receiver_pid" ] && kill -TERM "$receiver_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  scripts/pg-cluster.sh stop "$work/pg"
  rm -rf "$work"
}
trap cleanup EXIT
# Waits (at most $2 tenths of a second) until the command $1 succeeds.
await() { for _ in $(seq "$2"); do eval "$1" && return 0; sleep 0.1; done; echo "timed out: $1" >&2; return 1; }

echo "== private PostgreSQL"
scripts/pg-cluster.sh start "$work/pg"
. "$work/pg/env"
echo "   listening on 127.0.0.1:$PGPORT"

echo "== receiver with a self-signed certificate"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
  -keyout "$work/receiver.key" -out "$work/receiver.crt" 2>/dev/null
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
build/norv-syslog-receive --port "$port" --cert "$work/receiver.crt" --key "$work/receiver.key" \
  >"$work/received.jsonl" 2>"$work/receiver.err" &
receiver_pid=$!
await "[ -s '$work/receiver.err' ]" 50
sed 's/^/   /' "$work/receiver.err"

echo "== daemon"
scripts/daemon-conf.sh "$work/norv.log" "$port" >"$work/quillon.conf"
build/norv-syslog-send -f "$work/quillon.conf" >"$work/daemon.out" &
daemon_pid=$!
await "grep -q '^HEELO' '$work/norv.log' 2>/dev/null && grep -q 'LISTEN SUCCESS' '$work/norv.log'" 100

echo "== three notifications raised with pg_notify on channel syslog"
psql -X -q -o /dev/null -v ON_ERROR_STOP=1 <<'SQL'
SELECT pg_notify('syslog', '{"fromhost":"web01","severity":"err","msg":"disk /var is 97% full"}');
SELECT pg_notify('syslog', 'a plain text line');
SELECT pg_notify('syslog', E'one # with a hash\nand a second line');
SQL
await "[ \$(wc -l <'$work/received.jsonl') -ge 3 ]" 100

echo "== what the receiver got (one JSON line per notification)"
sed 's/^/   /' "$work/received.jsonl"

echo "== SIGTERM to the daemon"
kill -TERM "$daemon_pid"
status=0
wait "$daemon_pid" || status=$?
daemon_pid=""
echo "   exit status: $status"
echo "   its standard output: $(cat "$work/daemon.out")"

echo "== the daemon's log file"
sed 's/^/   /' "$work/norv.log"
[ "$status" -eq 0 ] && echo "== demo finished: the relay works"
