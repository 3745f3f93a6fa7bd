#!/usr/bin/env bash
# Configures and builds: scripts/build.sh [DIR] [CMAKE ARGS...]
# DIR defaults to build/. NORV_TARGETS (blank-separated) limits the build to
# those targets; CC and CXX choose the compilers as usual for cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}; shift || true
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
targets=()
for t in ${NORV_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" -j"$(nproc)" "${targets[@]}" 2>&1 | grep -vE '^\[ *[0-9]+%\]' || true
test "${PIPESTATUS[0]}" -eq 0
