#!/usr/bin/env bash
# Makes both release packages in build/release/: FwUpgrade-<version>-windows-x64.zip and
# fwupgrade_<version>_amd64.deb, each with its .sha256, from the windows and native presets.
# Usage: scripts/make-release.sh [FIRMWARE_DIR]
# Without FIRMWARE_DIR the packages carry the sample images and their version says ~sample.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
firmware=""
if [ $# -gt 0 ]; then
  [ -d "$1" ] || { echo "make-release: $1 is not a folder" >&2; exit 2; }
  firmware=$(cd "$1" && pwd)
else
  echo "make-release: no FIRMWARE_DIR given: the packages carry SAMPLE images, not a release" >&2
fi
out=build/release
mkdir -p "$out"
rm -f "$out"/FwUpgrade-*.zip* "$out"/fwupgrade_*.deb*
for preset in windows native; do
  echo "== $preset"
  log="build/release-$preset.log"
  if ! { cmake --preset "$preset" -DFIRMWARE_DIR="$firmware" &&
         cmake --build --preset "$preset" -j2 --target package; } >"$log" 2>&1; then
    tail -30 "$log"
    echo "make-release: the $preset package failed (whole log: $log)" >&2
    exit 1
  fi
done
cp build/windows/FwUpgrade-*-windows-x64.zip* build/native/fwupgrade_*.deb* "$out"/
echo "Packages in $out:"
(cd "$out" && cat -- *.sha256)
