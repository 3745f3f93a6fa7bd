#!/usr/bin/env bash
# Configures and builds one preset of CMakePresets.json, quietly:
#   scripts/build.sh [PRESET] [CMAKE ARGS...]   (PRESET defaults to "default")
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}; shift || true
cmake --preset "$preset" "$@" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)" 2>&1 | grep -vE '^\[ *[0-9]+%\]' || true
test "${PIPESTATUS[0]}" -eq 0
