#!/usr/bin/env bash
# Every test: installs what is missing, then runs these stages, each a preset
# of CMakePresets.json with its own build folder:
#   normal  build/       the whole suite under CTest
#   package build-package/  the Debian packages (cpack -G DEB), checked by
#                        scripts/package-check.sh: contents, lintian, units,
#                        and a relay run from the unpacked packages
#   asan    build-asan/  the whole suite under AddressSanitizer + UBSan
#   tsan    build-tsan/  the threaded parts (label "threads") under ThreadSanitizer
#   fuzz    build-fuzz/  each libFuzzer target for a bounded time (clang)
# Usage: scripts/test.sh [STAGE...]   (default: all five, in that order)
# CTest starts the private PostgreSQL cluster the tests need (a fixture) and
# stops it after them. A sanitizer report anywhere, the test programs' own
# children included, fails its stage: the reports go to files under the
# stage's san-logs/ folder and any file there is a failure. Nothing is
# suppressed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

fuzz_seconds=${NORV_FUZZ_SECONDS:-45}

# Common settings of the sanitizer stages: reports go to $1/san-logs/, named
# by an absolute path: CTest runs each test in a folder of its own.
sanitizer_env() {
  local logs=$PWD/$1/san-logs
  rm -rf "$logs" && mkdir -p "$logs"
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:log_path=$logs/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66:log_path=$logs/tsan"
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

stage_normal() {
  scripts/build.sh default
  ctest --preset default
}

# Builds the packages afresh in build-package/ and checks them; the machine
# is left as it was (nothing installed, no user, no unit started).
stage_package() {
  scripts/build.sh package
  rm -f build-package/*.deb
  (cd build-package && cpack -G DEB >cpack.log 2>&1) || { cat build-package/cpack.log; return 1; }
  scripts/package-check.sh build-package
}

# Builds and runs the tests of sanitizer preset $1 (folder $2) with the
# sanitizer settings; fails on a failed test or a report. The asan preset
# leaves out the install test (an uninstrumented program cannot link the
# instrumented library) and the receiver run out of descriptors (UBSan reads
# its suppressions and checks an object's vptr through descriptors of its
# own, so with none left it reports every virtual call on an error category
# as invalid); the tsan preset runs the tests labelled "threads".
run_sanitized() {
  local status=0
  scripts/build.sh "$1"
  sanitizer_env "$2"
  ctest --preset "$1" || status=$?
  no_reports "$2" || status=1
  return $status
}

stage_asan() { run_sanitized asan build-asan; }
stage_tsan() { run_sanitized tsan build-tsan; }

# Runs one fuzz target over a scratch copy of its seeds for fuzz_seconds.
fuzz_one() {
  local name=$1 work=build-fuzz/corpus/$1
  local dict=()
  [ -f fuzz/"$name".dict ] && dict=(-dict=fuzz/"$name".dict)
  rm -rf "$work" && mkdir -p "$work" && cp fuzz/corpus/"$name"/* "$work"/
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
    build-fuzz/fuzz/"$name" "${dict[@]}" -max_len=8192 -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 \
    -timeout=10 -print_final_stats=1 -artifact_prefix=build-fuzz/crash-"$name"- \
    "$work" >build-fuzz/"$name".log 2>&1
}

stage_fuzz() {
  local targets=()
  for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
  scripts/build.sh fuzz
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

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(normal package asan tsan fuzz)
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
  for log in /tmp/norv-pg-*/server.log; do
    [ -f "$log" ] && { echo "--- $log (last lines) ---"; tail -n 30 "$log"; }
  done
fi
echo "=== summary ==="
printf '%s\n' "${summary[@]}"
failed=$(printf '%s\n' "${summary[@]}" | grep -c FAILED || true)
echo "stages: $((${#summary[@]} - failed)) passed, $failed failed"
exit $status
