#!/bin/bash
# SPDX-License-Identifier: MIT
#
# micomflash for the QEMU test guest:
#
#   flash_setup.sh ARCH WORK_DIR ROOT
#
# Cross-builds micomflash, builds A and B, from the same source as the
# simulator's copy (cmake/mipsel-linux-gnu.cmake; statically linked with the
# QEMU board's vendor library) into WORK_DIR/micomflash-build, puts the
# stripped programs and guest_flash.sh into the initramfs folder ROOT, and
# two random 8192-byte images into ROOT/lib/flash and WORK_DIR/flash.
# Prints the figures: cross-build time, static stripped sizes.
#
# Only the Malta guest (mipsel) runs the programs; for another ARCH, or with
# FP_QEMU_FLASH=0 (about 50 s quicker), this does nothing and the guest skips
# its flash checks.
# Exit status: 0 ready (or nothing to do), 1 failure.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
arch=${1:?usage: flash_setup.sh ARCH WORK_DIR ROOT}
work=${2:?}
root=${3:?}
[ "$arch" = mipsel ] && [ "${FP_QEMU_FLASH:-1}" != 0 ] || exit 0

build="$work/micomflash-build"
start=$(date +%s.%N)
if ! { cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mipsel-linux-gnu.cmake" &&
	cmake --build "$build" --target micomflash_program_a micomflash_program_b; } >"$work/micomflash-build.log" 2>&1; then
	tail -30 "$work/micomflash-build.log"
	echo "FAIL: micomflash cross build for $arch"
	exit 1
fi
awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "micomflash-build-seconds %.1f\n", b - a }'

mkdir -p "$root/bin" "$root/lib/flash" "$work/flash"
for b in a b; do
	mipsel-linux-gnu-strip -o "$root/bin/micomflash_$b" "$build/programmer/micomflash_$b" || exit 1
	echo "micomflash_$b-bytes static $(stat -c %s "$build/programmer/micomflash_$b")" \
		"stripped $(stat -c %s "$root/bin/micomflash_$b")"
done
cp "$here/guest_flash.sh" "$root/bin/"
for applet in cut md5sum; do ln -sf busybox "$root/bin/$applet"; done
for i in 1 2; do
	head -c 8192 /dev/urandom >"$work/flash/image$i"
	cp "$work/flash/image$i" "$root/lib/flash/"
done
