#!/usr/bin/env bash
# Line and branch coverage of the driver core (driver/, not driver/linux) and
# of micomflash (programmer/) by the tests: everything `make test` runs but
# the QEMU and kernel-module tests, built with gcov in build-coverage.
#
# The driver module is loaded afresh at every boot and micomflash at every
# run: each unload adds that load's counts to the .gcda files, so the report
# covers every boot and every run of the suite.
#
#   tools/ci/coverage.sh          configure, build, run, report
# Reports:
#   build-coverage/coverage/index.html   per file, with the annotated source
#   build-coverage/coverage.txt          lines not reached, per file
#   build-coverage/coverage-branches.txt branches, per file
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD=${BUILD:-build-coverage}
JOBS=${JOBS:-2}
start=$(date +%s)

if ! command -v gcovr >/dev/null; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "coverage: gcovr is missing (apt-get install gcovr)" >&2
        exit 1
    fi
    apt-get -o DPkg::Lock::Timeout=900 install -y gcovr ||
        { apt-get update && apt-get -o DPkg::Lock::Timeout=900 install -y gcovr; }
fi

cmake -S . -B "$BUILD" -DFP_COVERAGE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j "$JOBS"
# the counts of this run only
find "$BUILD" -name '*.gcda' -delete
rc=0
(cd "$BUILD" && ctest --output-on-failure -j "$JOBS" -LE 'qemu|kernel') || rc=$?

# driver/*.cpp and the headers beside them (not driver/linux), micomflash's
# sources (not its tests)
report=(gcovr --root . --filter 'driver/[^/]*$' --filter 'programmer/[^/]*$'
        --exclude-unreachable-branches --exclude-throw-branches)
"${report[@]}" -j "$JOBS" --json "$BUILD/coverage.json" "$BUILD"
summary=(gcovr --root . --add-tracefile "$BUILD/coverage.json")
mkdir -p "$BUILD/coverage"
"${summary[@]}" --html-details "$BUILD/coverage/index.html" --html-title "frontpanel and micomflash"
"${summary[@]}" --txt "$BUILD/coverage.txt"
"${summary[@]}" --txt "$BUILD/coverage-branches.txt" --branches
"${summary[@]}" --print-summary | tail -3
echo "report: $BUILD/coverage/index.html, $BUILD/coverage.txt"
echo "coverage: $(( $(date +%s) - start )) s"
exit $rc
