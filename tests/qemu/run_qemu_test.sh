#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Boots frontpanel.ko in QEMU against the micom model and checks it.
#
#   run_qemu_test.sh x86_64|mipsel MICOM_HOST WORK_DIR
#
# Sets up what is missing (setup_env.sh), builds the module, the major-75
# blocker, on x86 the debug-exit power-off and the static guest_tool, packs
# a busybox initramfs with guest_test.sh as /init, and boots
# qemu-system-x86_64 (pc, TCG, acpi=off) or qemu-system-mipsel (Malta; Debian's
# QEMU rebuilt with the CPU timer's lock, build_qemu_mipsel.sh) with
# COM2 (0x2F8, IRQ 3) and COM3 (0x3E8, IRQ 5: IRQ 4 is the console's) wired
# to MICOM_HOST over Unix-socket chardevs.  The console (COM1) is a third
# socket that MICOM_HOST reads for the guest's requests (a key press, a time
# answer); QEMU also writes it to console.log.
#
# Passes when the guest reports success, QEMU ended by itself within its
# time-out through frontpanel's power-off hook (chained to the board's
# power-off on Malta, to debug_exit on x86), and the micom received, byte
# for byte: the boot-information and clock requests after each start, the
# LED, set-clock and hand-over frames, and the power-off frame last; with
# the micom model, its flash block 0 must hold what the guest programmed
# and the checksum the guest read must be the flash's.  With the micom
# model the guest also runs util-linux's hwclock and rtcwake, Debian's
# builds for its architecture (rtc_tools.sh), on the driver's RTC
# (guest_rtc.sh), and the power-off frame carries the wake-up time they left.
#
# Exit status: 0 pass, 1 fail, 77 skipped (the reason is printed).
# Prints the figures: module build time, .ko text size, the largest stack
# frame of the core, the QEMU wall time.
#
# Another x86-64 kernel than Debian's generic 6.1 (tests/kernel_check runs the
# module on its debug kernel and a matrix of Debian's kernels):
#   FP_KDIR          its headers (or build tree)
#   FP_KERNEL_IMAGE  the kernel to boot
#   FP_MODULE_DIR    where its evdev.ko is (drivers/input/evdev.ko[.xz|.zst]
#                    below it, or directly in it)
#   FP_QEMU_MEM      the guest's memory in MiB (default 256)
#   FP_QEMU_APPEND   more of the kernel command line
#   FP_GUEST_HOOK    a folder put into the guest as /hook: guest_test.sh
#                    sources /hook/unloaded.sh where the module is not
#                    loaded (before its last start) and /hook/end.sh before
#                    its verdict
#   FP_WERROR=1      build the module with warnings as errors
#   FP_HOSTILE=N     the micom turns hostile for N seconds after the key
#                    and clock checks (guest_hostile.sh): the fuzz corpora
#                    of the primary-line harnesses and seeded random streams
#                    on the primary link, then nonsense on the ISP link;
#                    FP_HOSTILE_SEED (1) seeds both sides
#   FP_QEMU_MIPSEL   the qemu-system-mipsel to boot Malta on (by default
#                    build_qemu_mipsel.sh's, built once and cached)
#   FP_KO            a frontpanel.ko built elsewhere (by DKMS, for FP_KDIR's
#                    kernel; .ko, .ko.xz or .ko.zst): the guest loads it
#                    and none is built
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
arch=${1:?usage: run_qemu_test.sh x86_64|mipsel MICOM_HOST WORK_DIR}
micom_host=${2:?}
work=${3:?}
hostile=${FP_HOSTILE:-}
hostile_seed=${FP_HOSTILE_SEED:-1}
qemu_timeout=${FP_QEMU_TIMEOUT:-$((300 + ${hostile:-0} * 2))}
micom_year=2031

mkdir -p "$work"
work=$(cd "$work" && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# ---- set-up ----------------------------------------------------------------
setup_out=$("$here/setup_env.sh" "$arch")
rc=$?
[ -z "$setup_out" ] || echo "$setup_out"
[ $rc -eq 77 ] && exit 77
[ $rc -eq 0 ] || { echo "FAIL: set-up for $arch (status $rc)"; exit 1; }
# Malta boots on Debian's QEMU rebuilt with the CPU timer's lock
# (build_qemu_mipsel.sh); where it cannot be built, on Debian's own
if [ "$arch" = mipsel ]; then
	if [ -n "${FP_QEMU_MIPSEL:-}" ]; then
		qemu_mipsel=$FP_QEMU_MIPSEL
	else
		qemu_out=$("$here/build_qemu_mipsel.sh")
		rc=$?
		qemu_mipsel=$(echo "$qemu_out" | sed -n 's/^qemu-mipsel //p')
		case $rc in
		0) echo "$qemu_out" | grep -v '^qemu-mipsel /' ;;
		77)
			qemu_mipsel="qemu-system-mipsel"
			echo "qemu-mipsel: Debian's, without the CPU timer's lock: ${qemu_out#SKIPPED: }"
			;;
		*) echo "$qemu_out"; echo "FAIL: building qemu-system-mipsel (status $rc)"; exit 1 ;;
		esac
	fi
fi
kdir=${FP_KDIR:-$(fp_kdir "$arch")}
kernel=${FP_KERNEL_IMAGE:-$(fp_kernel_image "$arch")}
busybox=$(fp_busybox "$arch")

# ---- build -----------------------------------------------------------------
if [ -n "${FP_KO:-}" ]; then
	rm -rf "$work/ko" && mkdir -p "$work/ko"
	case "$FP_KO" in
	*.ko) cp "$FP_KO" "$work/ko/frontpanel.ko" ;;
	*.ko.xz) xz -dc "$FP_KO" >"$work/ko/frontpanel.ko" ;;
	*.ko.zst) zstd -qdc "$FP_KO" >"$work/ko/frontpanel.ko" ;;
	*) false ;;
	esac || { echo "FAIL: cannot take the module $FP_KO"; exit 1; }
	echo "module $FP_KO"
elif ! "$fp_top/driver/linux/build_module.sh" --arch "$arch" --kdir "$kdir" --out "$work/ko" >"$work/build.log" 2>&1; then
	tail -40 "$work/build.log"
	echo "FAIL: module build for $arch"
	exit 1
else
	grep -E '^(build-seconds|text-bytes|check:)' "$work/build.log"
fi

make_args=()
[ "$arch" = mipsel ] && make_args=(ARCH=mips CROSS_COMPILE=mipsel-linux-gnu-)
mkdir -p "$work/blocker"
cp "$here/major_blocker/major_blocker.c" "$here/major_blocker/Kbuild" "$work/blocker/"
if ! make -C "$kdir" M="$work/blocker" "${make_args[@]}" modules >"$work/blocker.log" 2>&1; then
	tail -20 "$work/blocker.log"
	echo "FAIL: blocker module build for $arch"
	exit 1
fi

# the platform interface at its limits: the glue with the contract's core
# (tests/contract) in place of the driver's, loaded before the driver
if ! "$fp_top/driver/linux/build_module.sh" --arch "$arch" --kdir "$kdir" --out "$work/contract" \
	--core-dir "$fp_top/tests/contract" >"$work/contract.log" 2>&1; then
	tail -20 "$work/contract.log"
	echo "FAIL: contract module build for $arch"
	exit 1
fi

if [ "$arch" = x86_64 ]; then
	mkdir -p "$work/debug_exit"
	cp "$here/debug_exit/debug_exit.c" "$here/debug_exit/Kbuild" "$work/debug_exit/"
	if ! make -C "$kdir" M="$work/debug_exit" modules >"$work/debug_exit.log" 2>&1; then
		tail -20 "$work/debug_exit.log"
		echo "FAIL: debug_exit module build"
		exit 1
	fi
fi

if [ -n "$hostile" ]; then
	# reads the clock through the exports: linked against this frontpanel.ko
	mkdir -p "$work/clock_reader"
	cp "$here/clock_reader/clock_reader.c" "$here/clock_reader/Kbuild" "$work/clock_reader/"
	if [ ! -f "$work/ko/Module.symvers" ] ||
		! make -C "$kdir" M="$work/clock_reader" KBUILD_EXTRA_SYMBOLS="$work/ko/Module.symvers" \
			"${make_args[@]}" modules >"$work/clock_reader.log" 2>&1; then
		tail -20 "$work/clock_reader.log" 2>/dev/null
		echo "FAIL: clock_reader module build for $arch (FP_HOSTILE needs the module built here)"
		exit 1
	fi
fi

case "$arch" in
x86_64) cc=gcc ;;
mipsel) cc=mipsel-linux-gnu-gcc ;;
esac
if ! $cc -static -O2 -Wall -Wextra -Werror -I"$fp_top/driver" -o "$work/guest_tool" \
	"$here/guest_tool.c" "$here/guest_contract.c" >"$work/guest_tool.log" 2>&1; then
	cat "$work/guest_tool.log"
	echo "FAIL: guest_tool build for $arch"
	exit 1
fi

largest=$(cat "$work"/ko/core/*.su 2>/dev/null | sort -t$'\t' -k2 -n | tail -1)
echo "largest-stack-frame ${largest:-none}"

# ---- initramfs --------------------------------------------------------------
root="$work/initramfs"
rm -rf "$root"
mkdir -p "$root"/{bin,proc,sys,dev,etc,lib/modules/contract}
cp "$busybox" "$root/bin/busybox"
for applet in sh mount cat grep sed awk dmesg insmod rmmod mknod date sleep dd printf poweroff head echo; do
	ln -s busybox "$root/bin/$applet"
done
cp "$here/guest_test.sh" "$root/init"
chmod +x "$root/init"
cp "$work/ko/frontpanel.ko" "$work/blocker/major_blocker.ko" "$root/lib/modules/"
cp "$work/guest_tool" "$root/bin/"
cp "$work/contract/frontpanel.ko" "$root/lib/modules/contract/"
cp "$fp_top/tests/contract/platform_contract.table" "$root/etc/"
# util-linux's hwclock and rtcwake for the RTC checks (guest_rtc.sh)
if "$micom_host" --has-model; then
	"$here/rtc_tools.sh" "$arch" "$root"
	case $? in
	0) cp "$here/guest_rtc.sh" "$root/bin/" ;;
	77) ;;
	*) echo "FAIL: hwclock and rtcwake for $arch"; exit 1 ;;
	esac
fi
if [ -n "$hostile" ]; then
	cp "$here/guest_hostile.sh" "$root/bin/"
	cp "$work/clock_reader/clock_reader.ko" "$root/lib/modules/"
fi
# the input event device of the remote control: evdev is a module in every
# kernel used here (compressed in some)
evdev=$(find "${FP_MODULE_DIR:-$(fp_module_dir "$arch")}" -path '*drivers/input/evdev.ko*' 2>/dev/null | head -1)
case "$evdev" in
*.ko) cp "$evdev" "$root/lib/modules/" ;;
*.ko.xz) xz -dc "$evdev" >"$root/lib/modules/evdev.ko" ;;
*.ko.zst) zstd -qdc "$evdev" >"$root/lib/modules/evdev.ko" ;;
*) false ;;
esac || { echo "FAIL: no evdev.ko for $arch"; exit 1; }
if [ -n "${FP_GUEST_HOOK:-}" ]; then
	cp -r "$FP_GUEST_HOOK" "$root/hook" || { echo "FAIL: guest hook $FP_GUEST_HOOK"; exit 1; }
fi
[ "$arch" = x86_64 ] && cp "$work/debug_exit/debug_exit.ko" "$root/lib/modules/"
# micomflash, builds A and B, cross-built, with the images the guest flashes
"$here/flash_setup.sh" "$arch" "$work" "$root" || exit 1
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz" || { echo "FAIL: initramfs"; exit 1; }

# ---- boot ------------------------------------------------------------------
if "$micom_host" --has-model; then micom=model; else micom=silent; fi
cmdline="console=ttyS0 8250.nr_uarts=1 panic=-1 loglevel=7 printk.devkmsg=on fp_arch=$arch fp_micom=$micom fp_micom_year=$micom_year"
storm_args=()
if [ -n "$hostile" ]; then
	cmdline+=" fp_hostile=$hostile fp_seed=$hostile_seed"
	# the guest's TSC under TCG is the host's: its rate times the guest's traces
	[ "$arch" = x86_64 ] && cmdline+=" fp_tsc_khz=$(awk '/^cpu MHz/ { printf "%d", $4 * 1000; exit }' /proc/cpuinfo)"
	storm_args=(--frame-corpus "$fp_top/tests/fuzz/corpus/fuzz_frame_path"
		--key-corpus "$fp_top/tests/fuzz/corpus/fuzz_key_decoder")
fi
com2="$work/com2.sock" com3="$work/com3.sock" con="$work/console.sock"
# QEMU waits for micom_host on each socket in this order
sockets=(-chardev "socket,id=com2,path=$com2,server=on,wait=on"
	-chardev "socket,id=com3,path=$com3,server=on,wait=on"
	-chardev "socket,id=con,path=$con,server=on,wait=on,logfile=$work/console.log,logappend=off")
case "$arch" in
x86_64)
	# noapic: without ACPI the kernel routes ISA interrupts through the
	# IO-APIC only for the lines the BIOS's MP table lists, and SeaBIOS
	# lists no ISA IRQ 5 (COM3, the ISP link): the line would stay on the
	# 8259, which is masked in symmetric I/O mode, and never arrive.  The
	# 8259 serves every ISA line.
	qemu=(qemu-system-x86_64 -accel tcg -m "${FP_QEMU_MEM:-256}" -kernel "$kernel"
		-append "$cmdline pnpacpi=off acpi=off noapic ${FP_QEMU_APPEND:-}"
		-device isa-debug-exit,iobase=0xf4,iosize=0x04)
	;;
mipsel)
	qemu=("$qemu_mipsel" -M malta -m 256 -kernel "$kernel" -append "$cmdline")
	;;
esac
qemu+=(-initrd "$work/initramfs.gz" -display none -monitor none -no-reboot
	"${sockets[@]}" -serial chardev:con -serial chardev:com2
	-device isa-serial,chardev=com3,iobase=0x3e8,irq=5)
# micomflash's pin channel (programmer/qemu_board): COM4, polled by the
# program, so its interrupt line is never raised
pins_args=()
if [ -x "$root/bin/micomflash_a" ]; then
	pins="$work/pins.sock"
	rm -f "$pins"
	qemu+=(-chardev "socket,id=pins,path=$pins,server=on,wait=on"
		-device isa-serial,chardev=pins,iobase=0x2e8,irq=9)
	pins_args=(--pins "$pins")
fi

# A boot that stops making progress before the guest test starts (no new
# console output for FP_BOOT_STALL seconds, 60 by default) is stopped, its
# console's last lines logged, and booted once more: early-boot stalls of a
# TCG guest are rare and do not repeat, where waiting out the whole time-out
# would hold a CI run for half an hour.
boot_stall=${FP_BOOT_STALL:-60}
watch_boot() { # QEMU_PID: kills it when the boot stalls; 0 when it did
	local size=-1 now quiet=0
	while kill -0 "$1" 2>/dev/null; do
		sleep 5
		grep -aq 'fp-guest:' "$work/console.log" 2>/dev/null && return 1
		now=$(stat -c %s "$work/console.log" 2>/dev/null || echo 0)
		if [ "$now" -eq "$size" ]; then quiet=$((quiet + 5)); else quiet=0 size=$now; fi
		if [ $quiet -ge "$boot_stall" ]; then
			kill "$1" 2>/dev/null
			return 0
		fi
	done
	return 1
}
boot_once() {
	rm -f "$com2" "$com3" "$con" "$work/console.log" "$work/micom.log" "$work/boot-stalled"
	[ -n "${pins:-}" ] && rm -f "$pins"
	timeout --kill-after=10 "$qemu_timeout" "${qemu[@]}" >"$work/qemu.log" 2>&1 &
	qemu_pid=$!
	"$micom_host" --primary "$com2" --isp "$com3" --console "$con" "${pins_args[@]}" "${storm_args[@]}" --log "$work/micom.log" \
		--time "$micom_year-05-17T12:34:56" --connect-timeout 60 >"$work/micom_host.log" 2>&1 &
	host_pid=$!
	(watch_boot $qemu_pid && touch "$work/boot-stalled") &
	watch_pid=$!
	wait $qemu_pid
	qemu_rc=$?
	kill $watch_pid 2>/dev/null
	wait $watch_pid 2>/dev/null
	# the runner ends when QEMU closes the sockets; give it a moment, then stop it
	for _ in $(seq 50); do kill -0 $host_pid 2>/dev/null || break; sleep 0.1; done
	kill $host_pid 2>/dev/null
	wait $host_pid 2>/dev/null
}

start=$(date +%s.%N)
boot_once
if [ -e "$work/boot-stalled" ]; then
	echo "boot-stalled: no console output for ${boot_stall}s before the guest test; its last lines:"
	tail -n 5 "$work/console.log" | sed 's/^/boot-stalled: /'
	cp "$work/console.log" "$work/console-stalled.log"
	echo "boot-stalled: booting once more (first console kept in $work/console-stalled.log)"
	boot_once
	[ -e "$work/boot-stalled" ] && fail "the boot stalled twice (no console output for ${boot_stall}s)"
fi
end=$(date +%s.%N)
awk -v a="$start" -v b="$end" -v arch="$arch" 'BEGIN { printf "qemu-seconds %.1f (%s)\n", b - a, arch }'

# ---- verdict ---------------------------------------------------------------
grep -a 'fp-guest:' "$work/console.log" | sed 's/^\[[ 0-9.]*\] //'
case "$arch" in
x86_64) expected_rc=1 ;; # debug_exit's isa-debug-exit with 0: (0 << 1) | 1
mipsel) expected_rc=0 ;; # the board's power-off
esac
if [ $qemu_rc -eq 124 ] || [ $qemu_rc -eq 137 ]; then
	fail "QEMU did not end within ${qemu_timeout}s"
elif [ $qemu_rc -ne $expected_rc ]; then
	fail "QEMU ended with status $qemu_rc (expected $expected_rc)"
fi
grep -aq 'fp-guest: RESULT pass' "$work/console.log" || fail "the guest did not report success"
# A splat, or a report of the kernel's checkers (lockdep, KASAN, UBSAN,
# debug objects) where the kernel has them: shown with what follows it.
# (kmemleak reports only when asked: the guest looks at its scans.)
splat='Kernel panic|sleeping function called from invalid context|WARNING:|BUG:|Oops|UBSAN:|Invalid wait context|ODEBUG:'
if grep -aqE "$splat" "$work/console.log"; then
	grep -anE "$splat" "$work/console.log" | head -5
	first=$(grep -anE "$splat" "$work/console.log" | head -1 | cut -d: -f1)
	echo "---- report (console.log from line $first) ----"
	tail -n +"$first" "$work/console.log" | head -40
	echo "----"
	fail "kernel splat in the guest log"
fi

# Every start sends AA 20 A2 0A 0A 82 (boot information), then AA 20 D2 0D 0D F2
# (clock), right after its start line; the guest starts the module three
# times with major 75 free (more when a hook adds starts).
received=$(awk '$2 == "rx" && $3 == "primary" {printf "%s ", $4}' "$work/micom.log" 2>/dev/null)
requests=$(grep -o 'AA 20 A2 0A 0A 82 AA 20 D2 0D 0D F2' <<<"$received" | wc -l)
starts=$(grep -ac 'MICOM FP starting' "$work/console.log")
if [ "$requests" -ne "$starts" ] || [ "$starts" -lt 3 ]; then
	fail "micom received $requests boot-information/clock request pairs for $starts starts (at least 3 expected); received: ${received:0:300}"
fi

# After the last start: /proc/led 2 (LED pattern codes 04 and 05), the
# set-clock frame of "20131206153000+1" (flags 0x81: daylight saving time,
# time zone +1; the check byte is the exclusive or of the bytes after AA),
# and, with the micom model, the hand-over to the flash programmer.
has() { grep -q "$1" <<<"$received" || fail "the micom did not receive $2 ($1)"; }
with_check() { # the frame with its check byte appended
	local x=0 b
	for b in ${1#AA }; do x=$((x ^ 16#$b)); done
	printf '%s %02X' "$1" $x
}
has "AA 20 42 00 04 66 AA 20 42 00 05 67 " "the LED frames of /proc/led 2"
has "$(with_check "AA 20 C8 00 30 D5 00 06 12 13 81") " "the set-clock frame of /proc/settime"
[ "$micom" = model ] && has "AA 20 42 0F 00 6D " "the hand-over frame of /proc/enableisp"

# The guest's final "poweroff -f" runs frontpanel's power-off hook, which
# tells the micom (deep standby, with the wake-up time that the guest's
# RTC checks left in the wakealarm file, else without), then the board's own
# power-off that the glue chained behind it (on x86: debug_exit) ends QEMU.
wake_at=$(grep -ao 'fp-guest: wake-up at [0-9]\{14\}' "$work/console.log" | tail -1 | awk '{print $NF}')
if [ -n "$wake_at" ]; then
	# the clock record of YYYYMMDDhhmmss: BCD, both century flags on the hour
	d=$wake_at
	off_frame="$(with_check "AA 20 49 0C 01 ${d:12:2} ${d:10:2} $(printf %02X $((16#${d:8:2} | 0xC0))) 00 ${d:6:2} ${d:4:2} ${d:2:2}") "
else
	off_frame="AA 20 42 0C 00 6E "
fi
if [[ "$received" != *"$off_frame" ]]; then
	fail "the micom did not receive the power-off frame ${off_frame% } last; received at the end: ${received: -60}"
fi

# The flash programmer: block 0 holds the guest's pattern (byte i is
# (i * 151 + 0x5A) mod 256, as in guest_tool.c) and the checksum the guest
# read is the one of the flash as it was.
if [ "$micom" = model ]; then
	pattern=$(for i in $(seq 0 255); do printf '%02X' $(((i * 151 + 0x5A) & 255)); done)
	block0=$(awk '$2 == "flash-block" && $3 == 0 {print $4}' "$work/micom.log")
	[ "$block0" = "$pattern" ] || fail "flash block 0 does not hold the programmed bytes: ${block0:0:64}..."
	start_sum=$(awk '$2 == "flash-checksum" && $3 == "start" {print $4}' "$work/micom.log")
	guest_sum=$(grep -ao 'fp-guest: isp checksum status [0-9-]* value [0-9A-F]*' "$work/console.log" | awk '{print $NF}')
	if [ -z "$start_sum" ] || [ "$guest_sum" != "$start_sum" ]; then
		fail "checksum read by the guest (${guest_sum:-none}) is not the flash's (${start_sum:-none})"
	fi
	echo "flash checksum $start_sum, guest read ${guest_sum:-none}"
fi
grep -a ' command ' "$work/micom.log" | sed 's/^/micom-host: /'
if [ ${#pins_args[@]} -gt 0 ] && [ "$micom" = model ]; then
	expected_tool="$(dirname "$micom_host")/micomflash_expected"
	if [ ! -x "$expected_tool" ]; then
		fail "no $expected_tool to check the flash runs against (build the target micomflash_expected)"
	else
		"$here/check_flash.sh" "$work" "$expected_tool" || failures=$((failures + 1))
	fi
fi

# The hostile micom: the whole corpora went out, the ISP link's nonsense
# was heard, and the figures.
if [ -n "$hostile" ]; then
	storm=$(grep -a 'storm end:' "$work/micom.log" | sed 's/^[0-9.]* //')
	echo "hostile: ${storm:-no storm}"
	grep -a 'storm corpus\|isp-noise end' "$work/micom.log" | sed 's/^[0-9.]* /hostile: /'
	grep -ao 'fp-guest: \(irqsoff\|load\|ispnoise\).*' "$work/console.log" | sed 's/^fp-guest: /hostile: /'
	if ! awk '{ for (i = 1; i < NF; i++) if ($(i + 1) == "of" && $i == $(i + 2)) ok = 1 } END { exit !ok }' <<<"$storm"; then
		fail "the storm did not send every corpus input: ${storm:-no storm}"
	fi
	grep -aq 'isp-noise end: [1-9]' "$work/micom.log" || fail "the ISP link heard nothing during the nonsense"
fi
# the platform interface's scenarios against the table
"$here/check_contract.sh" "$fp_top/tests/contract/platform_contract.table" "$work/console.log" ||
	failures=$((failures + 1))
echo "frames-cut-short $(grep -ac 'cut short' "$work/console.log")"
echo "logs: $work/console.log $work/micom.log"
if [ $failures -ne 0 ]; then
	echo "RESULT: $arch FAIL ($failures)"
	exit 1
fi
echo "RESULT: $arch pass"
exit 0
