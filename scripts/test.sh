#!/usr/bin/env bash
# Every test: installs what is missing, builds, starts a private PostgreSQL for
# the run, runs the suite under CTest, and stops the cluster however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build

pgdir=$(mktemp -d /tmp/norv-test-pg.XXXXXX)
cleanup() {
  scripts/pg-cluster.sh stop "$pgdir"
  rm -rf "$pgdir"
}
trap cleanup EXIT
scripts/pg-cluster.sh start "$pgdir"
# shellcheck disable=SC1091
. "$pgdir/env"

status=0
ctest --test-dir build --output-on-failure -j2 || status=$?
if [ $status -ne 0 ]; then
  echo "--- PostgreSQL server log (last lines) ---"
  tail -n 30 "$pgdir/server.log" || true
fi
exit $status
