#!/usr/bin/env bash
# Every test: installs what is missing, starts a private PostgreSQL for the
# run (stopped however the run ends), then runs these stages, each in its own
# build folder:
#   normal  build/       the whole suite under CTest
#   asan    build-asan/  the whole suite under AddressSanitizer + UBSan
#   tsan    build-tsan/  the threaded parts under ThreadSanitizer
#   fuzz    build-fuzz/  each libFuzzer target for a bounded time (clang)
# Usage: scripts/test.sh [STAGE...]   (default: all four, in that order)
# A sanitizer report anywhere, the test programs' own children included,
# fails its stage: the reports go to files under the stage's san-logs/ folder
# and any file there is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
fuzz_seconds=${NORV_FUZZ_SECONDS:-45}

# Names of the tests that exercise threads: the queue and the receiving
# server, the sender client, pool and locked connection, the syslog service
# runs, the daemon (listener and sender) and the receiver program.
tsan_tests='^(SyslogServer|SyslogClient|ServerFault|DaemonFault|Daemon|ReceiveTool|TlsVerify|Pool|PgSafeThread|SyslogRun|WaitServiceQueue|UpdateServiceMap|HashMapService)'
# The programs that hold them, plus the executables the daemon tests start.
tsan_targets=(syslog_server_test syslog_client_test fault_test daemon_test
  receive_tool_test pool_test database_test syslog_service_test containers_test
  tls_verify_test norv-syslog-send norv-syslog-receive)

# Common settings of the sanitizer stages: reports go to $1/san-logs/.
sanitizer_env() {
  local logs=$1/san-logs
  rm -rf "$logs" && mkdir -p "$logs"
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:log_path=$logs/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66:log_path=$logs/tsan:suppressions=$PWD/tests/tsan.supp"
}

# Fails (and shows them) when any sanitizer report was written under $1.
no_reports() {
  local reports
  reports=$(find "$1/san-logs" -type f 2>/dev/null)
  [ -z "$reports" ] && return 0
  for f in $reports; do
    echo "--- sanitizer report $f (the first frames) ---"
    grep -E '^(WARNING|SUMMARY|==|[A-Za-z/])|^ +[A-Z]|#[0-5] ' "$f" | cut -c1-240 | head -n 60
  done
  return 1
}

run_ctest() {
  ctest --test-dir "$1" --output-on-failure -j"$jobs" "${@:2}"
}

stage_normal() {
  scripts/build.sh build
  run_ctest build
}

# Runs the already built tests of folder $1 (ctest filter: the rest of the
# arguments) with the sanitizer settings; fails on a failed test or a report.
run_sanitized() {
  local dir=$1 status=0
  sanitizer_env "$dir"
  run_ctest "$dir" "${@:2}" || status=$?
  no_reports "$dir" || status=1
  return $status
}

stage_asan() {
  # GCC's -Wmaybe-uninitialized misfires on instrumented standard headers.
  scripts/build.sh build-asan -DNORV_SANITIZE='address;undefined' -DNORV_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS=-Wno-maybe-uninitialized
  # Install builds an uninstrumented program against the instrumented
  # library, which cannot link; the normal stage runs it.
  run_sanitized build-asan -E '^Install\.'
}

stage_tsan() {
  # -Wno-tsan: GCC notes, for every Asio handler, that fences are not modelled.
  NORV_TARGETS="${tsan_targets[*]}" scripts/build.sh build-tsan -DNORV_SANITIZE=thread \
    -DNORV_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS=-Wno-tsan
  run_sanitized build-tsan -R "$tsan_tests"
}

# Runs one fuzz target over a scratch copy of its seeds for fuzz_seconds.
fuzz_one() {
  local name=$1 work=build-fuzz/corpus/$1
  rm -rf "$work" && mkdir -p "$work" && cp fuzz/corpus/"$name"/* "$work"/
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
    build-fuzz/fuzz/"$name" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 \
    -timeout=10 -print_final_stats=1 -artifact_prefix=build-fuzz/crash-"$name"- \
    "$work" >build-fuzz/"$name".log 2>&1
}

stage_fuzz() {
  local targets=()
  for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
  CC=clang CXX=clang++ NORV_TARGETS="${targets[*]}" scripts/build.sh build-fuzz \
    -DNORV_SANITIZE='fuzzer-no-link;address;undefined' -DNORV_BUILD_FUZZ=ON \
    -DNORV_BUILD_TESTS=OFF -DNORV_BUILD_BENCH=OFF
  rm -f build-fuzz/crash-*
  # Two at a time: one per core.
  local status=0 i
  for ((i = 0; i < ${#targets[@]}; i += 2)); do
    local pids=() names=("${targets[@]:i:2}")
    for name in "${names[@]}"; do
      fuzz_one "$name" &
      pids+=($!)
    done
    for j in "${!pids[@]}"; do
      local name=${names[$j]}
      if wait "${pids[$j]}"; then
        echo "fuzz $name: $(grep -m1 -oE 'stat::number_of_executed_units: *[0-9]+' \
          build-fuzz/"$name".log | grep -oE '[0-9]+') runs in ${fuzz_seconds}s, no fault"
      else
        status=1
        echo "--- fuzz $name FAILED (build-fuzz/$name.log) ---"
        grep -A40 -m1 -E '^==[0-9]+==|runtime error|deadly signal' build-fuzz/"$name".log || \
          tail -n 40 build-fuzz/"$name".log
        ls build-fuzz/crash-"$name"-* 2>/dev/null || true
      fi
    done
  done
  return $status
}

pgdir=$(mktemp -d /tmp/norv-test-pg.XXXXXX)
cleanup() {
  scripts/pg-cluster.sh stop "$pgdir"
  rm -rf "$pgdir"
}
trap cleanup EXIT
scripts/pg-cluster.sh start "$pgdir"
# shellcheck disable=SC1091
. "$pgdir/env"

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(normal asan tsan fuzz)
summary=()
status=0
for stage in "${stages[@]}"; do
  echo "=== stage $stage ==="
  start=$SECONDS
  # A subshell outside any condition, so that set -e holds inside the stage.
  set +e
  ("stage_$stage")
  rc=$?
  set -e
  if [ $rc -eq 0 ]; then result=passed; else result=FAILED; status=1; fi
  summary+=("$(printf '%-7s %-6s %4ds' "$stage" "$result" $((SECONDS - start)))")
done

if [ $status -ne 0 ]; then
  echo "--- PostgreSQL server log (last lines) ---"
  tail -n 30 "$pgdir/server.log" || true
fi
echo "=== summary ==="
printf '%s\n' "${summary[@]}"
failed=$(printf '%s\n' "${summary[@]}" | grep -c FAILED || true)
echo "stages: $((${#summary[@]} - failed)) passed, $failed failed"
exit $status
