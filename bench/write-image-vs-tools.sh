#!/usr/bin/env bash
# Times, in one run, FwUpgrade --write-image tx against objcopy and srec_cat turning the same
# TX image file into the same flat binary, and prints the ratios.
# Usage: bench/write-image-vs-tools.sh [BUILD_DIR]   (default build/native)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
image="$build/sample-firmware/K482915_TX_XC7A75_1_04.mcs"
[ -f "$image" ] || image=$(grep -o 'FIRMWARE_DIR:PATH=.*' "$build/CMakeCache.txt" | cut -d= -f2)/K482915_TX_XC7A75_1_04.mcs
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
length=$("$build/FwUpgrade" --write-image tx "$out/fw.bin" | tr -d '\r' | awk '/^Length/ {print $3}')
objcopy -I ihex -O binary --gap-fill 0xFF "$image" "$out/objcopy.bin"
srec_cat "$image" -intel -fill 0xFF 0 "$length" -o "$out/srec.bin" -binary
cmp "$out/fw.bin" "$out/objcopy.bin" && cmp "$out/fw.bin" "$out/srec.bin" || { echo "outputs differ"; exit 1; }
hyperfine --warmup 3 --min-runs 20 --export-json "$out/times.json" --style basic \
  -n FwUpgrade "$build/FwUpgrade --write-image tx $out/fw.bin" \
  -n objcopy "objcopy -I ihex -O binary --gap-fill 0xFF $image $out/objcopy.bin" \
  -n srec_cat "srec_cat $image -intel -fill 0xFF 0 $length -o $out/srec.bin -binary" >/dev/null
python3 - "$out/times.json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
ours = results["FwUpgrade"]
for name, r in results.items():
    print("%-10s mean %7.2f ms  min %7.2f ms" % (name, r["mean"] * 1000, r["min"] * 1000))
for peer in ("objcopy", "srec_cat"):
    print("FwUpgrade is %.1fx faster than %s (by mean), %.1fx (by minimum)"
          % (results[peer]["mean"] / ours["mean"], peer, results[peer]["min"] / ours["min"]))
PY
