# SPDX-License-Identifier: MIT
# Shared by the kernel-check scripts (sourced): which Debian packages give
# each kernel of the matrix, and where an installed one is.
#
#   6.1       Debian 12's generic kernel        linux-image-amd64
#   6.1-rt    Debian 12's PREEMPT_RT kernel     linux-image-rt-amd64
#   6.12      backports' generic 6.12           linux-image-6.12-amd64
#   6.12-rt   backports' PREEMPT_RT 6.12        linux-image-6.12-rt-amd64
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../qemu" && pwd)/lib.sh"

fp_matrix_kernels="6.1 6.1-rt 6.12 6.12-rt"

fp_matrix_packages() {
	case "$1" in
	6.1) echo linux-image-amd64 linux-headers-amd64 ;;
	6.1-rt) echo linux-image-rt-amd64 linux-headers-rt-amd64 ;;
	6.12) echo linux-image-6.12-amd64 linux-headers-6.12-amd64 ;;
	6.12-rt) echo linux-image-6.12-rt-amd64 linux-headers-6.12-rt-amd64 ;;
	*) return 1 ;;
	esac
}

# The kernel release ("uname -r") of the newest installed kernel of the
# matrix entry that has its headers too, or nothing.
fp_matrix_release() {
	local re v
	case "$1" in
	6.1) re='^6\.1\.0-[0-9]+-amd64$' ;;
	6.1-rt) re='^6\.1\.0-[0-9]+-rt-amd64$' ;;
	6.12) re='^6\.12\.[0-9]+\+deb12(\.[0-9]+)?-amd64$' ;;
	6.12-rt) re='^6\.12\.[0-9]+\+deb12(\.[0-9]+)?-rt-amd64$' ;;
	*) return 1 ;;
	esac
	for v in $(ls /boot 2>/dev/null | sed -n 's/^vmlinuz-//p' | grep -E "$re" | sort -rV); do
		if [ -f "/usr/src/linux-headers-$v/Makefile" ]; then
			echo "$v"
			return
		fi
	done
}
