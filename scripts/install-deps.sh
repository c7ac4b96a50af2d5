#!/usr/bin/env bash
# Installs what building and testing FwUpgrade needs on Debian 12 (run as root, or with sudo).
# Usage: scripts/install-deps.sh [demo]   ("demo": only what the demo needs)
set -euo pipefail
packages=(cmake make g++ python3 nlohmann-json3-dev)
if [ "${1:-}" != "demo" ]; then
  packages+=(googletest libgtest-dev libbenchmark-dev g++-mingw-w64-x86-64-posix mingw-w64
             wine wine64 srecord hyperfine clang libclang-rt-14-dev binutils coreutils tmux procps
             dpkg-dev help2man unzip systemd man-db)  # the packages: dependencies, man page, checking
                                                     # the zip, the station's service unit
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
