#!/bin/bash
# SPDX-License-Identifier: MIT
#
# kp_compat.h's kernel ranges: the header compiles for 3.9 and for 5.6 and
# later, and stops the build with its #error for anything before 3.9 and
# for 3.10 to 5.5.  Each version is given by a stand-in <linux/version.h>
# (the kernel headers it includes next are empty stand-ins).
#
#   test_compat_versions.sh WORK_DIR
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
work=${1:?usage: test_compat_versions.sh WORK_DIR}
failures=0
inc="$work/include"
mkdir -p "$inc/linux/sched"
for h in compiler sched time wait build_bug sched/signal time64 timekeeping; do
	: >"$inc/linux/$h.h"
done

builds() { # builds A B C: kp_compat.h compiles for kernel A.B.C
	printf '#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + (c))\n#define LINUX_VERSION_CODE KERNEL_VERSION(%d, %d, %d)\n' \
		"$1" "$2" "$3" >"$inc/linux/version.h"
	gcc -fsyntax-only -nostdinc -I"$inc" -x c "$here/../../driver/linux/kp_compat.h" 2>"$work/out.txt"
}

for v in "3 9 0" "3 9 11" "5 6 0" "6 1 0" "6 12 0"; do
	if builds $v; then echo "PASS: $v builds"; else echo "FAIL: $v refused: $(cat "$work/out.txt")"; failures=$((failures + 1)); fi
done
for v in "3 8 13" "3 10 0" "4 19 0" "5 5 19"; do
	if ! builds $v && grep -q 'tested: 3.9, 6.1, 6.12' "$work/out.txt"; then
		echo "PASS: $v refused"
	else
		echo "FAIL: $v not refused"
		failures=$((failures + 1))
	fi
done
[ $failures -eq 0 ]
