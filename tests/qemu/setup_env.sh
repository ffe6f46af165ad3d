#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Makes sure everything the QEMU tests need for one architecture is here:
#
#   setup_env.sh x86_64|mipsel
#
# Debian packages are installed with apt-get when missing (as root).  The
# mipsel kernel, its headers and a mipsel busybox cannot be installed on an
# amd64 machine: they are downloaded with a private apt configuration into
# the cache folder (build/qemu-cache, or $FP_QEMU_CACHE) and unpacked there;
# the headers are then pointed at the amd64 kbuild tools.  With FP_KDIR and
# FP_KERNEL_IMAGE both given (another mipsel kernel, e.g. 3.9), only busybox
# is fetched.
#
# Exit status: 0 ready; 77 cannot be set up here (the reason on stdout);
# anything else a real failure.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
arch=${1:?usage: setup_env.sh x86_64|mipsel}

skip() {
	echo "SKIPPED: $*"
	exit 77
}

packages=(cpio linux-headers-amd64 busybox-static)
case "$arch" in
x86_64) packages+=(linux-image-amd64 qemu-system-x86 gcc libc6-dev) ;;
mipsel) packages+=(qemu-system-mips gcc-mipsel-linux-gnu g++-mipsel-linux-gnu libc6-dev-mipsel-cross) ;;
*) echo "setup_env.sh: unknown arch $arch" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
	dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

mkdir -p "$FP_QEMU_CACHE"
exec 9>"$FP_QEMU_CACHE/.setup.lock"
flock 9

if [ ${#missing[@]} -gt 0 ]; then
	[ "$(id -u)" = 0 ] || skip "missing packages ${missing[*]} and not root to install them"
	export DEBIAN_FRONTEND=noninteractive
	if ! fp_apt_get install -y -q "${missing[@]}" >"$FP_QEMU_CACHE/apt-install.log" 2>&1; then
		fp_apt_get update -q >>"$FP_QEMU_CACHE/apt-install.log" 2>&1 &&
			fp_apt_get install -y -q "${missing[@]}" >>"$FP_QEMU_CACHE/apt-install.log" 2>&1 ||
			skip "cannot install ${missing[*]} (see $FP_QEMU_CACHE/apt-install.log)"
	fi
fi

if [ "$arch" = x86_64 ]; then
	[ -n "$(fp_kdir x86_64)" ] && [ -n "$(fp_kernel_image x86_64)" ] ||
		skip "no amd64 6.1 kernel with matching headers installed"
	exit 0
fi

# ---- mipsel: kernel, headers and busybox unpacked into the cache ----------
root="$FP_QEMU_CACHE/mipsel-root"
own_kernel=
[ -n "${FP_KDIR:-}" ] && [ -n "${FP_KERNEL_IMAGE:-}" ] && own_kernel=1
if [ -x "$root/bin/busybox" ] && { [ -n "$own_kernel" ] || { [ -f "$root/.ready" ] && [ -n "$(fp_kdir mipsel)" ]; }; }; then
	exit 0
fi

apt_dir="$FP_QEMU_CACHE/apt-mipsel"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$FP_QEMU_CACHE/debs"
apt_opts=(-o APT::Architecture=mipsel -o APT::Architectures::=mipsel
	-o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
	-o Dir::State::status=/dev/null -o Debug::NoLocking=1)
apt-get "${apt_opts[@]}" update -q >"$FP_QEMU_CACHE/apt-mipsel.log" 2>&1 ||
	skip "cannot read Debian's mipsel package lists (see $FP_QEMU_CACHE/apt-mipsel.log)"
if [ -n "$own_kernel" ]; then
	(cd "$FP_QEMU_CACHE/debs" && rm -f ./*.deb && apt-get "${apt_opts[@]}" download busybox-static) \
		>>"$FP_QEMU_CACHE/apt-mipsel.log" 2>&1 ||
		skip "cannot download busybox-static for mipsel (see $FP_QEMU_CACHE/apt-mipsel.log)"
	mkdir -p "$root"
	dpkg-deb -x "$FP_QEMU_CACHE"/debs/busybox-static_*.deb "$root" || { echo "setup_env.sh: cannot unpack busybox-static" >&2; exit 1; }
	exit 0
fi
image=$(apt-cache "${apt_opts[@]}" depends linux-image-4kc-malta 2>/dev/null |
	awk '/Depends: linux-image-/ {print $2; exit}')
[ -n "$image" ] || skip "no linux-image-4kc-malta in Debian's mipsel lists"
abi=${image#linux-image-}          # 6.1.0-NN-4kc-malta
common="linux-headers-${abi%-4kc-malta}-common"
debs=("$image" "linux-headers-$abi" "$common" busybox-static)
(cd "$FP_QEMU_CACHE/debs" && rm -f ./*.deb &&
	apt-get "${apt_opts[@]}" download "${debs[@]}") >>"$FP_QEMU_CACHE/apt-mipsel.log" 2>&1 ||
	skip "cannot download ${debs[*]} for mipsel (see $FP_QEMU_CACHE/apt-mipsel.log)"

rm -rf "$root"
mkdir -p "$root"
for d in "$FP_QEMU_CACHE"/debs/*.deb; do
	dpkg-deb -x "$d" "$root" || { echo "setup_env.sh: cannot unpack $d" >&2; exit 1; }
done

# The headers' Makefile includes the common headers by their installed path,
# and their scripts/tools links point at a kbuild that only exists for the
# build machine's architecture: use the amd64 linux-kbuild-6.1.
src="$root/usr/src"
echo "include $src/$common/Makefile" >"$src/linux-headers-$abi/Makefile"
for d in "$src/linux-headers-$abi" "$src/$common"; do
	rm -f "$d/scripts" "$d/tools"
	ln -s /usr/lib/linux-kbuild-6.1/scripts "$d/scripts"
	ln -s /usr/lib/linux-kbuild-6.1/tools "$d/tools"
done
[ -x /usr/lib/linux-kbuild-6.1/scripts/mod/modpost ] || skip "linux-kbuild-6.1 (amd64) has no modpost"
touch "$root/.ready"
exit 0
