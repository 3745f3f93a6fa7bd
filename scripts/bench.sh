#!/usr/bin/env bash
# The relay's end-to-end benchmark: installs what it needs, builds into
# build-bench/ (optimised), starts a private PostgreSQL, runs bench/norv-bench
# (arguments are passed on, e.g. --burst 20000 --steady-seconds 10) and
# prints its table; stops and removes everything it started.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# Only what the benchmark runs: the daemon, the receiver and the bench programs.
scripts/build.sh bench

work=$(mktemp -d /tmp/norv-bench-pg.XXXXXX)
chmod 755 "$work"  # the cluster runs as the postgres user
cleanup() {
  scripts/pg-cluster.sh stop "$work/pg" || true
  rm -rf "$work"
}
trap cleanup EXIT
scripts/pg-cluster.sh start "$work/pg"
. "$work/pg/env"
build-bench/bench/norv-bench --bin build-bench "$@"
