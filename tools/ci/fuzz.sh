#!/usr/bin/env bash
# Builds the libFuzzer harnesses (build-fuzz, clang) and runs each for a
# short time on its seed corpus.  A failure leaves the input that shows it in
# build-fuzz/fuzz/findings/<harness>/ and fails the script.
#
#   tools/ci/fuzz.sh                   every harness, FUZZ_SECONDS (20) each
#   FUZZ_SECONDS=3600 tools/ci/fuzz.sh the long run (an hour per harness)
#   tools/ci/fuzz.sh fuzz_frame_path   one harness
#   FUZZ_SECONDS=1200 FUZZ_MIN_RUNS=10000000 tools/ci/fuzz.sh
#                                      the campaign: twenty minutes a harness,
#                                      then on until ten million inputs
#
# Each input starts from a box booted once per process and put back
# (tests/fuzz/fuzz_box.h); FP_FUZZ_FRESH_BOOT=1 boots one per input instead,
# and FP_FUZZ_DIGEST=1 prints a hash of each input's box at its end, so that
# both ways can be compared (-seed=1 -runs=0 over a corpus).
#
# The corpus a run grows stays in build-fuzz/fuzz/corpus/<harness>/ (the seeds
# in tests/fuzz/corpus/ are only read), so a later run goes on from there.
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD=${BUILD:-build-fuzz}
JOBS=${JOBS:-2}
SECONDS_EACH=${FUZZ_SECONDS:-20}
MIN_RUNS=${FUZZ_MIN_RUNS:-0}
start=$(date +%s)

cmake -S . -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DFP_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
    for src in tests/fuzz/fuzz_*.cpp; do
        harnesses+=("$(basename "$src" .cpp)")
    done
fi
cmake --build "$BUILD" -j "$JOBS" --target "${harnesses[@]}"
echo "fuzz: built in $(( $(date +%s) - start )) s"

# A smaller quarantine keeps a long run's memory flat; leaks are looked for
# at the end of each run.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for h in "${harnesses[@]}"; do
    corpus="$BUILD/fuzz/corpus/$h"
    findings="$BUILD/fuzz/findings/$h"
    mkdir -p "$corpus" "$findings"
    log="$BUILD/fuzz/$h.log"
    flags=(-max_len=1024 -timeout=30 -rss_limit_mb=4096 -print_final_stats=1
           -artifact_prefix="$findings/")
    t0=$(date +%s)
    set +e
    "$BUILD/fuzz/$h" -max_total_time="$SECONDS_EACH" "${flags[@]}" \
        "$corpus" "tests/fuzz/corpus/$h" >"$log" 2>&1
    rc=$?
    set -e
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    # Short of the inputs asked for: on from the grown corpus for the rest.
    if [ $rc -eq 0 ] && [ "${runs:-0}" -lt "$MIN_RUNS" ]; then
        set +e
        "$BUILD/fuzz/$h" -runs=$(( MIN_RUNS - runs )) "${flags[@]}" \
            "$corpus" "tests/fuzz/corpus/$h" >>"$log" 2>&1
        rc=$?
        set -e
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | awk '{ s += $1 } END { print s }')
    fi
    elapsed=$(( $(date +%s) - t0 ))
    rate=$(( ${runs:-0} / (elapsed > 0 ? elapsed : 1) ))
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
    taps=$(sed -n 's/^clean taps checked: *//p' "$log" | awk '{ s += $1 } END { print s }')
    [ -n "$taps" ] && cov="$cov, $taps clean taps"
    if [ $rc -eq 0 ]; then
        echo "fuzz: $h: ${runs:-?} inputs in ${elapsed} s, ${rate}/s, $cov, no finding"
    else
        echo "fuzz: $h: FAILED (exit $rc) after ${runs:-?} inputs; input in $findings/"
        grep -E 'INVARIANT BROKEN|ERROR:|SUMMARY:' "$log" | head -5 || true
        failed+=("$h")
    fi
done

echo "fuzz: $(( $(date +%s) - start )) s"
echo "fuzz: $(( ${#harnesses[@]} - ${#failed[@]} )) passed, ${#failed[@]} failed"
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: findings in ${failed[*]} (logs in $BUILD/fuzz/)"
    exit 1
fi
