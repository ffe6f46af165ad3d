#!/bin/bash
# SPDX-License-Identifier: MIT
#
# The module build and its post-build check, on cores made for the purpose:
#   - a minimal clean core builds and passes the check;
#   - the same core plus a global with a dynamic initialiser builds, but
#     the check fails on its .init_array;
#   - the box's board layer (box) compiles and links for mipsel.
#
#   test_module_check.sh x86_64|mipsel WORK_DIR
# Exit status 0 pass, 1 fail, 77 skipped (no kernel headers to be had).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
arch=${1:?usage: test_module_check.sh x86_64|mipsel WORK_DIR}
work=${2:?}
failures=0

setup_out=$("$top/tests/qemu/setup_env.sh" "$arch")
rc=$?
[ -z "$setup_out" ] || echo "$setup_out"
[ $rc -eq 77 ] && exit 77
[ $rc -eq 0 ] || { echo "FAIL: set-up for $arch (status $rc)"; exit 1; }

mkdir -p "$work/clean" "$work/dynamic_init"
cp "$here/check_fixtures/minimal_core.cpp" "$here/check_fixtures/export_stubs.h" "$work/clean/"
cp "$here/check_fixtures/minimal_core.cpp" "$here/check_fixtures/export_stubs.h" "$here/check_fixtures/dynamic_init.cpp" "$work/dynamic_init/"

if "$top/driver/linux/build_module.sh" --arch "$arch" --out "$work/ko-clean" --core-dir "$work/clean" >"$work/clean.log" 2>&1; then
	echo "PASS: a clean core builds and passes the check"
else
	tail -20 "$work/clean.log"
	echo "FAIL: a clean core was rejected"
	failures=$((failures + 1))
fi

if "$top/driver/linux/build_module.sh" --arch "$arch" --out "$work/ko-dynamic" --core-dir "$work/dynamic_init" >"$work/dynamic.log" 2>&1; then
	echo "FAIL: a core with a dynamic initialiser passed the check"
	failures=$((failures + 1))
elif grep -q 'dynamic_init.o: section .init_array' "$work/dynamic.log" &&
	grep -q 'frontpanel.ko: section .init_array' "$work/dynamic.log"; then
	echo "PASS: the check rejects a dynamic initialiser"
else
	tail -20 "$work/dynamic.log"
	echo "FAIL: a core with a dynamic initialiser failed for another reason"
	failures=$((failures + 1))
fi

if [ "$arch" = mipsel ]; then
	if "$top/driver/linux/build_module.sh" --arch mipsel --board box --out "$work/ko-box" >"$work/box.log" 2>&1; then
		echo "PASS: the box's board layer builds for mipsel"
	else
		tail -20 "$work/box.log"
		echo "FAIL: the box's board layer does not build"
		failures=$((failures + 1))
	fi
fi

[ $failures -eq 0 ] || exit 1
exit 0
