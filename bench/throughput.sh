#!/usr/bin/env bash
# The simulator's throughput figures, each the median of RUNS runs of wall
# time (on a loaded machine take more runs):
#   - soak:        simulated hours per wall minute of `fpsim --seed 7 soak --hours 1000`
#   - flash:       wall time of a whole `fpsim flash --build a` process
#   - boot/unload: pairs a second (bench_boot_unload, 200 pairs)
#   - fuzzing:     executions a second of each harness in FUZZ_BUILD, each run
#                  FUZZ_SECONDS from its seed corpus (skipped when FUZZ_BUILD
#                  has no harnesses; tools/ci/fuzz.sh builds them)
#
#   bench/throughput.sh                         build/ and build-fuzz/
#   bench/throughput.sh sim | fuzz              only the one or the other
#   BUILD=b FUZZ_BUILD=bf RUNS=5 FUZZ_SECONDS=10 bench/throughput.sh
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build}
FUZZ_BUILD=${FUZZ_BUILD:-build-fuzz}
RUNS=${RUNS:-3}
FUZZ_SECONDS=${FUZZ_SECONDS:-10}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

what=${1:-all}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# wall seconds of a command, to the microsecond
wall() {
    local t0=$EPOCHREALTIME
    "$@" >/dev/null 2>&1
    awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f\n", b - a }'
}

if [ "$what" != fuzz ]; then
for ((i = 0; i < RUNS; i++)); do wall "$BUILD/fpsim" --seed 7 soak --hours 1000; done >"$tmp/soak"
s=$(median <"$tmp/soak")
echo "soak: 1000 simulated hours in $s s (median of $RUNS): $(awk -v s="$s" 'BEGIN { printf "%.0f", 1000 * 60 / s }') simulated hours a wall minute"

for ((i = 0; i < RUNS; i++)); do wall "$BUILD/fpsim" flash --build a tests/shell/scripts/abc.bin; done >"$tmp/flash"
echo "flash: a whole fpsim flash --build a process $(median <"$tmp/flash") s (median of $RUNS)"

for ((i = 0; i < RUNS; i++)); do "$BUILD/bench_boot_unload" 200; done >"$tmp/boot"
for how in mapped restored; do
    sed -n "s/.*image $how.*, \([0-9]*\) pairs a second/\1/p" "$tmp/boot" >"$tmp/boot.$how"
    echo "boot/unload, image $how: $(median <"$tmp/boot.$how") pairs a second (median of $RUNS)"
done
fi
[ "$what" != sim ] || exit 0

for h in "$FUZZ_BUILD"/fuzz/fuzz_*; do
    [ -x "$h" ] || continue
    name=$(basename "$h")
    for ((i = 0; i < RUNS; i++)); do
        rm -rf "$tmp/corpus" && mkdir "$tmp/corpus"
        ASAN_OPTIONS=detect_leaks=0 "$h" -max_total_time="$FUZZ_SECONDS" -max_len=1024 -print_final_stats=1 \
            "$tmp/corpus" "tests/fuzz/corpus/$name" 2>&1 | sed -n 's/^stat::average_exec_per_sec: *//p'
    done >"$tmp/$name"
    echo "fuzz: $name $(median <"$tmp/$name") executions a second (median of $RUNS, $FUZZ_SECONDS s each)"
done
