#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Builds the box's kernel generation for QEMU's Malta board: Linux 3.9,
# MIPS32r2 little-endian, uniprocessor, PREEMPT, from a 3.9 tree the caller
# provides, with Debian's gcc-mipsel-linux-gnu (gcc 12, binutils 2.40).
#
#   build_linux39.sh
#
# The tree: $FP_LINUX39_SRC (a source folder, or a git directory whose HEAD
# is a 3.9 tree, e.g. a bare clone of a 3.9.6 repository), else
# ~/.cache/frontpanel/linux-3.9.6-src.  It is copied into the cache and
# built there with allnoconfig plus linux39.config, and with the changes
# below, which a compiler ten years younger than 3.9 needs.  They are made
# here, by pattern, so the project carries no kernel text:
#   1. include/linux/compiler-gccN.h for the compiler's major version,
#      including compiler-gcc4.h (3.9 knows gcc 3 to 5 only);
#   2. arch/mips/Kbuild without -Werror (gcc 12 warns -Wbool-operation in
#      the FPU emulator);
#   3. include/linux/log2.h without ____ilog2_NaN, as later kernels did
#      (gcc 12 leaves a call to it in tlbex.c and the link fails);
#   4. -Wa,-mhard-float in KBUILD_AFLAGS: binutils 2.40 refuses sdc1/ldc1
#      in r4k_fpu.S when the assembler is told soft-float;
#   5. -Wa,-mno-fix-loongson3-llsc in KBUILD_CFLAGS and KBUILD_AFLAGS:
#      Debian's assembler puts a sync before every ll by default, which
#      moves the ll off its exception-table label (futex_init oopses);
#   6. arch/mips/kernel/setup.c, bootmem_init(): the reserved range ends at
#      the kernel's _end, not at the initrd's end; QEMU puts the initrd at
#      the top of RAM, and the boot memory left would be almost none.  The
#      initrd stays reserved (finalize_initrd() reserves its pages).
# Changes 4 and 5 are in arch/mips/Makefile, so modules built against the
# tree get them too.
#
# The cache: $FP_LINUX39_CACHE, else ~/.cache/frontpanel/linux-3.9, else
# build/kernel-cache-3.9; keyed by the source (a git directory's HEAD
# commit, or the names, sizes and times of a folder's files) and the recipe
# (this script and linux39.config).  A second run finds the tree and builds
# nothing; another key's tree is removed after a build.
#
# Prints "linux39-dir DIR" (the built tree: DIR/vmlinux to boot, the kernel
# headers and Module.symvers for module builds, drivers/input/evdev.ko),
# "linux39-build-seconds N" or "linux39-cached", "linux39-vmlinux-bytes N"
# and "linux39-vermagic TEXT".
# Exit status: 0 ready; 77 no tree or tools here (the reason and how to
# provide them on stdout); anything else a real failure.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
fragment="$here/linux39.config"
cross=mipsel-linux-gnu-
make_args=(ARCH=mips CROSS_COMPILE=$cross)

skip() {
	echo "SKIPPED: $*"
	exit 77
}

how="set FP_LINUX39_SRC to a Linux 3.9 source folder or git directory, or extract a 3.9 tree into ~/.cache/frontpanel/linux-3.9.6-src (tests/kernel_check/README.md)"
src=${FP_LINUX39_SRC:-${HOME:+$HOME/.cache/frontpanel/linux-3.9.6-src}}
[ -n "$src" ] && [ -e "$src" ] || skip "no Linux 3.9 tree: $how"
src=$(cd "$src" && pwd)
if [ -f "$src/Makefile" ]; then
	kind=folder
	makefile=$(cat "$src/Makefile")
elif git --git-dir="$src" rev-parse -q --verify HEAD >/dev/null 2>&1; then
	kind=git
	makefile=$(git --git-dir="$src" show HEAD:Makefile 2>/dev/null)
else
	skip "$src is neither a kernel source folder nor a git directory: $how"
fi
version=$(awk -F' *= *' '$1 == "VERSION" {v = $2} $1 == "PATCHLEVEL" {p = $2} $1 == "SUBLEVEL" {s = $2}
	END {print v "." p "." s}' <<<"$makefile")
case "$version" in
3.9.*) ;;
*) skip "$src holds Linux $version, not 3.9: $how" ;;
esac

command -v "${cross}gcc" >/dev/null || {
	[ "$(id -u)" = 0 ] || skip "no ${cross}gcc and not root to install gcc-mipsel-linux-gnu"
	fp_apt_get install -y -q gcc-mipsel-linux-gnu >/dev/null 2>&1 ||
		skip "cannot install gcc-mipsel-linux-gnu"
}

if [ $kind = git ]; then
	source_id=$(git --git-dir="$src" rev-parse HEAD)
else
	source_id=$(cd "$src" && find . -path ./.git -prune -o -type f -printf '%P %s %T@\n' | sort | sha256sum | cut -c1-16)
fi
recipe_id=$(cat "$0" "$fragment" | sha256sum | cut -c1-12)
key="$version-${source_id:0:12}-$recipe_id"

root=$(fp_kernel_cache_root "${FP_LINUX39_CACHE:-}" linux-3.9 kernel-cache-3.9)
[ -n "$root" ] || skip "no writable cache folder (\$FP_LINUX39_CACHE, ~/.cache, build/)"
dir="$root/$key"
tree="$dir/linux"

exec 9>"$root/.lock"
flock 9

report() {
	echo "linux39-dir $tree"
	echo "linux39-vmlinux-bytes $(stat -c %s "$tree/vmlinux")"
	echo "linux39-vermagic $(sed -n 's/^#define UTS_RELEASE "\(.*\)"/\1/p' "$tree/include/generated/utsrelease.h") preempt mod_unload MIPS32_R2 32BIT"
}
if [ -f "$dir/.ready" ] && [ -f "$tree/vmlinux" ]; then
	echo "linux39-cached"
	report
	exit 0
fi

fp_fresh_build "$dir" "Linux 3.9 kernel"
mkdir -p "$tree"
if [ $kind = git ]; then
	git --git-dir="$src" archive HEAD | tar -x -C "$tree"
else
	tar -C "$src" --exclude=./.git -cf - . | tar -x -C "$tree"
fi >"$log" 2>&1 || fail "cannot copy $src"

# ---- the changes ----------------------------------------------------------
changed() { # changed FILE PATTERN WHAT: the change took effect
	grep -qE -- "$2" "$tree/$1" || fail "change '$3' did not apply to $1"
}
gcc_major=$("${cross}gcc" -dumpversion | cut -d. -f1)
h="include/linux/compiler-gcc$gcc_major.h"
[ -f "$tree/$h" ] || printf '#include <linux/compiler-gcc4.h>\n' >"$tree/$h"
sed -i 's/^subdir-ccflags-y := -Werror$/subdir-ccflags-y :=/' "$tree/arch/mips/Kbuild"
changed arch/mips/Kbuild '^subdir-ccflags-y :=$' "no -Werror"
perl -0pi -e 's/extern __attribute__\(\(const, noreturn\)\)\s*int ____ilog2_NaN\(void\);\n//; s/____ilog2_NaN\(\)/0/g' \
	"$tree/include/linux/log2.h"
! grep -q ____ilog2_NaN "$tree/include/linux/log2.h" || fail "change 'no ____ilog2_NaN' did not apply"
cat >>"$tree/arch/mips/Makefile" <<'EOF'

# build_linux39.sh: binutils 2.40 with this tree
KBUILD_AFLAGS += -Wa,-mhard-float -Wa,-mno-fix-loongson3-llsc
KBUILD_CFLAGS += -Wa,-mno-fix-loongson3-llsc
EOF
perl -0pi -e 's/reserved_end = max\(init_initrd\(\),\s*\(unsigned long\) PFN_UP\(__pa_symbol\(&_end\)\)\);/init_initrd();\n\treserved_end = (unsigned long) PFN_UP(__pa_symbol(&_end));/' \
	"$tree/arch/mips/kernel/setup.c"
changed arch/mips/kernel/setup.c '^	reserved_end = \(unsigned long\) PFN_UP' "reserved range ends at _end"

# ---- configuration and build ------------------------------------------------
(cd "$tree" && make "${make_args[@]}" KCONFIG_ALLCONFIG="$fragment" allnoconfig) >>"$log" 2>&1 ||
	fail "configuration"
lost=()
while IFS= read -r line; do
	case "$line" in
	"# CONFIG_"*" is not set")
		# off: absent (not offered) is as good
		! grep -qx "${line:2:-11}=.*" "$tree/.config" || lost+=("$line")
		continue
		;;
	CONFIG_*) want=$line ;;
	*) continue ;;
	esac
	grep -qxF "$want" "$tree/.config" || lost+=("$line")
done <"$fragment"
[ ${#lost[@]} -eq 0 ] || fail "settings lost by allnoconfig: ${lost[*]}"

(cd "$tree" && nice make "${make_args[@]}" -j2 vmlinux modules) >>"$log" 2>&1 || fail "build"
[ -f "$tree/Module.symvers" ] && [ -f "$tree/drivers/input/evdev.ko" ] || fail "no Module.symvers or evdev.ko"
end=$(date +%s.%N)
touch "$dir/.ready"
for old in "$root"/*/; do
	[ "${old%/}" = "$dir" ] || rm -rf "$old"
done
awk -v a="$start" -v b="$end" 'BEGIN { printf "linux39-build-seconds %.0f\n", b - a }'
report
