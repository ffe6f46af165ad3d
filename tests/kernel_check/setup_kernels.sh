#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Installs the kernels of the matrix (lib.sh) and what the checks need
# besides the QEMU test's own packages:
#
#   setup_kernels.sh [KERNEL...]     (default: every kernel of the matrix)
#
# The 6.12 kernels come from Debian 12's backports: the bookworm-backports
# suite of the mirror that apt already uses for bookworm is added to apt's
# sources (/etc/apt/sources.list.d/frontpanel-backports.sources) when no
# source offers it yet.  Prints one line per kernel, "ready NAME RELEASE" or
# "SKIPPED: NAME: reason".
# Exit status: 0 when every kernel is ready, 77 when none can be set up
# here, 1 when some but not all are (each named).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
kernels=("$@")
[ ${#kernels[@]} -gt 0 ] || read -ra kernels <<<"$fp_matrix_kernels"
log=${FP_KERNEL_SETUP_LOG:-/tmp/frontpanel-kernel-setup.log}
: >"$log"

backports_listed() {
	apt-get indextargets --format '$(RELEASE)' 2>/dev/null | grep -qx bookworm-backports
}

add_backports() {
	local mirror
	backports_listed && return 0
	mirror=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 2>/dev/null |
		awk '$1 == "bookworm" {print $2; exit}')
	[ -n "$mirror" ] || return 1
	cat >/etc/apt/sources.list.d/frontpanel-backports.sources <<SRC
Types: deb
URIs: ${mirror%/}
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
	fp_apt_get update -q >>"$log" 2>&1
}

missing=()
for k in "${kernels[@]}"; do
	for p in $(fp_matrix_packages "$k"); do
		fp_installed "$p" || missing+=("$p")
	done
done
# dwarves: pahole, for the 6.12 headers' BTF step
fp_installed dwarves || missing+=(dwarves)

if [ ${#missing[@]} -gt 0 ] && [ "$(id -u)" = 0 ]; then
	export DEBIAN_FRONTEND=noninteractive
	# the tests boot each kernel with an initramfs of their own: Debian's
	# is not built (initramfs-tools' kernel hook honours INITRD=No)
	export INITRD=No
	case " ${missing[*]} " in *" linux-image-6.12"* | *" linux-headers-6.12"*)
		add_backports || echo "note: cannot add bookworm-backports to apt's sources" ;;
	esac
	# one package at a time: a kernel that cannot be had does not keep the others out
	for p in "${missing[@]}"; do
		fp_apt_get install -y -q "$p" >>"$log" 2>&1 ||
			{ fp_apt_get update -q >>"$log" 2>&1 &&
				fp_apt_get install -y -q "$p" >>"$log" 2>&1; } ||
			echo "note: cannot install $p (see $log)"
	done
fi

ready=0
for k in "${kernels[@]}"; do
	r=$(fp_matrix_release "$k")
	if [ -n "$r" ]; then
		echo "ready $k $r"
		ready=$((ready + 1))
	elif [ "$(id -u)" = 0 ]; then
		echo "SKIPPED: $k: $(fp_matrix_packages "$k") not installable here (see $log)"
	else
		echo "SKIPPED: $k: $(fp_matrix_packages "$k") missing and not root to install them"
	fi
done
[ $ready -eq ${#kernels[@]} ] && exit 0
[ $ready -eq 0 ] && exit 77
exit 1
