#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Boots frontpanel.ko in QEMU against the micom model and checks it.
#
#   run_qemu_test.sh x86_64|mipsel MICOM_HOST WORK_DIR
#
# Sets up what is missing (setup_env.sh), builds the module and the major-75
# blocker, packs a busybox initramfs with guest_test.sh as /init, and boots
# qemu-system-x86_64 (pc, TCG) or qemu-system-mipsel (Malta) with COM2
# (0x2F8, IRQ 3) and COM3 (0x3E8, IRQ 5: IRQ 4 is the console's) wired to
# MICOM_HOST over Unix-socket chardevs.  Passes when the guest
# reports success, the micom received the boot-information and clock
# requests byte for byte after each start, and QEMU ended by itself within
# its time-out (on Malta through the power-off hook, which must have sent
# the micom its power-off frame).
#
# Exit status: 0 pass, 1 fail, 77 skipped (the reason is printed).
# Prints the figures: module build time, .ko text size, the largest stack
# frame of the core, the QEMU wall time.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
arch=${1:?usage: run_qemu_test.sh x86_64|mipsel MICOM_HOST WORK_DIR}
micom_host=${2:?}
work=${3:?}
qemu_timeout=${FP_QEMU_TIMEOUT:-300}
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
kdir=$(fp_kdir "$arch")
kernel=$(fp_kernel_image "$arch")
busybox=$(fp_busybox "$arch")

# ---- build -----------------------------------------------------------------
if ! "$fp_top/driver/linux/build_module.sh" --arch "$arch" --out "$work/ko" >"$work/build.log" 2>&1; then
	tail -40 "$work/build.log"
	echo "FAIL: module build for $arch"
	exit 1
fi
grep -E '^(build-seconds|text-bytes|check:)' "$work/build.log"

make_args=()
[ "$arch" = mipsel ] && make_args=(ARCH=mips CROSS_COMPILE=mipsel-linux-gnu-)
mkdir -p "$work/blocker"
cp "$here/major_blocker/major_blocker.c" "$here/major_blocker/Kbuild" "$work/blocker/"
if ! make -C "$kdir" M="$work/blocker" "${make_args[@]}" modules >"$work/blocker.log" 2>&1; then
	tail -20 "$work/blocker.log"
	echo "FAIL: blocker module build for $arch"
	exit 1
fi

largest=$(cat "$work"/ko/core/*.su 2>/dev/null | sort -t$'\t' -k2 -n | tail -1)
echo "largest-stack-frame ${largest:-none}"

# ---- initramfs --------------------------------------------------------------
root="$work/initramfs"
rm -rf "$root"
mkdir -p "$root"/{bin,proc,sys,dev,lib/modules}
cp "$busybox" "$root/bin/busybox"
for applet in sh mount cat grep sed dmesg insmod rmmod mknod date sleep dd printf poweroff head echo; do
	ln -s busybox "$root/bin/$applet"
done
cp "$here/guest_test.sh" "$root/init"
chmod +x "$root/init"
cp "$work/ko/frontpanel.ko" "$work/blocker/major_blocker.ko" "$root/lib/modules/"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz" || { echo "FAIL: initramfs"; exit 1; }

# ---- boot ------------------------------------------------------------------
if "$micom_host" --has-model; then micom=model; else micom=silent; fi
cmdline="console=ttyS0 8250.nr_uarts=1 panic=-1 loglevel=7 printk.devkmsg=on fp_arch=$arch fp_micom=$micom fp_micom_year=$micom_year"
com2="$work/com2.sock" com3="$work/com3.sock"
rm -f "$com2" "$com3" "$work/console.log" "$work/micom.log"
sockets=(-chardev "socket,id=com2,path=$com2,server=on,wait=on"
	-chardev "socket,id=com3,path=$com3,server=on,wait=on")
case "$arch" in
x86_64)
	qemu=(qemu-system-x86_64 -accel tcg -m 256 -kernel "$kernel"
		-append "$cmdline pnpacpi=off acpi=off"
		-device isa-debug-exit,iobase=0xf4,iosize=0x04)
	;;
mipsel)
	qemu=(qemu-system-mipsel -M malta -m 256 -kernel "$kernel" -append "$cmdline")
	;;
esac
qemu+=(-initrd "$work/initramfs.gz" -display none -monitor none -no-reboot
	-serial "file:$work/console.log" "${sockets[@]}" -serial chardev:com2
	-device isa-serial,chardev=com3,iobase=0x3e8,irq=5)

start=$(date +%s.%N)
timeout --kill-after=10 "$qemu_timeout" "${qemu[@]}" >"$work/qemu.log" 2>&1 &
qemu_pid=$!
"$micom_host" --primary "$com2" --isp "$com3" --log "$work/micom.log" \
	--time "$micom_year-05-17T12:34:56" --connect-timeout 60 >"$work/micom_host.log" 2>&1 &
host_pid=$!
wait $qemu_pid
qemu_rc=$?
end=$(date +%s.%N)
# the runner ends when QEMU closes the sockets; give it a moment, then stop it
for _ in $(seq 50); do kill -0 $host_pid 2>/dev/null || break; sleep 0.1; done
kill $host_pid 2>/dev/null
wait $host_pid 2>/dev/null
awk -v a="$start" -v b="$end" -v arch="$arch" 'BEGIN { printf "qemu-seconds %.1f (%s)\n", b - a, arch }'

# ---- verdict ---------------------------------------------------------------
grep -a 'fp-guest:' "$work/console.log" | sed 's/^\[[ 0-9.]*\] //'
case "$arch" in
x86_64) expected_rc=1 ;; # isa-debug-exit with 0: (0 << 1) | 1
mipsel) expected_rc=0 ;; # the board's power-off
esac
if [ $qemu_rc -eq 124 ] || [ $qemu_rc -eq 137 ]; then
	fail "QEMU did not end within ${qemu_timeout}s"
elif [ $qemu_rc -ne $expected_rc ]; then
	fail "QEMU ended with status $qemu_rc (expected $expected_rc)"
fi
grep -aq 'fp-guest: RESULT pass' "$work/console.log" || fail "the guest did not report success"
if grep -aE 'Kernel panic|sleeping function called from invalid context|WARNING:|BUG:|Oops' "$work/console.log" | head -5; then
	fail "kernel splat in the guest log"
fi

# Every start sends AA 20 A2 0A 0A 82 (boot information), then AA 20 D2 0D 0D F2
# (clock); the guest starts the module three times with major 75 free.
received=$(awk '$2 == "rx" && $3 == "primary" {printf "%s ", $4}' "$work/micom.log" 2>/dev/null)
requests=$(grep -o 'AA 20 A2 0A 0A 82 AA 20 D2 0D 0D F2' <<<"$received" | wc -l)
if [ "$requests" -ne 3 ]; then
	fail "micom received $requests boot-information/clock request pairs, expected 3; received: ${received:0:300}"
fi

# Malta: the guest's final "poweroff -f" runs frontpanel's power-off hook,
# which tells the micom (deep standby without wake-up time), and then the
# board's own power-off that the glue chained behind it ends QEMU.
if [ "$arch" = mipsel ] && [[ "$received" != *"AA 20 42 0C 00 6E " ]]; then
	fail "the micom did not receive the power-off frame AA 20 42 0C 00 6E last; received at the end: ${received: -60}"
fi

echo "frames-cut-short $(grep -ac 'cut short' "$work/console.log")"
echo "logs: $work/console.log $work/micom.log"
if [ $failures -ne 0 ]; then
	echo "RESULT: $arch FAIL ($failures)"
	exit 1
fi
echo "RESULT: $arch pass"
exit 0
