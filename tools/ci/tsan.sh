#!/usr/bin/env bash
# The simulator tests under ThreadSanitizer (build-tsan).  The process
# contexts of the simulated box are switched in user space on one host thread;
# ThreadSanitizer follows each as a fiber of its own (sim/machine/context.cpp
# tells it of every switch): this run shows that the switches are race-free.
#
#   tools/ci/tsan.sh
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD=${BUILD:-build-tsan}
JOBS=${JOBS:-2}
start=$(date +%s)

# halt_on_error: the first race fails the test that showed it.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:history_size=4}

cmake -S . -B "$BUILD" -DFP_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target sim_tests
echo "tsan: built in $(( $(date +%s) - start )) s"

# sim_tests in $JOBS shards side by side, each a process of its own.
pids=()
for ((i = 0; i < JOBS; i++)); do
    GTEST_TOTAL_SHARDS=$JOBS GTEST_SHARD_INDEX=$i "$BUILD/sim_tests" --gtest_brief=1 \
        >"$BUILD/tsan-shard-$i.log" 2>&1 &
    pids+=($!)
done
rc=0
for ((i = 0; i < JOBS; i++)); do
    wait "${pids[$i]}" || rc=1
    grep -E 'WARNING: ThreadSanitizer|SUMMARY: ThreadSanitizer|FAILED|PASSED|tests ran' \
        "$BUILD/tsan-shard-$i.log" | sed "s/^/shard $i: /" | head -40
done

echo "tsan: $(( $(date +%s) - start )) s"
exit $rc
