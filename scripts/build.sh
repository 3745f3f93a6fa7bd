#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given), extra args to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}; shift || true
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)" 2>&1 | grep -vE '^\[ *[0-9]+%\]' || true
test "${PIPESTATUS[0]}" -eq 0
