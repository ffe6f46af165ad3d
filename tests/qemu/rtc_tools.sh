#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Puts util-linux's hwclock and rtcwake into a guest's initramfs, Debian's
# own builds for the guest's architecture, with the shared libraries and
# the program interpreter they need:
#
#   rtc_tools.sh x86_64|mipsel ROOT
#
# x86_64 takes the host's (util-linux, util-linux-extra: installed when
# missing, as root).  mipsel takes Debian's mipsel packages, downloaded with
# the private apt state of setup_env.sh into the cache and unpacked there
# once.  The guest finds them in ROOT/sbin.
#
# Prints "rtc-tools util-linux VERSION ARCH".  Exit status: 0 ready; 77 they
# cannot be had here (the reason on stdout); anything else a failure.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
arch=${1:?usage: rtc_tools.sh x86_64|mipsel ROOT}
dest=${2:?usage: rtc_tools.sh x86_64|mipsel ROOT}
skip() {
	echo "SKIPPED: $*"
	exit 77
}

case "$arch" in
x86_64)
	if [ ! -x /sbin/hwclock ] || [ ! -x /usr/sbin/rtcwake ]; then
		[ "$(id -u)" = 0 ] || skip "no hwclock/rtcwake here and not root to install util-linux-extra"
		DEBIAN_FRONTEND=noninteractive fp_apt_get install -y -q util-linux util-linux-extra >/dev/null 2>&1 ||
			skip "cannot install util-linux-extra"
	fi
	src=/
	version=$(dpkg-query -W -f '${Version}' util-linux-extra)
	;;
mipsel)
	src="$FP_QEMU_CACHE/mipsel-rtc-tools"
	if [ ! -f "$src/.ready" ]; then
		apt_dir="$FP_QEMU_CACHE/apt-mipsel"
		[ -d "$apt_dir/lists" ] || skip "no mipsel package lists (tests/qemu/setup_env.sh mipsel first)"
		apt_opts=(-o APT::Architecture=mipsel -o APT::Architectures::=mipsel
			-o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
			-o Dir::State::status=/dev/null -o Debug::NoLocking=1)
		debs="$FP_QEMU_CACHE/debs-rtc-tools"
		rm -rf "$debs" "$src"
		mkdir -p "$debs" "$src"
		(cd "$debs" && apt-get "${apt_opts[@]}" download util-linux util-linux-extra libc6 \
			libaudit1 libcap-ng0) >"$FP_QEMU_CACHE/apt-rtc-tools.log" 2>&1 ||
			skip "cannot download util-linux for mipsel (see $FP_QEMU_CACHE/apt-rtc-tools.log)"
		for d in "$debs"/*.deb; do
			dpkg-deb -x "$d" "$src" || { echo "rtc_tools.sh: cannot unpack $d" >&2; exit 1; }
		done
		dpkg-deb -f "$debs"/util-linux-extra_*.deb Version >"$src/.ready"
	fi
	version=$(cat "$src/.ready")
	;;
*) echo "rtc_tools.sh: unknown arch $arch" >&2; exit 2 ;;
esac

# a file of the package tree, whether the tree has merged /usr or not
find_in() { # find_in PATH...: the first that exists below $src
	local p
	for p in "$@"; do
		[ -e "$src/$p" ] && { echo "$src/$p"; return 0; }
		[ -e "$src/usr/$p" ] && { echo "$src/usr/$p"; return 0; }
	done
	return 1
}

mkdir -p "$dest/sbin"
needed=()
for tool in hwclock rtcwake; do
	bin=$(find_in "sbin/$tool") || { echo "rtc_tools.sh: no $tool in $src" >&2; exit 1; }
	cp -L "$bin" "$dest/sbin/$tool"
	needed+=("$dest/sbin/$tool")
done
# the libraries, as the dynamic loader will look for them: NEEDED entries,
# transitively, and the interpreter at the path the programs name
done_libs=" "
while [ ${#needed[@]} -gt 0 ]; do
	elf=${needed[0]}
	needed=("${needed[@]:1}")
	interp=$(readelf -l "$elf" 2>/dev/null | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
	if [ -n "$interp" ] && [ ! -e "$dest$interp" ]; then
		mkdir -p "$dest$(dirname "$interp")"
		cp -L "$(find_in "${interp#/}" "lib/${interp##*/}")" "$dest$interp" ||
			{ echo "rtc_tools.sh: no interpreter $interp" >&2; exit 1; }
	fi
	for lib in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
		case "$done_libs" in *" $lib "*) continue ;; esac
		done_libs+="$lib "
		path=$(find_in "lib/$arch-linux-gnu/$lib" "lib/mipsel-linux-gnu/$lib" "lib/$lib") ||
			{ echo "rtc_tools.sh: no $lib for $arch" >&2; exit 1; }
		libdir=${path#"$src"}
		libdir=/${libdir#/usr/}
		mkdir -p "$dest$(dirname "$libdir")"
		cp -L "$path" "$dest$libdir"
		needed+=("$dest$libdir")
	done
done
echo "rtc-tools util-linux $version $arch"
