#!/bin/bash
# SPDX-License-Identifier: MIT
#
# DKMS as a user of the driver meets it: the source tree laid out by
# driver/linux/dkms_source.sh in /usr/src, then dkms add, build and install
# for each installed kernel of Debian 12 (6.1) and its backports (6.12), the
# module where DKMS puts it with the right description, and dkms remove
# taking it away again.
#
#   dkms_test.sh WORK_DIR
#
# Needs root (it installs dkms when missing).  Exit status 0 pass, 1 fail,
# 77 skipped (the reason is printed).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
. "$here/lib.sh"
work=${1:?usage: dkms_test.sh WORK_DIR}
mkdir -p "$work"
name=frontpanel
version=0.0-check
src="/usr/src/$name-$version"
failures=0

skip() { echo "SKIPPED: $*"; exit 77; }
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ "$(id -u)" = 0 ] || skip "dkms installs into /usr/src and /lib/modules: needs root"
if ! fp_installed dkms; then
	DEBIAN_FRONTEND=noninteractive fp_apt_get install -y -q dkms >"$work/apt.log" 2>&1 ||
		skip "cannot install dkms (see $work/apt.log)"
fi
releases=()
for k in 6.1 6.12; do
	r=$(fp_matrix_release "$k")
	[ -z "$r" ] || releases+=("$r")
done
[ ${#releases[@]} -gt 0 ] || skip "no Debian 6.1 or 6.12 kernel with headers installed (tests/kernel_check/setup_kernels.sh)"

cleanup() {
	dkms remove "$name/$version" --all >/dev/null 2>&1
	rm -rf "$src" "/var/lib/dkms/$name/$version"
}
cleanup
trap cleanup EXIT

"$top/driver/linux/dkms_source.sh" "$src" "$version" || { echo "FAIL: dkms_source.sh"; exit 1; }
if dkms add "$name/$version" >"$work/add.log" 2>&1; then
	pass "dkms add"
else
	cat "$work/add.log"
	echo "FAIL: dkms add"
	exit 1
fi

for r in "${releases[@]}"; do
	start=$(date +%s)
	if ! dkms build "$name/$version" -k "$r" >"$work/build-$r.log" 2>&1; then
		tail -30 "$work/build-$r.log"
		find "/var/lib/dkms/$name/$version" -name make.log -exec tail -30 {} \;
		fail "dkms build for $r"
		continue
	fi
	echo "dkms build for $r: $(($(date +%s) - start)) seconds"
	if ! dkms install "$name/$version" -k "$r" >"$work/install-$r.log" 2>&1; then
		tail -30 "$work/install-$r.log"
		fail "dkms install for $r"
		continue
	fi
	ko=$(find "/lib/modules/$r/updates/dkms" -name "$name.ko*" 2>/dev/null | head -1)
	desc=$(modinfo -k "$r" -F description "$name" 2>/dev/null)
	if [ -n "$ko" ] && [ "$desc" = "TAVIX LUMETA, MICOM-IR/VFD driver" ] &&
		dkms status "$name/$version" -k "$r" | grep -q ': installed'; then
		pass "dkms build and install for $r ($ko)"
	else
		fail "dkms install for $r: module ${ko:-missing}, description '${desc}', status: $(dkms status "$name/$version" -k "$r")"
	fi
done

if dkms remove "$name/$version" --all >"$work/remove.log" 2>&1; then
	left=$(for r in "${releases[@]}"; do find "/lib/modules/$r/updates/dkms" -name "$name.ko*" 2>/dev/null; done)
	if [ -z "$left" ] && [ -z "$(dkms status "$name/$version")" ]; then
		pass "dkms remove"
	else
		fail "dkms remove left: $left $(dkms status "$name/$version")"
	fi
else
	cat "$work/remove.log"
	fail "dkms remove"
fi

[ $failures -eq 0 ] || exit 1
exit 0
