# SPDX-License-Identifier: MIT
# Shared by the QEMU test scripts (sourced): the kernel paths of the module build.
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../driver/linux" && pwd)/kernel_paths.sh"

# apt-get for the test scripts' package installs: one at a time across the
# project's scripts (make kernel-check runs two lanes side by side), an
# update included, and waiting for dpkg's own lock besides.
fp_apt_get() { flock /tmp/frontpanel-apt.lock apt-get -o DPkg::Lock::Timeout=900 "$@"; }

# The cache folder of a kernel (or QEMU) built here: the first usable of $1
# (the caller's setting), ~/.cache/frontpanel/$2 and build/$3 of the checkout.
fp_kernel_cache_root() {
	local d
	for d in "$1" "${HOME:+$HOME/.cache/frontpanel/$2}" "$fp_top/build/$3"; do
		[ -n "$d" ] && mkdir -p "$d" 2>/dev/null && [ -w "$d" ] && { echo "$d"; return; }
	done
}

fp_installed() {
	dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q "install ok installed"
}

# fp_fresh_build DIR WHAT: a new build of a kernel (or QEMU) in DIR (emptied
# first), logged to $log (DIR/build.log) from $start on; fail REASON shows
# the log's end and ends the script with "FAIL: WHAT: REASON".
fp_fresh_build() {
	rm -rf "$1"
	mkdir -p "$1"
	log="$1/build.log"
	start=$(date +%s.%N)
	fp_build_what=$2
	fail() {
		tail -40 "$log"
		echo "FAIL: $fp_build_what: $* (log: $log)"
		exit 1
	}
}

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
