#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (default 30 s);
# any crash or sanitizer finding fails. Usage: run-fuzz.sh [SECONDS] [BUILD_DIR]
set -euo pipefail
seconds=${1:-30}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${2:-$root/build/fuzz}
mkdir -p "$out"
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$root/src")
common=("$root/src/base/Console.cpp" "$root/src/image/Flatten.cpp" "$root/src/image/IntelHex.cpp" "$root/src/base/StringOperations.cpp"
        "$root/src/platform/posix/Platform.cpp" "$root/src/platform/posix/Stop.cpp")
clang++ "${flags[@]}" "$here/FlattenFuzz.cpp" "${common[@]}" -o "$out/flatten-fuzz"
clang++ "${flags[@]}" "$here/RepliesFuzz.cpp" "$root/src/product/UnitReplies.cpp" "${common[@]}" -o "$out/replies-fuzz"
for target in flatten:hex replies:replies; do
  name=${target%%:*}; corpus=${target##*:}
  work="$out/corpus-$name"; mkdir -p "$work"
  echo "fuzzing $name for ${seconds}s"
  "$out/$name-fuzz" -max_total_time="$seconds" -max_len=4096 -print_final_stats=0 \
    -artifact_prefix="$out/$name-" "$work" "$here/corpus/$corpus" 2>&1 | tail -n 3
done
echo "fuzzing: no findings"
