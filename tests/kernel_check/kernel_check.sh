#!/bin/bash
# SPDX-License-Identifier: MIT
#
# frontpanel.ko under the kernel's own checkers and across kernels
# (make kernel-check):
#
#   kernel_check.sh BUILD_DIR [PART...]
#
# Parts (all by default, in this order):
#   debug    the debug kernel (build_debug_kernel.sh: lockdep, the
#            sleep-in-atomic check, KASAN, UBSAN, kmemleak, debug objects,
#            fault injection); the post-build check still refuses a C++
#            dynamic initialiser under KASAN; the full QEMU guest test on it
#            with the checks of guest/ (kmemleak after the stops, the
#            failing-allocation sweeps over insmod, open of /dev/micom and
#            the input device's registration) and a hostile micom (below);
#            any checker report fails
#   matrix   the full guest test on Debian's 6.1, 6.1 PREEMPT_RT, 6.12 and
#            6.12 PREEMPT_RT (x86-64) and on 6.1 Malta (mipsel), the module
#            built with warnings as errors; 6.1 PREEMPT_RT with a hostile
#            micom
#   linux39  the box's kernel generation: Linux 3.9 for Malta (MIPS32r2,
#            uniprocessor, PREEMPT) built by build_linux39.sh from the tree
#            of $FP_LINUX39_SRC or the cache; the full guest test on it,
#            with a hostile micom; the
#            box variant built against it with warnings as errors and its
#            undefined symbols checked (check_box_symbols.sh, which must
#            also refuse that .ko against 6.1 Malta's exports)
#   style    kernel_style.sh: checkpatch --strict and sparse (C=2) on the C
#            glue, every message one that tests/kernel_check/README.md accepts
#   dkms     dkms_test.sh: dkms add, build, install and remove
#
# A hostile micom (tests/qemu/README.md): for FP_HOSTILE_SECONDS (90) the
# micom sends the primary-line fuzz corpora and seeded random streams while
# the guest uses the driver, then talks nonsense on the ISP link while the
# guest drives /dev/micom at random; afterwards a key press and the clock
# must come through, and the module must unload.  On the debug kernel the
# irqsoff tracer gives the longest interrupts-off time, polite and hostile.
#
# The parts run in two lanes side by side, each a process of its own: debug
# (the longest part: the debug kernel's build and its slow guest), and
# matrix, linux39, style then dkms.  Each part's output is shown whole, in
# the order the parts were given, once it and the parts before it are done.
# FP_KERNEL_CHECK_LANES=1 runs them one after the other instead.
#
# BUILD_DIR is the project's CMake build folder (for micom_host and
# micomflash_expected); the runs' logs go to BUILD_DIR/kernel-check/.  A
# part that cannot set itself up here (not root, a package not to be had)
# reports itself skipped with the reason.  Ends with "kernel-check: N
# passed, N failed, N skipped"; exit status 1 when anything failed.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
. "$here/lib.sh"
build=$(cd "${1:?usage: kernel_check.sh BUILD_DIR [debug|matrix|linux39|style|dkms...]}" && pwd)
shift
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(debug matrix linux39 style dkms)
work="$build/kernel-check"
mkdir -p "$work"
micom_host="$build/micom_host"
hostile=${FP_HOSTILE_SECONDS:-90}

# result pass|fail|skip WHAT: a verdict, counted in the part's tally file
result() {
	case "$1" in
	pass) echo "PASS: $2" ;;
	fail) echo "FAIL: $2" ;;
	skip) echo "SKIPPED: $2" ;;
	esac
	echo "$1" >>"$tally"
}

seconds_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.0f", b - a }'; }

# run_guest NAME ARCH [VAR=VALUE...]: the QEMU guest test with those settings
run_guest() {
	local name=$1 arch=$2 start rc
	shift 2
	start=$(date +%s.%N)
	env FP_WERROR=1 "$@" "$top/tests/qemu/run_qemu_test.sh" "$arch" "$micom_host" "$work/$name" \
		>"$work/$name.log" 2>&1
	rc=$?
	grep -E '^(build-seconds|text-bytes|qemu-seconds|qemu-mipsel|SKIPPED|hostile:)|fp-guest: sweep' "$work/$name.log" | sed "s/^/  $name: /"
	case $rc in
	0) result pass "guest test on $name ($(seconds_since "$start") s)" ;;
	77) result skip "guest test on $name: $(grep -m1 '^SKIPPED' "$work/$name.log" | cut -d' ' -f2-)" ;;
	*)
		grep -E '^(FAIL|----|RESULT)|fp-guest: FAIL|^\[' "$work/$name.log" | head -60 | sed "s/^/  $name: /"
		result fail "guest test on $name (log: $work/$name.log)"
		;;
	esac
}

# kernel_ready NAME SCRIPT KEY: runs a kernel's build script, shows its
# output and reports it; sets tree to the value of its line KEY.  False
# when the kernel is not there (skipped or failed).
kernel_ready() {
	local name=$1 script=$2 key=$3 start out rc
	start=$(date +%s.%N)
	out=$("$here/$script")
	rc=$?
	echo "$out" | sed 's/^/  /'
	if [ $rc -eq 77 ]; then
		result skip "$name: $(grep -m1 '^SKIPPED' <<<"$out" | cut -d' ' -f2-)"
		return 1
	elif [ $rc -ne 0 ]; then
		result fail "$name build"
		return 1
	fi
	tree=$(awk -v k="$key" '$1 == k {print $2}' <<<"$out")
	result pass "$name ready ($(seconds_since "$start") s)"
}

[ -x "$micom_host" ] || { echo "kernel_check.sh: no $micom_host (make build first)" >&2; exit 2; }

# run_part PART: one part, its verdicts counted in $tally
run_part() {
	local part=$1
	case "$part" in
	debug)
		kernel_ready "debug kernel" build_debug_kernel.sh debug-kernel-dir || return

		# the post-build check under KASAN: the sanitizer's constructors
		# pass (the module's own objects have them), a C++ dynamic
		# initialiser still does not (its build also fails at modpost:
		# the kernel has no __asan_before_dynamic_init)
		fixtures="$top/tests/module/check_fixtures"
		mkdir -p "$work/dynamic_init"
		cp "$fixtures/minimal_core.cpp" "$fixtures/export_stubs.h" "$fixtures/dynamic_init.cpp" "$work/dynamic_init/"
		"$top/driver/linux/build_module.sh" --arch x86_64 --kdir "$tree" --out "$work/ko-dynamic" \
			--core-dir "$work/dynamic_init" >"$work/dynamic_init.log" 2>&1
		rc=$?
		"$top/tools/check_module.sh" "$work/ko-dynamic/core/dynamic_init.o" >>"$work/dynamic_init.log" 2>&1
		if [ $rc -ne 0 ] && grep -q 'dynamic_init.o: section .init_array (constructors: _GLOBAL__sub_I' "$work/dynamic_init.log"; then
			result pass "the check refuses a dynamic initialiser on the KASAN kernel"
		else
			tail -20 "$work/dynamic_init.log"
			result fail "a dynamic initialiser on the KASAN kernel (log: $work/dynamic_init.log)"
		fi

		# the guest's additions: scripts, fail_tool, the power-off probe
		hook="$work/debug-hook"
		rm -rf "$hook"
		mkdir -p "$hook/probe"
		cp "$here"/guest/*.sh "$hook/"
		cp "$here/guest/pm_probe.c" "$here/guest/Kbuild" "$hook/probe/"
		if ! gcc -static -O2 -Wall -Wextra -Werror -o "$hook/fail_tool" "$here/guest/fail_tool.c" >"$work/hook.log" 2>&1 ||
			! make -C "$tree" M="$hook/probe" modules >>"$work/hook.log" 2>&1; then
			cat "$work/hook.log"
			result fail "the debug guest's tools do not build"
			return
		fi
		mv "$hook/probe/pm_probe.ko" "$hook/"
		rm -rf "$hook/probe"
		# timestamps, room for the sweeps' log; failslab's cache filter then
		# lets through every cache but kmemleak's and the debug objects' own.
		# nolapic: the uniprocessor guest takes its tick from the PIT
		# through the 8259 and runs irq_work from that tick.  With the local
		# APIC, irq_work is raised by a self-IPI alone: the tick never looks
		# at it, and no later work raises another while it waits, so a
		# single lost IPI stops them all.  The boot's RCU-tasks self-test
		# wakes its grace-period thread that way and would then sleep
		# forever in an idle guest whose tick goes on.
		debug_cmdline="printk.time=1 log_buf_len=4M nolapic slub_debug=A;-,kmemleak_object,kmemleak_scan_area,debug_objects_cache"
		run_guest debug x86_64 FP_KDIR="$tree" FP_KERNEL_IMAGE="$tree/arch/x86/boot/bzImage" \
			FP_MODULE_DIR="$tree" FP_QEMU_MEM=512 FP_QEMU_APPEND="$debug_cmdline" \
			FP_GUEST_HOOK="$hook" FP_QEMU_TIMEOUT="${FP_DEBUG_TIMEOUT:-1800}" FP_HOSTILE="$hostile"
		ctors=$(readelf -rW "$work/debug/ko/frontpanel.ko" 2>/dev/null | awk '/^Relocation section/ {on = ($3 == "'"'"'.rela.init_array'"'"'")} on && /R_X86_64_64/' | wc -l)
		if [ "$ctors" -gt 0 ]; then
			result pass "the check accepts KASAN's $ctors constructors in frontpanel.ko"
		else
			result fail "no KASAN constructors in the debug kernel's frontpanel.ko: are the objects instrumented?"
		fi
		;;
	matrix)
		setup=$("$here/setup_kernels.sh")
		echo "$setup" | sed 's/^/  /'
		for k in $fp_matrix_kernels; do
			r=$(awk -v k="$k" '$1 == "ready" && $2 == k {print $3}' <<<"$setup")
			if [ -z "$r" ]; then
				result skip "guest test on $k: $(grep -m1 "^SKIPPED: $k:" <<<"$setup" | cut -d: -f3- || echo "not installed")"
				continue
			fi
			extra=()
			[ "$k" = 6.1-rt ] && extra=(FP_HOSTILE="$hostile")
			run_guest "$k" x86_64 FP_KDIR="/usr/src/linux-headers-$r" FP_KERNEL_IMAGE="/boot/vmlinuz-$r" \
				FP_MODULE_DIR="/lib/modules/$r" "${extra[@]}"
		done
		run_guest 6.1-malta mipsel
		;;
	linux39)
		kernel_ready "Linux 3.9 kernel" build_linux39.sh linux39-dir || return
		run_guest 3.9-malta mipsel FP_KDIR="$tree" FP_KERNEL_IMAGE="$tree/vmlinux" FP_MODULE_DIR="$tree" \
			FP_HOSTILE="$hostile"

		# the box variant: builds with warnings as errors and needs only
		# the SoC calls and what the kernel exports
		"$top/driver/linux/build_module.sh" --arch mipsel --board box --kdir "$tree" --werror \
			--out "$work/ko-box-3.9" >"$work/box-3.9.log" 2>&1
		rc=$?
		check=$top/tools/check_box_symbols.sh
		ko="$work/ko-box-3.9/frontpanel.ko"
		if [ $rc -eq 0 ] && "$check" --tool-prefix mipsel-linux-gnu- "$ko" "$tree" >>"$work/box-3.9.log" 2>&1; then
			grep -E '^(text-bytes|box-symbols)' "$work/box-3.9.log" | sed 's/^/  box: /'
			result pass "box variant on 3.9: warnings as errors, undefined symbols"
		else
			tail -20 "$work/box-3.9.log"
			result fail "box variant on 3.9 (log: $work/box-3.9.log)"
		fi
		malta61=$(fp_kdir mipsel)
		if [ -z "$malta61" ]; then
			result skip "the symbol check against 6.1 Malta: no 6.1 Malta headers (tests/qemu/setup_env.sh mipsel)"
		elif [ -f "$ko" ] && ! "$check" --tool-prefix mipsel-linux-gnu- "$ko" "$malta61" >"$work/box-6.1.log" 2>&1 &&
			grep -q 'create_proc_entry is neither' "$work/box-6.1.log"; then
			result pass "the symbol check refuses the 3.9 box module against 6.1's exports"
		else
			cat "$work/box-6.1.log" 2>/dev/null
			result fail "the symbol check let the 3.9 box module pass against 6.1's exports"
		fi
		;;
	style)
		"$here/kernel_style.sh" "$work/style" >"$work/style.log" 2>&1
		rc=$?
		sed 's/^/  /' "$work/style.log" | tail -20
		case $rc in
		0) result pass "checkpatch and sparse on the glue" ;;
		77) result skip "style: $(grep -m1 '^SKIPPED' "$work/style.log" | cut -d' ' -f2-)" ;;
		*) result fail "checkpatch or sparse on the glue (log: $work/style.log)" ;;
		esac
		;;
	dkms)
		start=$(date +%s.%N)
		"$here/dkms_test.sh" "$work/dkms" >"$work/dkms.log" 2>&1
		rc=$?
		sed 's/^/  dkms: /' "$work/dkms.log" | grep -E 'PASS|FAIL|SKIP|seconds' | head -30
		case $rc in
		0) result pass "dkms add, build, install, remove ($(seconds_since "$start") s)" ;;
		77) result skip "dkms: $(grep -m1 '^SKIPPED' "$work/dkms.log" | cut -d' ' -f2-)" ;;
		*) tail -30 "$work/dkms.log"; result fail "dkms (log: $work/dkms.log)" ;;
		esac
		;;
	esac
}

for part in "${parts[@]}"; do
	case "$part" in
	debug | matrix | linux39 | style | dkms) ;;
	*) echo "kernel_check.sh: unknown part $part" >&2; exit 2 ;;
	esac
done

# Two lanes: the guests are single-threaded QEMU processes and much of a
# part is waiting (on the micom's answers, a hostile minute, apt), so two
# of them share two cores well.  The kernel builds are niced.  What the
# lanes share is locked where it is made: setup_env.sh's cache, the kernel
# caches, apt (fp_apt_get).
lane_a=() lane_b=()
for part in "${parts[@]}"; do
	case "$part" in
	debug) lane_a+=("$part") ;;
	*) lane_b+=("$part") ;;
	esac
done
[ "${FP_KERNEL_CHECK_LANES:-2}" = 1 ] && lane_a=("${parts[@]}") lane_b=()

run_lane() { # run_lane PART...: the parts in turn, each into its own files
	local part
	for part in "$@"; do
		tally="$work/part-$part.tally"
		: >"$tally"
		run_part "$part" >"$work/part-$part.out" 2>&1
		touch "$work/part-$part.done"
	done
}

alive() { # alive PID: running, not a zombie waiting to be reaped
	local state
	state=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $state != Z* ]]
}

for part in "${parts[@]}"; do rm -f "$work/part-$part".{out,tally,done}; done
declare -A lane_of
run_lane "${lane_a[@]}" &
for part in "${lane_a[@]}"; do lane_of[$part]=$!; done
if [ ${#lane_b[@]} -gt 0 ]; then
	run_lane "${lane_b[@]}" &
	for part in "${lane_b[@]}"; do lane_of[$part]=$!; done
fi
trap 'kill "${lane_of[@]}" 2>/dev/null; exit 130' INT TERM

# each part's output as soon as it and those before it are done
passed=0 failed=0 skipped=0
for part in "${parts[@]}"; do
	while [ ! -e "$work/part-$part.done" ]; do
		alive "${lane_of[$part]}" || [ -e "$work/part-$part.done" ] || break
		sleep 2
	done
	cat "$work/part-$part.out" 2>/dev/null
	if [ ! -e "$work/part-$part.done" ]; then
		echo "FAIL: part $part did not finish"
		failed=$((failed + 1))
		continue
	fi
	passed=$((passed + $(grep -c '^pass$' "$work/part-$part.tally")))
	failed=$((failed + $(grep -c '^fail$' "$work/part-$part.tally")))
	skipped=$((skipped + $(grep -c '^skip$' "$work/part-$part.tally")))
done
wait

echo "kernel-check: $passed passed, $failed failed, $skipped skipped"
[ $failed -eq 0 ]
