#!/usr/bin/env bash
# Everything that checks FwUpgrade, from a fresh Debian 12 machine: installs what is missing,
# builds every preset, runs the unit, oracle and end-to-end tests natively, under the
# sanitizers and (the Windows .exe) under Wine, the production-timing updates, the fuzzers and
# the release artifacts (two builds compared, both packages checked).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh || exit 1

mkdir -p build
for preset in native native-fast sanitize windows windows-fast; do
  echo "== build $preset"
  if ! { cmake --preset "$preset" -DFWUPGRADE_TESTS=ON && cmake --build --preset "$preset" -j2; } \
       >"build/$preset-build.log" 2>&1; then
    tail -40 "build/$preset-build.log"
    echo "build $preset failed"
    exit 1
  fi
done

passed=0 failed=0
record() { if [ "$2" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $1"; fi; }

# The native production run waits the real 138 s reboot; it shares nothing with the others.
ctest --preset native --output-on-failure >build/native-tests.log 2>&1 &
native_pid=$!

for preset in native-fast sanitize windows-fast windows; do
  echo "== test $preset"
  ctest --preset "$preset" --output-on-failure 2>&1 | tee "build/$preset-tests.log"
  record "$preset" "${PIPESTATUS[0]}"
done

echo "== fuzz"
tests/fuzz/run-fuzz.sh 30
record fuzz $?

wait "$native_pid"
status=$?
echo "== test native"
cat build/native-tests.log
record native "$status"

# Alone on the machine: it builds twice more and packs the windows and native builds.
echo "== release: reproducible programs, packages, refused images"
python3 tests/release/release_test.py 2>&1 | tee build/release-tests.log
record release "${PIPESTATUS[0]}"

WINEPREFIX="$root/build/wineprefix" wineserver -k 2>/dev/null || true
if [ "$failed" -ne 0 ]; then
  # The suites' output is long: what failed, and why, once more at the end.
  echo "== failures"
  for log in build/*-tests.log; do
    awk '/: Failure$/ { n = 6 } /^(FAIL|ERROR): / { n = 60 } /^(=+|Ran [0-9]+ tests? in .*)$/ { n = 0 }
                       n > 0 { print FILENAME ": " $0; n-- }' "$log"
  done | head -200
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
