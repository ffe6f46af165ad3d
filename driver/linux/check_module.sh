#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Post-build check of frontpanel.ko and the core's objects: what builds
# cleanly but fails silently in a kernel.
#
#   check_module.sh [--tool-prefix mipsel-linux-gnu-] MODULE.ko [CORE.o ...]
#
#   - .init_array/.ctors (a global with dynamic initialisation: its
#     constructor would never run), .eh_frame/.gcc_except_table (unwind
#     tables of exceptions);
#   - C++ runtime symbols (operator new/delete, __cxa_*, the personality
#     routine, type information, __dso_handle, atexit);
#   - GOT relocations (position-independent code the module loader refuses);
#   - floating-point or SIMD registers in the core's code (x87/MMX/SSE/AVX
#     on x86, the FPU on MIPS): the kernel does not save them for us.
# Exits 1 and names every finding; prints "check: ok" otherwise.
set -uo pipefail

prefix=""
if [ "${1:-}" = --tool-prefix ]; then
	prefix=$2
	shift 2
fi
[ $# -ge 1 ] || { echo "usage: $0 [--tool-prefix P] MODULE.ko [CORE.o ...]" >&2; exit 2; }
readelf=${prefix}readelf
objdump=${prefix}objdump
nm=${prefix}nm
failed=0

fail() {
	echo "check: $*" >&2
	failed=1
}

for f in "$@"; do
	[ -f "$f" ] || { fail "$f: missing"; continue; }
	sections=$($readelf -SW "$f") || { fail "$f: not an ELF object"; continue; }
	for s in .init_array .ctors .preinit_array .eh_frame .gcc_except_table; do
		if grep -Eq "\] \\$s(\.|[[:space:]])" <<<"$sections"; then
			fail "$f: section $s"
		fi
	done

	runtime=$($nm -u "$f" | awk '{print $NF}' |
		grep -E '^(_Zn[wa]|_Zd[la]|__cxa_|__gxx_|_Unwind_|_ZTV|_ZTI|_ZTS|__dso_handle$|atexit$|__cxa_atexit$|_ZSt|__stack_chk_guard_local)' || true)
	[ -z "$runtime" ] || fail "$f: C++ runtime symbols: $(echo $runtime)"

	got=$($readelf -rW "$f" | grep -E 'R_X86_64_(GOT|REX_GOT)|R_MIPS_(GOT|CALL16|CALL_|TLS)' |
		awk '{print $3}' | sort -u || true)
	[ -z "$got" ] || fail "$f: GOT relocations: $(echo $got)"
done

# Register use is checked on the core's objects (the glue is plain kernel C).
shift
for f in "$@"; do
	[ -f "$f" ] || continue
	code=$($objdump -d --no-show-raw-insn "$f" 2>/dev/null)
	regs=$(grep -E '%(x|y|z)mm[0-9]|%mm[0-7]|%st(\(|\b)|\b(f(ld|st|ild|istp?|add|mul|div|sub)[a-z]*|fninit|fxsave|fxrstor|emms|vzeroupper)\b|\$f[0-9]+|\b(lwc1|swc1|ldc1|sdc1|mtc1|mfc1|ctc1|cfc1|cvt\.[a-z.]+|(add|sub|mul|div|mov)\.[sd])\b' <<<"$code" | head -5 || true)
	[ -z "$regs" ] || fail "$f: floating-point/SIMD instructions:
$regs"
done

if [ $failed -ne 0 ]; then
	exit 1
fi
echo "check: ok"
