#!/bin/sh
# SPDX-License-Identifier: MIT
#
# tools/check_version.sh sees a release that one place states differently:
# on a copy of what it reads, a debian/changelog a release behind fails the
# check and is named; put back, the same copy passes.
#
#   version_check_test.sh WORK_DIR
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:?usage: version_check_test.sh WORK_DIR}
rm -rf "$work" && mkdir -p "$work/tools" || exit 1
cp -r "$top/VERSION" "$top/debian" "$top/driver" "$work/" &&
	cp "$top/tools/check_version.sh" "$top/tools/check_module.sh" "$work/tools/" || exit 1
failed=0

sed -i '1s/(\([^)]*\))/(\1~older)/' "$work/debian/changelog"
if "$work/tools/check_version.sh" >"$work/out" 2>&1 || ! grep -q "debian/changelog says '.*~older'" "$work/out"; then
	echo "FAIL: a changelog a release behind was not caught"; cat "$work/out"; failed=1
fi
cp "$top/debian/changelog" "$work/debian/changelog"
if ! "$work/tools/check_version.sh" >"$work/out" 2>&1; then
	echo "FAIL: the same release everywhere did not pass"; cat "$work/out"; failed=1
fi
[ $failed -eq 0 ] && echo "PASS: a differing release fails the check, an agreeing one passes"
exit $failed
