#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and run the daemon.
#   scripts/install-deps.sh            build + run + tests
#   scripts/install-deps.sh --browsers also the browsers and tools for browser tests and benchmarks
set -euo pipefail

pkgs=(
  build-essential cmake pkg-config git
  libcivetweb-dev libjson-c-dev libssl-dev openssl libgtk-3-dev
  libnss3-tools googletest libgtest-dev libgmock-dev
  xvfb xauth xdotool procps psmisc util-linux iproute2 python3 curl dex lintian clang-format
  python3-websockets testssl.sh
)
if [ "${1:-}" = "--browsers" ] || [ "${NV_WITH_BROWSERS:-0}" = 1 ]; then
  pkgs+=(chromium firefox-esr nodejs node-typescript wrk gnuplot-nox clang libclang-rt-14-dev)
fi

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get -o DPkg::Lock::Timeout=900 update
  $SUDO apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends "${missing[@]}"
fi
