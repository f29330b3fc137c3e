#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test dependencies is missing.
# Run as root on Debian 12 (or with sudo available).
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libssl-dev openssl libmm-dev libdb-dev db-util python3)
# clang builds the fuzz targets; optional.
optional=(clang libclang-rt-14-dev)

missing=()
for p in "${packages[@]}" "${optional[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${packages[@]}" >/dev/null
$SUDO apt-get install -y -qq "${optional[@]}" >/dev/null 2>&1 || echo "note: clang not installed; fuzz targets run as seed replays only"
