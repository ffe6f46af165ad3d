# SPDX-License-Identifier: MIT
# Where the 6.1 kernels and their headers are, for building the module and
# booting it (sourced by build_module.sh and the QEMU tests).

fp_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
FP_QEMU_CACHE=${FP_QEMU_CACHE:-$fp_top/build/qemu-cache}

# Kernel headers of the kernel the tests boot.
fp_kdir() {
	case "$1" in
	x86_64)
		local v
		# Debian's generic 6.1 (6.1.0-NN-amd64), not its rt or cloud flavours
		for v in $(ls /boot 2>/dev/null | sed -n 's/^vmlinuz-\(6\.1\.[0-9]*-[0-9]*-amd64\)$/\1/p' | sort -rV); do
			if [ -f "/usr/src/linux-headers-$v/Makefile" ]; then
				echo "/usr/src/linux-headers-$v"
				return
			fi
		done
		;;
	mipsel)
		ls -d "$FP_QEMU_CACHE"/mipsel-root/usr/src/linux-headers-6.1.*-4kc-malta 2>/dev/null | sort -V | tail -1
		;;
	esac
}

# The kernel image that goes with fp_kdir.
fp_kernel_image() {
	local kdir
	kdir=$(fp_kdir "$1")
	[ -n "$kdir" ] || return 0
	local v=${kdir##*/linux-headers-}
	case "$1" in
	x86_64) [ -f "/boot/vmlinuz-$v" ] && echo "/boot/vmlinuz-$v" ;;
	mipsel) [ -f "$FP_QEMU_CACHE/mipsel-root/boot/vmlinuz-$v" ] && echo "$FP_QEMU_CACHE/mipsel-root/boot/vmlinuz-$v" ;;
	esac
}

fp_busybox() {
	case "$1" in
	x86_64) echo /bin/busybox ;;
	mipsel) echo "$FP_QEMU_CACHE/mipsel-root/bin/busybox" ;;
	esac
}
