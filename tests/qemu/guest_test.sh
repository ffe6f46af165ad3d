#!/bin/sh
# SPDX-License-Identifier: MIT
#
# /init of the QEMU test guest: loads frontpanel.ko and checks what a user
# of the box sees, then reports the result to the host and ends the guest.
#
# Its output goes to the kernel log (the console, COM1, shows it).
#
# Kernel command line: fp_arch=x86_64|mipsel; fp_micom=model when the host
# runs the micom model (then the clock check runs too), fp_micom=silent when
# it only listens.

PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
exec </dev/null >/dev/kmsg 2>&1

arch=$(sed -n 's/.*fp_arch=\([a-z0-9_]*\).*/\1/p' /proc/cmdline)
micom=$(sed -n 's/.*fp_micom=\([a-z]*\).*/\1/p' /proc/cmdline)
micom_year=$(sed -n 's/.*fp_micom_year=\([0-9]*\).*/\1/p' /proc/cmdline)
passed=0
failed=0

pass() { passed=$((passed + 1)); echo "fp-guest: PASS $*"; }
fail() { failed=$((failed + 1)); echo "fp-guest: FAIL $*"; }
check() { # check NAME COMMAND...
	name=$1
	shift
	if "$@"; then pass "$name"; else fail "$name"; fi
}
log_has() { dmesg | grep -qF -- "$1"; }
log_count() { dmesg | grep -cF -- "$1"; }

proc_entries="vfd deepstandby vfdclock model reboot rescue startrescue settime led enableisp"
all_entries() { for e in $proc_entries; do [ -e "/proc/$e" ] || return 1; done; }
no_entries() { for e in $proc_entries; do [ ! -e "/proc/$e" ] || return 1; done; }
model_is_lumeta() { [ "$(cat /proc/model)" = lumeta ]; }
input_listed() { grep -qF 'N: Name="marlowen remote control (native)"' /proc/bus/input/devices; }
module_loaded() { grep -q "^frontpanel " /proc/modules; }
irq_taken() { grep -q "$1" /proc/interrupts; }

# ---- first start ---------------------------------------------------------
check "insmod" insmod /lib/modules/frontpanel.ko
check "start line" log_has "MICOM FP starting 8652..."
check "model line" log_has "DETECTED TAVIX lumeta MODEL"
check "ten /proc entries" all_entries
check "/proc/model reads lumeta" model_is_lumeta
check "/proc/model read twice" model_is_lumeta
# the legacy read loop: one byte per read() still gives the whole text, once
check "/proc/model read byte by byte" [ "$(dd if=/proc/model bs=1 2>/dev/null)" = lumeta ]
check "/proc/model read from offset 2" [ "$(dd if=/proc/model bs=2 skip=1 2>/dev/null)" = meta ]
check "input device listed" input_listed
check "interrupt FP_ISR taken" irq_taken FP_ISR
if [ "$micom" = model ]; then
	# the time answer set the wall clock through the deferred work item
	sleep 1
	check "clock from the micom ($(date))" [ "$(date +%Y)" = "$micom_year" ]
fi

# ---- an open /dev/micom holds the module ---------------------------------
mknod /dev/micom c 75 0
if (exec 3>/dev/micom) 2>/dev/null; then
	pass "open /dev/micom"
	check "ISP interrupt taken while open" eval '! log_has "cannot register IRQ"'
	if (exec 3>/dev/micom; rmmod frontpanel 2>/dev/null); then
		fail "rmmod refused while /dev/micom is open"
	else
		pass "rmmod refused while /dev/micom is open"
	fi
else
	fail "open /dev/micom"
fi

# ---- stop and second start -----------------------------------------------
check "rmmod" rmmod frontpanel
check "stop line" log_has "MICOM FP exiting ..."
check "no /proc entries after rmmod" no_entries
check "input device gone" eval '! input_listed'
check "interrupt FP_ISR freed" eval '! irq_taken FP_ISR'
check "insmod again" insmod /lib/modules/frontpanel.ko
check "second start line" [ "$(log_count "MICOM FP starting 8652...")" = 2 ]
check "/proc/model after reload" model_is_lumeta
check "input device after reload" input_listed
check "rmmod again" rmmod frontpanel

# ---- major 75 taken ------------------------------------------------------
# (busybox insmod tries finit_module, then init_module: the start runs twice)
check "major 75 taken by the blocker" insmod /lib/modules/major_blocker.ko
if insmod /lib/modules/frontpanel.ko 2>/dev/null; then
	fail "insmod fails while major 75 is taken"
	rmmod frontpanel
else
	pass "insmod fails while major 75 is taken"
fi
check "major message" log_has "MICOM: cannot obtain major number 75"
check "nothing left after the failed start" no_entries
check "module not loaded after the failed start" eval '! module_loaded'
check "blocker removed" rmmod major_blocker

# ---- final start, left loaded for the power-off --------------------------
check "insmod after the failed start" insmod /lib/modules/frontpanel.ko
check "/proc/model after the failed start" model_is_lumeta

# ---- the kernel log must be clean ----------------------------------------
splats=$(dmesg | grep -E 'sleeping function called from invalid context|WARNING:|BUG:|Oops|Call Trace|general protection|Unable to handle|refcount_t|list_add corruption|list_del corruption' | head -5)
if [ -z "$splats" ]; then pass "no kernel warnings"; else fail "kernel warnings: $splats"; fi

echo "fp-guest: $passed passed, $failed failed"
if [ $failed -eq 0 ]; then echo "fp-guest: RESULT pass"; else echo "fp-guest: RESULT fail"; fi

# ---- report and end -------------------------------------------------------
# x86: isa-debug-exit on port 0xf4 ends QEMU with status (value << 1) | 1.
# Malta: the board's power-off, reached through frontpanel's chained hook.
if [ "$arch" = x86_64 ]; then
	if [ $failed -eq 0 ]; then code='\000'; else code='\001'; fi
	printf "$code" | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
fi
poweroff -f
