#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Builds the Malta guests' qemu-system-mipsel: Debian's own QEMU (the
# source package of the installed qemu-system-mips, Debian's patches
# applied) with qemu-mipsel-timer-lock.patch, which puts the vCPU's updates
# of the CPU timer's Cause.TI under the iothread lock.  Without it a loaded
# host can lose TI with the timer's line raised, and the guest's log fills
# with "irq 23: nobody cared" (the patch's header tells why).
#
#   build_qemu_mipsel.sh
#
# Only the mipsel system emulator is built (no tools, no optional
# features), with Debian's firmware path, so that it finds the firmware
# files (the Malta NIC's option ROM, the VGA BIOS) where Debian's binary
# does.
#
# The cache: $FP_QEMU_BUILD_CACHE, else ~/.cache/frontpanel/qemu-mipsel,
# else build/qemu-mipsel-cache; keyed by the package's version, the patch
# and the recipe's number below.  A second run finds the binary and builds
# nothing; another key's build is removed after a build.
#
# Prints "qemu-mipsel PATH" and "qemu-mipsel-build-seconds N" or
# "qemu-mipsel-cached".
# Exit status: 0 ready; 77 cannot be built here (the reason on stdout: not
# root to install what the build needs, no qemu-system-mips installed, its
# source not in the archive); anything else a real failure (the build
# log's tail is shown).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
patch_file="$here/qemu-mipsel-timer-lock.patch"
# bump when the way the binary is built changes
recipe=2

skip() {
	echo "SKIPPED: $*"
	exit 77
}

version=$(dpkg-query -W -f='${source:Version}' qemu-system-mips 2>/dev/null) && [ -n "$version" ] ||
	skip "qemu-system-mips is not installed (tests/qemu/setup_env.sh mipsel installs it)"

packages=(build-essential dpkg-dev meson ninja-build pkg-config python3 libglib2.0-dev libpixman-1-dev zlib1g-dev xz-utils)
missing=()
for p in "${packages[@]}"; do
	fp_installed "$p" || missing+=("$p")
done

root=$(fp_kernel_cache_root "${FP_QEMU_BUILD_CACHE:-}" qemu-mipsel qemu-mipsel-cache)
[ -n "$root" ] || skip "no writable cache folder (\$FP_QEMU_BUILD_CACHE, ~/.cache, build/)"
key="${version//[:~]/_}-$(sha256sum <"$patch_file" | cut -c1-12)-r$recipe"
dir="$root/$key"
binary="$dir/qemu-system-mipsel"

exec 9>"$root/.lock"
flock 9

if [ -f "$dir/.ready" ] && [ -x "$binary" ]; then
	echo "qemu-mipsel $binary"
	echo "qemu-mipsel-cached"
	exit 0
fi

fp_fresh_build "$dir" qemu-system-mipsel

if [ ${#missing[@]} -gt 0 ]; then
	[ "$(id -u)" = 0 ] || skip "missing packages ${missing[*]} and not root to install them"
	export DEBIAN_FRONTEND=noninteractive
	if ! fp_apt_get install -y -q "${missing[@]}" >>"$log" 2>&1; then
		{ fp_apt_get update -q && fp_apt_get install -y -q "${missing[@]}"; } >>"$log" 2>&1 ||
			skip "cannot install ${missing[*]}: $(tail -1 "$log")"
	fi
fi

# The source package, through apt lists of our own: the system's sources
# with deb-src for deb (one-line and deb822 files), so the system's apt
# state is left as it was.
apt_dir="$dir/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.d"
[ -f /etc/apt/sources.list ] && sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$apt_dir/sources.list"
touch "$apt_dir/sources.list"
for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
	[ -f "$f" ] || continue
	case "$f" in
	*.list) sed -n 's/^deb /deb-src /p' "$f" ;;
	*.sources) sed 's/^Types:.*/Types: deb-src/' "$f" ;;
	esac >"$apt_dir/sources.d/${f##*/}"
done
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/sources.d"
	-o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1)
apt-get "${apt_opts[@]}" update -q >>"$log" 2>&1 ||
	skip "cannot read Debian's source lists (see $log)"
(cd "$dir" && apt-get "${apt_opts[@]}" source --download-only -q "qemu=$version") >>"$log" 2>&1 ||
	skip "the source of qemu $version is not in the archive (see $log)"
(
	set -e
	cd "$dir"
	dpkg-source -x qemu_*.dsc src
	cd src
	patch -p1 <"$patch_file"
	# where Debian's binary looks for firmware (the NIC's option ROM)
	firmware=$(sed -n 's/^FIRMWAREPATH *= *//p' debian/rules)
	[ -n "$firmware" ]
	mkdir build
	cd build
	# a prefix of its own: QEMU takes paths below its prefix as relative to
	# where the binary is, and this one is not in /usr/bin
	../configure --prefix=/opt/frontpanel-qemu --firmwarepath="$firmware" --target-list=mipsel-softmmu \
		--without-default-features --disable-docs --disable-tools --disable-werror
) >>"$log" 2>&1 || fail "source or configuration"
(cd "$dir/src/build" && nice ninja -j"$(nproc)" qemu-system-mipsel) >>"$log" 2>&1 || fail "build"
cp "$dir/src/build/qemu-system-mipsel" "$binary" || fail "cannot copy the binary"
# the source and the objects are 700 MB; the binary is all that is used
rm -rf "$dir/src" "$apt_dir" "$dir"/qemu_*
touch "$dir/.ready"
end=$(date +%s.%N)
for old in "$root"/*/; do
	[ "${old%/}" = "$dir" ] || rm -rf "$old"
done
echo "qemu-mipsel $binary"
awk -v a="$start" -v b="$end" 'BEGIN { printf "qemu-mipsel-build-seconds %.0f\n", b - a }'
