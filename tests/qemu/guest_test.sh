#!/bin/sh
# SPDX-License-Identifier: MIT
#
# /init of the QEMU test guest: loads frontpanel.ko and checks what a user
# of the box sees, then reports the result to the host and ends the guest.
#
# Its output goes to the kernel log (the console, COM1, shows it).
#
# Kernel command line: fp_arch=x86_64|mipsel; fp_micom=model when the host
# runs the micom model (then the clock, key, time-answer and flash
# programmer checks run too), fp_micom=silent when it only listens.
#
# The host acts when asked: a console line "fp-host: REQUEST" (see
# micom_host.cpp) is carried out by the micom model as soon as it arrives.
# guest_tool prints it for a key only once the event device is open.

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

# ---- the platform interface at its limits ---------------------------------
# Each scenario of the table the guest runs, in the contract module loaded
# afresh (its once-a-minute warning starts anew, as on a fresh box); the
# host compares the lines with the table.  The input ones need the driver.
contract_scenarios() { # contract_scenarios PATTERN
	awk -F ' [|] ' -v p="$1" '!/^#/ && NF == 4 && $4 == "-" && $1 ~ p {print $1}' /etc/platform_contract.table
}
echo "fp-contract: kernel $(uname -r)"
for s in $(contract_scenarios '^[^i]|^irq'); do
	if insmod /lib/modules/contract/frontpanel.ko; then
		guest_tool contract "$s" || fail "contract scenario $s ran"
		rmmod frontpanel || fail "contract module unloads after $s"
	else
		fail "contract module loads for $s"
	fi
done

# a test kernel's own checks readied before the first start (tests/kernel_check)
[ -f /hook/start.sh ] && . /hook/start.sh

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

# a test kernel's own checks of the unloaded module (tests/kernel_check)
[ -f /hook/unloaded.sh ] && . /hook/unloaded.sh

# ---- final start, left loaded for the power-off --------------------------
check "insmod after the failed start" insmod /lib/modules/frontpanel.ko
check "/proc/model after the failed start" model_is_lumeta

# ---- keys and time answers from the micom --------------------------------
# struct input_event records from the remote's event device: a press, the
# micom's repeats while the key is held (every 110 ms, held 300 ms), the
# release; the key byte goes through the key map (0x25: KEY_5, 0x47: KEY_MENU).
time_is() { [ "$(guest_tool date)" = "$1" ]; }
wait_for() { # wait_for SECONDS COMMAND...: polls until COMMAND succeeds
	n=$(($1 * 5))
	shift
	while [ $n -gt 0 ]; do
		"$@" && return 0
		sleep 0.2
		n=$((n - 1))
	done
	"$@"
}
if [ "$micom" = model ]; then
	check "evdev loaded" insmod /lib/modules/evdev.ko
	check "remote key 5: press, repeats, release" guest_tool key 6 30 "key 5F 25 300"
	check "front key menu: press, repeats, release" guest_tool key 139 30 "key 12 47 300"
	# a time answer the micom sends of its own accord sets the kernel clock
	echo "fp-host: time 2034-03-04T05:06:07"
	check "clock follows the micom's time answer" wait_for 20 time_is 2034-03-04T05:06
	echo "fp-guest: date now $(date)"
	# Past 2038 (the micom's clock goes to 2099): a kernel with 64-bit time
	# follows; 3.9 on this 32-bit machine, whose clock ends in January 2038,
	# is left as it is and says so, at most once a minute.
	case $(uname -r) in 3.*) clock_ends_2038=1 ;; *) clock_ends_2038= ;; esac
	beyond_before=$(log_count "beyond this kernel's clock") # the contract's
	echo "fp-host: time 2040-02-29T10:20:30"
	if [ -n "$clock_ends_2038" ]; then
		check "past 2038: clock not set, and said so" wait_for 20 log_has "fp_micom: time 2040-02-29 beyond this kernel's clock, not set"
		check "past 2038: clock left as it was" eval 'guest_tool date | grep -q ^2034-03-04T'
	else
		check "clock follows a time past 2038" wait_for 20 time_is 2040-02-29T10:20
	fi
	echo "fp-host: time 2099-12-31T23:58:00"
	[ -n "$clock_ends_2038" ] || check "clock follows the micom's last year" wait_for 20 time_is 2099-12-31T23:58
	echo "fp-host: time 2034-03-04T05:06:07"
	check "clock follows a time answer after those past 2038" wait_for 20 time_is 2034-03-04T05:06
	[ -z "$clock_ends_2038" ] ||
		check "past 2038 twice in a minute: one message" [ $(($(log_count "beyond this kernel's clock") - beyond_before)) = 1 ]
fi

# ---- the input device's key-code table at its limits (the table's input/) --
grep -q '^evdev ' /proc/modules || insmod /lib/modules/evdev.ko
for s in $(contract_scenarios '^input/'); do
	guest_tool contract "$s" || fail "contract scenario $s ran"
done

# ---- a hostile micom (when the runner asks for it) -------------------------
if [ "$micom" = model ] && grep -q 'fp_hostile=' /proc/cmdline; then . /bin/guest_hostile.sh; fi

# ---- the RTC: hwclock, rtcwake and wakealarm (when the runner added them) --
if [ "$micom" = model ] && [ -x /sbin/hwclock ]; then . /bin/guest_rtc.sh; fi

# ---- LEDs, set clock -------------------------------------------------------
# /proc/led 2: the micom receives LED pattern codes 04 then 05 (the host checks)
check "/proc/led write 2" eval 'echo 2 >/proc/led'
check "/proc/led reads 2" [ "$(cat /proc/led)" = 2 ]
# The kernel's %d (the simulator's test_led.cpp checks the same texts): no
# '+', blanks skipped, a number ends at its first non-digit, no 0x prefix.
led_text_gives() { echo 3 >/proc/led && printf '%s\n' "$1" >/proc/led && [ "$(cat /proc/led)" = "$2" ]; }
check "/proc/led '+2' reads 0" led_text_gives '+2' 0
check "/proc/led ' 2' reads 2" led_text_gives ' 2' 2
check "/proc/led '2x' reads 2" led_text_gives '2x' 2
check "/proc/led '0x2' reads 0" led_text_gives '0x2' 0
check "/proc/settime write" eval "printf '20131206153000+1\n' >/proc/settime"

# ---- micomflash, the real programs (when the runner built them) -----------
if [ "$micom" = model ] && [ -f /bin/guest_flash.sh ]; then . /bin/guest_flash.sh; fi

# ---- /dev/micom against the micom's flash programmer ---------------------
# /proc/enableisp while /dev/micom is closed: the normal firmware hands over
# to its flash programmer; then checksum and block 0 programming on COM3.
if [ "$micom" = model ]; then
	check "/proc/enableisp write" eval 'echo 1 >/proc/enableisp'
	check "/dev/micom: checksum, block 0 program and verify" guest_tool isp 0
fi

# a test kernel's own checks at the end (tests/kernel_check)
[ -f /hook/end.sh ] && . /hook/end.sh

# ---- the kernel log must be clean ----------------------------------------
splats=$(dmesg | grep -E 'sleeping function called from invalid context|WARNING:|BUG:|UBSAN:|Invalid wait context|Oops|Call Trace|general protection|Unable to handle|refcount_t|list_add corruption|list_del corruption' | head -5)
if [ -z "$splats" ]; then pass "no kernel warnings"; else fail "kernel warnings: $splats"; fi

echo "fp-guest: $passed passed, $failed failed"
if [ $failed -eq 0 ]; then echo "fp-guest: RESULT pass"; else echo "fp-guest: RESULT fail"; fi

# ---- report and end -------------------------------------------------------
# "poweroff -f" runs frontpanel's power-off hook (the micom gets its
# power-off frame), then the board's power-off chained behind it.  Malta has
# one; the pc with acpi=off has none, so debug_exit plays it: isa-debug-exit
# on port 0xf4 ends QEMU with status (status << 1) | 1.
if [ "$arch" = x86_64 ]; then
	if [ $failed -eq 0 ]; then status=0; else status=1; fi
	if ! insmod /lib/modules/debug_exit.ko status=$status; then
		echo "fp-guest: debug_exit not loaded: ending without the power-off hook"
		printf '\001' | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
	fi
fi
poweroff -f
