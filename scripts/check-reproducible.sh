#!/usr/bin/env bash
# Builds FwUpgrade twice from the same sources, in two different folders one after the other,
# and compares the programs byte for byte, printing both SHA-256.
# Usage: scripts/check-reproducible.sh [--against-checkout] [PRESET...]   (default: windows native)
#   --against-checkout: the first build is this checkout's own build/PRESET (brought up to date),
#   the second one a copy's; the test command has just built those presets.
# FIRMWARE_DIR in the environment builds with those images instead of the sample ones.
# Exit status 0 when every preset's two programs are identical.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
checkout=0
[ "${1:-}" != --against-checkout ] || { checkout=1; shift; }
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(windows native)
work=$(mktemp -d "${TMPDIR:-/tmp}/fwupgrade-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The programs must not depend on it: a tool that honours it would hide its time stamp.
unset SOURCE_DATE_EPOCH

# The sources as git sees them (tracked and new files, nothing ignored, so no build folders),
# in two folders whose paths differ in name and length.
copies=("$work/a" "$work/second-build/b")
[ "$checkout" -eq 0 ] || copies[0]=$root
for copy in "${copies[@]}"; do
  [ "$copy" != "$root" ] || continue
  mkdir -p "$copy"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
     while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
     tar --null -T - -cf -) | tar -xf - -C "$copy"
  # What install-deps.sh unpacked beside the sources (cpp-httplib's header), as each build finds it.
  mkdir -p "$copy/build" && cp -r "$root/build/third_party" "$copy/build/"
done

program() { # preset -> the program's path in its build folder
  case $1 in windows*) echo "build/$1/FwUpgrade.exe" ;; *) echo "build/$1/FwUpgrade" ;; esac
}

for copy in "${copies[@]}"; do
  for preset in "${presets[@]}"; do
    echo "== build $preset in $copy"
    log="$work/$(basename "$copy")-$preset.log"
    tests=-DFWUPGRADE_TESTS=OFF
    [ "$copy" != "$root" ] || tests="" # the checkout's build keeps its tests
    # The copy's build is never served from a compiler cache: it must compile everything itself.
    if ! (cd "$copy" && { [ "$copy" = "$root" ] || export CCACHE_DISABLE=1; } &&
          cmake --preset "$preset" $tests ${FIRMWARE_DIR:+-DFIRMWARE_DIR="$FIRMWARE_DIR"} &&
          cmake --build --preset "$preset" -j2 --target FwUpgrade) >"$log" 2>&1; then
      tail -30 "$log"
      echo "build $preset in $copy failed"
      exit 1
    fi
  done
done

status=0
for preset in "${presets[@]}"; do
  file=$(program "$preset")
  echo "== $preset: $file"
  for copy in "${copies[@]}"; do sha256sum "$copy/$file"; done
  if cmp "${copies[0]}/$file" "${copies[1]}/$file"; then
    echo "identical"
  else
    echo "DIFFERENT: $preset is not reproducible"
    status=1
  fi
done
exit $status
