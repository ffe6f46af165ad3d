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
# the RTC class's API by version: legacy registration, devm registration,
# feature bits, alarm-wakeup-only
rtc_api() { # rtc_api A B C "L D F W": the four values at kernel A.B.C
	builds "$1" "$2" "$3" || true
	# shellcheck disable=SC2086
	if printf '#include "kp_compat.h"\n_Static_assert(FP_RTC_LEGACY_REGISTER == %d && FP_RTC_DEVM_REGISTER == %d && FP_RTC_FEATURE_BITS == %d && FP_RTC_WAKEUP_ONLY == %d, "RTC API");\n' $4 |
		gcc -fsyntax-only -nostdinc -I"$inc" -I"$here/../../driver/linux" -x c - 2>"$work/out.txt"; then
		echo "PASS: $1.$2.$3 RTC API $4"
	else
		echo "FAIL: $1.$2.$3 RTC API not $4: $(cat "$work/out.txt")"
		failures=$((failures + 1))
	fi
}
rtc_api 3 9 0 "1 0 0 0"
rtc_api 5 10 0 "0 0 0 0"
rtc_api 5 11 0 "0 1 0 0"
rtc_api 5 16 0 "0 1 1 0"
rtc_api 6 1 0 "0 1 1 1"
[ $failures -eq 0 ]
