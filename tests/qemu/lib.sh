# SPDX-License-Identifier: MIT
# Shared by the QEMU test scripts (sourced): the kernel paths of the module build.
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../driver/linux" && pwd)/kernel_paths.sh"

# apt-get for the test scripts' package installs: one at a time across the
# project's scripts (make kernel-check runs two lanes side by side), an
# update included, and waiting for dpkg's own lock besides.
fp_apt_get() { flock /tmp/frontpanel-apt.lock apt-get -o DPkg::Lock::Timeout=900 "$@"; }

# The kernel modules folder of the kernel that fp_kernel_image boots.
fp_module_dir() {
	local kdir v
	kdir=$(fp_kdir "$1")
	v=${kdir##*/linux-headers-}
	case "$1" in
	x86_64) echo "/lib/modules/$v" ;;
	mipsel) echo "$FP_QEMU_CACHE/mipsel-root/lib/modules/$v" ;;
	esac
}
