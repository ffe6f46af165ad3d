#!/usr/bin/env bash
# The fuzzing-service build (.clusterfuzzlite/build.sh) works as the service
# runs it: built with clang and libFuzzer through $CC, $CXX, $CFLAGS,
# $CXXFLAGS, $LIB_FUZZING_ENGINE and $OUT, every harness lands in $OUT and
# runs there for a few seconds with its build tree moved away (what it loads
# travels with it).
#
#   tests/fuzz/clusterfuzzlite.sh [WORKDIR]   (default build-clusterfuzzlite)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
dir=$(realpath -m "${1:-$src/build-clusterfuzzlite}")
export CC=clang CXX=clang++
export CFLAGS="-O1 -fno-omit-frame-pointer -gline-tables-only -fsanitize=address -fsanitize-address-use-after-scope -fsanitize=fuzzer-no-link"
export CXXFLAGS="$CFLAGS"
export LIB_FUZZING_ENGINE=-fsanitize=fuzzer
export OUT=$dir/out WORK=$dir/work
export JOBS=${JOBS:-2}
rm -rf "$OUT" && mkdir -p "$dir"
(cd "$src" && .clusterfuzzlite/build.sh) >"$dir/build.log" 2>&1 || { tail -30 "$dir/build.log"; exit 1; }

mv "$WORK" "$WORK.away"
trap 'mv "$WORK.away" "$WORK"' EXIT
failed=0
for src_file in "$src"/tests/fuzz/fuzz_*.cpp; do
    h=$(basename "$src_file" .cpp)
    if [ ! -x "$OUT/$h" ]; then
        echo "$h: not in \$OUT"
        failed=1
        continue
    fi
    mkdir -p "$dir/corpus/$h"
    log=$dir/$h.log
    if (cd "$dir" && ASAN_OPTIONS=detect_leaks=1 "$OUT/$h" -max_total_time=3 -print_final_stats=1 \
            "corpus/$h" "$src/tests/fuzz/corpus/$h") >"$log" 2>&1 &&
       runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log") && [ "${runs:-0}" -gt 0 ]; then
        echo "$h: $runs inputs in 3 s"
    else
        echo "$h: FAILED"
        tail -20 "$log"
        failed=1
    fi
done
exit $failed
