#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Builds the guest's debug kernel (x86-64) from Debian's linux-source-6.1:
# tinyconfig with debug.config merged onto it (what the guest needs plus
# lockdep, the sleep-in-atomic check, KASAN, UBSAN, kmemleak, debug objects,
# list debugging and fault injection), then bzImage and the in-tree modules
# (evdev, and Module.symvers for out-of-tree modules).
#
#   build_debug_kernel.sh
#
# The tree is kept in a cache outside the checkout, keyed by the source
# package's version, a hash of debug.config and the recipe's number below:
# $FP_KERNEL_CACHE, else ~/.cache/frontpanel/debug-kernel, else (no usable
# home) build/kernel-cache.  A second run finds it and builds nothing.
#
# Prints "debug-kernel-dir DIR" (the built tree: the kernel headers for
# module builds, DIR/arch/x86/boot/bzImage), "debug-kernel-build-seconds N"
# or "debug-kernel-cached", and "debug-kernel-bzimage-bytes N".
# Exit status: 0 ready; 77 cannot be set up here (the reason on stdout);
# anything else a real failure (the build log's tail is shown).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
fragment="$here/debug.config"
# bump when the way the tree is built changes
recipe=1

skip() {
	echo "SKIPPED: $*"
	exit 77
}

packages=(linux-source-6.1 build-essential flex bison bc libelf-dev libssl-dev xz-utils)
missing=()
for p in "${packages[@]}"; do
	dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
	[ "$(id -u)" = 0 ] || skip "missing packages ${missing[*]} and not root to install them"
	log=$(mktemp)
	export DEBIAN_FRONTEND=noninteractive
	if ! fp_apt_get install -y -q "${missing[@]}" >"$log" 2>&1; then
		{ fp_apt_get update -q && fp_apt_get install -y -q "${missing[@]}"; } >>"$log" 2>&1 ||
			skip "cannot install ${missing[*]}: $(tail -1 "$log")"
	fi
	rm -f "$log"
fi
tarball=/usr/src/linux-source-6.1.tar.xz
[ -f "$tarball" ] || skip "linux-source-6.1 is installed but $tarball is missing"

version=$(dpkg-query -W -f='${Version}' linux-source-6.1)
key="$version-$(sha256sum <"$fragment" | cut -c1-12)-r$recipe"

root=$(fp_kernel_cache_root "${FP_KERNEL_CACHE:-}" debug-kernel kernel-cache)
[ -n "$root" ] || skip "no writable cache folder (\$FP_KERNEL_CACHE, ~/.cache, build/)"
dir="$root/$key"
tree="$dir/linux-source-6.1"
image="$tree/arch/x86/boot/bzImage"

exec 9>"$root/.lock"
flock 9

if [ -f "$dir/.ready" ] && [ -f "$image" ]; then
	echo "debug-kernel-dir $tree"
	echo "debug-kernel-cached"
	echo "debug-kernel-bzimage-bytes $(stat -c %s "$image")"
	exit 0
fi

fp_fresh_build "$dir" "debug kernel"
tar -C "$dir" -xf "$tarball" || fail "cannot unpack $tarball"
(
	set -e
	cd "$tree"
	make ARCH=x86_64 tinyconfig
	scripts/kconfig/merge_config.sh -m .config "$fragment"
	make ARCH=x86_64 olddefconfig
) >"$log" 2>&1 || fail "configuration"

# every setting of the fragment must have survived olddefconfig: a checker
# that silently dropped out (an unmet dependency) would make the runs lie
lost=()
while IFS= read -r line; do
	case "$line" in
	CONFIG_*=n) want="# ${line%=n} is not set" ;;
	CONFIG_*) want=$line ;;
	*) continue ;;
	esac
	grep -qxF "$want" "$tree/.config" || lost+=("$line")
done <"$fragment"
[ ${#lost[@]} -eq 0 ] || fail "settings lost by olddefconfig: ${lost[*]}"

(cd "$tree" && nice make ARCH=x86_64 -j2 bzImage modules) >>"$log" 2>&1 || fail "build"
end=$(date +%s.%N)
touch "$dir/.ready"
# older keys of the same cache are stale trees of several GB each
for old in "$root"/*/; do
	[ "${old%/}" = "$dir" ] || rm -rf "$old"
done
echo "debug-kernel-dir $tree"
awk -v a="$start" -v b="$end" 'BEGIN { printf "debug-kernel-build-seconds %.0f\n", b - a }'
echo "debug-kernel-bzimage-bytes $(stat -c %s "$image")"
