#!/usr/bin/env bash
# The whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan), less the tests that boot QEMU or build the kernel module: those
# run the driver in a real kernel, where these sanitizers do not reach; and
# less the long runs (label long), which the plain build covers.
#
#   tools/ci/sanitizers.sh            configure, build, run
#   BUILD=build-x tools/ci/sanitizers.sh
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD=${BUILD:-build-asan}
JOBS=${JOBS:-2}
start=$(date +%s)

# halt_on_error: a UBSan report fails the test, as an ASan one does.
# detect_leaks stays on: the simulator frees what it allocates.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

cmake -S . -B "$BUILD" -DFP_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j "$JOBS"
(cd "$BUILD" && ctest --output-on-failure -j "$JOBS" -LE 'qemu|kernel|long')

echo "sanitizers: $(( $(date +%s) - start )) s"
