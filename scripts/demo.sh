#!/usr/bin/env bash
# The main job on a private PostgreSQL: for now a smoke check of the library.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
echo "norv built: $(ls build/libnorv.a)"
