#!/usr/bin/env bash
# Everything that checks FwUpgrade, from a fresh Debian 12 machine: installs what is missing,
# builds every preset, runs the unit, oracle and end-to-end tests natively, under the
# sanitizers and (the Windows .exe) under Wine, the production-timing updates, the fuzzers and
# the release artifacts (each release program built once more elsewhere and compared, both
# packages checked).
#
# The builds, the fuzzers and the release test keep the processors busy; the suites mostly wait
# for the emulated unit. So each preset's tests start as soon as it is built and run beside the
# next builds, and whatever computes runs at the lowest priority: the suites keep their timing.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh || exit 1

mkdir -p build
say() { printf '== %d:%02d %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"; }
took() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }
SECONDS=0

# One compiler cache for the five builds: a build and its accelerated twin differ only in the
# files that read the time divisor, so the twin takes the rest from the cache. In build/, so a
# fresh clone starts with an empty one (the figures in the README are a fresh clone's). The
# folder of each build, named in its file-prefix map, changes no object of ours.
if command -v ccache >/dev/null; then
  export CCACHE_DIR="$root/build/ccache" CCACHE_BASEDIR="$root" CCACHE_IGNOREOPTIONS="-ffile-prefix-map=*"
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
fi

suites=() pids=() began=() # the tests running in the background, each in a process group of its own
trap 'for pid in "${pids[@]}"; do kill -- -"$pid" 2>/dev/null; done' EXIT

build() {
  say "build $1"
  local began=$SECONDS
  if ! { nice -n 19 cmake --preset "$1" -DFWUPGRADE_TESTS=ON && nice -n 19 cmake --build --preset "$1" -j2; } \
       >"build/$1-build.log" 2>&1; then
    tail -40 "build/$1-build.log"
    echo "build $1 failed"
    exit 1
  fi
  say "built $1 in $(took $((SECONDS - began)))"
}

start() { # name command...: in the background, its output in build/NAME-tests.log
  say "start $1"
  local name=$1
  shift
  setsid "$@" >"build/$name-tests.log" 2>&1 &
  suites+=("$name") pids+=($!) began+=("$SECONDS")
}

passed=0 failed=0
finish() { # name: waits for it, then shows its output
  local i
  for i in "${!suites[@]}"; do
    [ "${suites[$i]}" = "$1" ] || continue
    wait "${pids[$i]}"
    local status=$?
    say "test $1: $([ $status -eq 0 ] && echo passed || echo FAILED) in $(took $((SECONDS - began[i])))"
    cat "build/$1-tests.log"
    if [ $status -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $1"; fi
    unset "suites[$i]" "pids[$i]" "began[$i]"
  done
}

# The sanitizer build's suite is the longest: it starts first. native-fast next: the Windows
# builds' tests use its emulator. Each twin follows its accelerated build, from the cache; the
# production runs (the real 138 s reboot) start as soon as they can.
build sanitize
start sanitize ctest --preset sanitize --output-on-failure
build native-fast
start native-fast ctest --preset native-fast --output-on-failure
build native
start native ctest --preset native --output-on-failure
build windows-fast
start windows-fast ctest --preset windows-fast --output-on-failure
build windows
start windows ctest --preset windows --output-on-failure
start fuzz nice -n 19 tests/fuzz/run-fuzz.sh 30

# The release test reconfigures and packs the windows and native builds: once their tests are done.
finish native
finish windows
start release nice -n 19 python3 tests/release/release_test.py
for name in native-fast windows-fast sanitize fuzz release; do finish "$name"; done

for prefix in build/wineprefix build/*/wineprefix*; do
  [ ! -d "$prefix" ] || WINEPREFIX="$root/$prefix" wineserver -k 2>/dev/null || true
done
if [ "$failed" -ne 0 ]; then
  # The suites' output is long: what failed, and why, once more at the end.
  echo "== failures"
  for log in build/*-tests.log; do
    awk '/: Failure$/ { n = 6 } /^(FAIL|ERROR): / { n = 60 } /^(=+|Ran [0-9]+ tests? in .*)$/ { n = 0 }
                       n > 0 { print FILENAME ": " $0; n-- }' "$log"
  done | head -200
fi
say "all of it in $(took $SECONDS)"
say "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
