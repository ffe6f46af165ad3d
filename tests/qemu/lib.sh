# SPDX-License-Identifier: MIT
# Shared by the QEMU test scripts (sourced): the kernel paths of the module build.
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../driver/linux" && pwd)/kernel_paths.sh"

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
