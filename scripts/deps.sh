#!/usr/bin/env bash
# Installs, from Debian's packages, what building, testing and the demo need.
# Quiet and idempotent: apt-get runs only when something is missing.
set -euo pipefail
packages=(build-essential cmake pkg-config
  libboost-system-dev libwebsocketpp-dev libssl-dev libpq-dev libjsoncpp-dev
  libutfcpp-dev libgtest-dev googletest
  postgresql openssl python3 python3-websockets python3-cryptography procps
  clang libclang-rt-14-dev
  libsystemd-dev dpkg-dev fakeroot lintian logrotate man-db systemd "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
