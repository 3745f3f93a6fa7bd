#!/usr/bin/env bash
# Checks the Debian packages that `cpack -G DEB` made in a build folder
# (default build-package/), without changing the machine: nothing is
# installed with dpkg, no user is created, no unit is started.
#   1. each package holds its files (dpkg-deb --contents), with the conffiles,
#      the maintainer scripts and the dependencies;
#   2. lintian finds no error (warnings are shown);
#   3. the manual pages render without warnings, systemd-analyze verify
#      accepts both units (their exposure scores are shown), logrotate
#      accepts its file and rotates with it;
#   4. both packages unpacked into a temporary root (dpkg-deb -x): a program
#      builds against the library by pkg-config, and the receiver and the
#      daemon run from there on a private PostgreSQL cluster and relay one
#      notification raised with pg_notify.
# Usage: scripts/package-check.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build=${1:-build-package}

fail() { echo "package-check: $*" >&2; exit 1; }
one_deb() {
  local found=("$build"/"$1"_*.deb)
  if [ ${#found[@]} -ne 1 ] || [ ! -f "${found[0]}" ]; then
    fail "expected one $build/$1_*.deb, found: ${found[*]}"
  fi
  echo "${found[0]}"
}
norv_deb=$(one_deb norv)
dev_deb=$(one_deb libnorv-dev)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
unitdir=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || true)
unitdir=${unitdir:-/lib/systemd/system}

work=$(mktemp -d /tmp/norv-package-check.XXXXXX)
chmod 755 "$work" # the cluster below runs as the postgres user
root=$work/root
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  scripts/pg-cluster.sh stop "$work/pg" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# Waits (at most $2 tenths of a second) until the command $1 succeeds.
await() { for _ in $(seq "$2"); do eval "$1" && return 0; sleep 0.1; done; echo "timed out: $1" >&2; return 1; }

echo "== contents"
dpkg-deb --contents "$norv_deb" >"$work/norv.contents"
dpkg-deb --contents "$dev_deb" >"$work/dev.contents"
# $1: package file; the other arguments: paths that it must hold.
expect_files() {
  local deb=$1 listing path status=0
  shift
  listing=$(awk '{print $6}' "$deb" | sed 's|^\./|/|')
  for path in "$@"; do
    grep -qxF "$path" <<<"$listing" || { echo "   missing in $(basename "$deb" .contents): $path"; status=1; }
  done
  return $status
}
expect_files "$work/norv.contents" \
  /usr/bin/norv-syslog-send /usr/bin/norv-syslog-receive \
  /etc/norv/quillon.conf /etc/default/norv-syslog-receive /etc/logrotate.d/norv \
  "$unitdir"/norv-syslog-send.service "$unitdir"/norv-syslog-receive.service \
  /usr/share/man/man8/norv-syslog-send.8.gz /usr/share/man/man1/norv-syslog-receive.1.gz \
  /usr/share/norv/norv-outbox.sql \
  /usr/share/doc/norv/copyright /usr/share/doc/norv/changelog.Debian.gz
headers=$(sed -n '/PUBLIC FILE_SET HEADERS/,/PRIVATE FILE_SET/p' CMakeLists.txt |
  grep -oE '[A-Za-z_]+/[A-Za-z_]+\.h' | sed 's|^|/usr/include/norv/|')
[ -n "$headers" ] || fail "no public header found in CMakeLists.txt"
# shellcheck disable=SC2086
expect_files "$work/dev.contents" \
  /usr/lib/"$multiarch"/libnorv.a /usr/lib/"$multiarch"/pkgconfig/norv.pc \
  /usr/lib/"$multiarch"/cmake/norv/norvConfig.cmake \
  /usr/lib/"$multiarch"/cmake/norv/norvConfigVersion.cmake \
  /usr/lib/"$multiarch"/cmake/norv/norvTargets.cmake \
  /usr/share/doc/libnorv-dev/copyright /usr/share/doc/libnorv-dev/changelog.Debian.gz \
  $headers
! grep -q 'PluginProcess.h' "$work/dev.contents" || fail "an internal header is packaged"
grep -qE '^-rw-r----- root/root .* \./etc/norv/quillon\.conf$' "$work/norv.contents" ||
  fail "/etc/norv/quillon.conf is not mode 0640 root:root in the package"
[ "$(dpkg-deb --info "$norv_deb" conffiles | sort)" = "$(printf '%s\n' /etc/default/norv-syslog-receive \
  /etc/logrotate.d/norv /etc/norv/quillon.conf)" ] || fail "conffiles of norv: $(dpkg-deb --info "$norv_deb" conffiles)"
for script in postinst prerm postrm; do
  dpkg-deb --info "$norv_deb" "$script" >"$work/$script" || fail "norv has no $script"
  sh -n "$work/$script" || fail "$script: syntax error"
done
depends=$(dpkg-deb --field "$norv_deb" Depends)
for dep in adduser libc6 libpq5 libssl3 libjsoncpp libsystemd0; do
  grep -q "$dep" <<<"$depends" || fail "norv does not depend on $dep: $depends"
done
depends=$(dpkg-deb --field "$dev_deb" Depends)
for dep in libpq-dev libjsoncpp-dev libssl-dev libboost-system-dev libwebsocketpp-dev; do
  grep -q "$dep" <<<"$depends" || fail "libnorv-dev does not depend on $dep: $depends"
done
echo "   $(basename "$norv_deb"): $(grep -vc '/$' "$work/norv.contents") files"
echo "   $(basename "$dev_deb"): $(grep -vc '/$' "$work/dev.contents") files"

echo "== lintian"
status=0
lintian --fail-on error "$norv_deb" "$dev_deb" >"$work/lintian.out" 2>&1 || status=$?
grep -v 'running with root privileges' "$work/lintian.out" | sed 's/^/   /' >"$work/lintian.tags" || true
if [ -s "$work/lintian.tags" ]; then cat "$work/lintian.tags"; else echo "   no error, no warning"; fi
[ $status -eq 0 ] || fail "lintian found errors"

dpkg-deb -x "$norv_deb" "$root"
dpkg-deb -x "$dev_deb" "$root"

echo "== manual pages"
for page in "$root"/usr/share/man/man8/norv-syslog-send.8.gz "$root"/usr/share/man/man1/norv-syslog-receive.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  echo "   $(basename "$page"): no warning"
done

echo "== systemd units"
# Verified as unpacked, with their programs taken from the temporary root
# and their manual pages found there.
mkdir "$work/units"
for unit in norv-syslog-send norv-syslog-receive; do
  sed "s|/usr/bin/|$root/usr/bin/|g" "$root$unitdir/$unit.service" >"$work/units/$unit.service"
done
out=$(MANPATH="$root/usr/share/man:" systemd-analyze verify "$work"/units/*.service 2>&1) ||
  fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"
echo "   systemd-analyze verify: both units accepted"
grep -q '^ExecStartPre=.*norv-syslog-send\.log\.previous' "$root$unitdir/norv-syslog-send.service" ||
  fail "the daemon's unit does not keep the previous run's log"
grep -qx 'log_file=/var/log/norv/norv-syslog-send.log' "$root/etc/norv/quillon.conf" ||
  fail "the example configuration does not log to /var/log/norv/norv-syslog-send.log"
for unit in norv-syslog-send norv-syslog-receive; do
  echo "   $unit.service: $(systemd-analyze security --offline=yes "$root$unitdir/$unit.service" 2>&1 |
    sed -n 's/^→ Overall exposure level for [^:]*: //p')"
done

echo "== logrotate"
# The packaged file with the log folder and the user replaced: it must be
# accepted, and a forced rotation must copy the log and empty it in place.
mkdir -m 0750 "$work/logs"
printf 'line 1\nline 2\n' >"$work/logs/norv-syslog-send.log"
sed -e "s|/var/log/norv/|$work/logs/|" -e 's/su norv norv/su root root/' "$root/etc/logrotate.d/norv" >"$work/logrotate.conf"
for option in daily 'maxsize 100M' 'rotate 7' compress delaycompress missingok notifempty copytruncate; do
  grep -qE "^\s*$option\s*$" "$work/logrotate.conf" || fail "logrotate: no $option"
done
logrotate -s "$work/logrotate.state" -f "$work/logrotate.conf" >"$work/logrotate.out" 2>&1 ||
  fail "logrotate: $(cat "$work/logrotate.out")"
if [ ! -f "$work/logs/norv-syslog-send.log.1" ] || [ -s "$work/logs/norv-syslog-send.log" ]; then
  fail "logrotate did not copy and empty the log: $(ls "$work/logs")"
fi
echo "   rotated: $(cd "$work/logs" && echo *)"

echo "== a program built against the unpacked library (pkg-config)"
cat >"$work/lib.cpp" <<'CPP'
#include <iostream>
#include "config/convertTo.h"
#include "config/iniConfig.h"
int main(int, char** argv) {
  iniConfig ini(argv[1]);
  std::cout << trim(ini.getKey("A", "b")) << std::endl;
  return 0;
}
CPP
printf '[A]\nb=  packaged  \n' >"$work/lib.ini"
# shellcheck disable=SC2046
g++ -std=c++17 "$work/lib.cpp" -o "$work/lib" \
  $(PKG_CONFIG_PATH="$root/usr/lib/$multiarch/pkgconfig" pkg-config --cflags --libs norv) ||
  fail "cannot build against the unpacked libnorv-dev"
[ "$("$work/lib" "$work/lib.ini")" = packaged ] || fail "the program built against libnorv-dev misbehaves"
echo "   built and ran"

echo "== the unpacked programs relay a notification"
scripts/pg-cluster.sh start "$work/pg"
# shellcheck source=/dev/null
. "$work/pg/env"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
  -keyout "$work/receiver.key" -out "$work/receiver.crt" 2>/dev/null
# The receiver with the packaged defaults, as its unit runs it (an empty
# --client-ca included), on a free port.
(
  set -a
  # shellcheck source=/dev/null
  . "$root/etc/default/norv-syslog-receive"
  exec "$root/usr/bin/norv-syslog-receive" --cert "$work/receiver.crt" --key "$work/receiver.key" \
    --client-ca "$RECEIVER_CLIENT_CA" --port 0 --threads "$RECEIVER_THREADS" \
    --max-message "$RECEIVER_MAX_MESSAGE" --max-connections "$RECEIVER_MAX_CONNECTIONS" \
    --queue-limit "$RECEIVER_QUEUE_LIMIT"
) >"$work/received.jsonl" 2>"$work/receiver.err" &
pids+=($!)
receiver=$!
await "grep -q 'listening on port' '$work/receiver.err'" 100 || fail "receiver: $(cat "$work/receiver.err")"
port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$work/receiver.err")
scripts/daemon-conf.sh "$work/norv-syslog-send.log" "$port" >"$work/quillon.conf"
"$root/usr/bin/norv-syslog-send" -f "$work/quillon.conf" >"$work/daemon.out" 2>&1 &
pids+=($!)
daemon=$!
listening() {
  [ "$(psql -X -At -c "SELECT count(*) FROM pg_stat_activity WHERE query = 'LISTEN syslog'")" -ge 1 ]
}
await listening 150 || fail "the daemon does not listen: $(cat "$work/norv-syslog-send.log" "$work/daemon.out" 2>/dev/null)"
payload="{\"fromhost\":\"package-check\",\"msg\":\"relayed from the unpacked packages $$\"}"
psql -X -q -o /dev/null -v ON_ERROR_STOP=1 -v payload="$payload" <<<"SELECT pg_notify('syslog', :'payload');"
line=$(printf '{"host":"package-check","payload":%s}' "$(python3 -c 'import json,sys; print(json.dumps(sys.argv[1], separators=(",", ":")))' "$payload")")
received() { grep -qxF "$line" "$work/received.jsonl"; }
await received 100 ||
  fail "the receiver did not print $line; it printed: $(cat "$work/received.jsonl")"
echo "   received: $line"

kill -TERM "$daemon"
status=0
wait "$daemon" || status=$?
[ $status -eq 0 ] || fail "the daemon ended with status $status after SIGTERM: $(cat "$work/norv-syslog-send.log")"
kill -TERM "$receiver"
status=0
wait "$receiver" || status=$?
[ $status -eq 0 ] || fail "the receiver ended with status $status after SIGTERM: $(cat "$work/receiver.err")"
pids=()
echo "   both stopped by SIGTERM with status 0"
echo "package-check: passed"
