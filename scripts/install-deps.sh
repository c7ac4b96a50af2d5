#!/usr/bin/env bash
# Installs what building and testing FwUpgrade needs on Debian 12 (run as root, or with sudo).
# Usage: scripts/install-deps.sh [demo]   ("demo": only what the demo needs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packages=(cmake make g++ ccache python3 nlohmann-json3-dev dpkg-dev
          unixodbc unixodbc-dev)  # --records-db: unixODBC's driver manager (MinGW ships libodbc32.a)
if [ "${1:-}" != "demo" ]; then
  packages+=(googletest libgtest-dev libbenchmark-dev g++-mingw-w64-x86-64-posix mingw-w64
             wine wine64 srecord hyperfine clang libclang-rt-14-dev binutils coreutils tmux procps
             help2man unzip systemd man-db  # the packages: dependencies, man page, checking the zip,
                                            # the station's service unit
             chromium prometheus wrk   # --serve: its page, its metrics scraped, its benchmark
             xvfb xauth                # a display for Wine's windows: the session's end heard
             postgresql odbc-postgresql)  # --records-db's tests and benchmark: a real server, its driver
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# cpp-httplib: the whole header from Debian's source package, its patches applied. The binary
# package splits it into a shared library, which the static Windows .exe cannot link.
third_party="$root/build/third_party"
if ! ls "$third_party"/cpp-httplib-*/httplib.h >/dev/null 2>&1; then
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ /etc/apt/sources.list; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $sudo tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  fi
  $sudo apt-get update -qq
  mkdir -p "$third_party"
  rm -rf "$third_party"/cpp-httplib-*  # a half-unpacked earlier attempt
  (cd "$third_party" && apt-get source -qq cpp-httplib >/dev/null)
  ls "$third_party"/cpp-httplib-*/httplib.h >/dev/null
fi
