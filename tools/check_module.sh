#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Post-build check of frontpanel.ko and the core's objects: what builds
# cleanly but fails silently in a kernel.
#
#   check_module.sh [--tool-prefix mipsel-linux-gnu-] MODULE.ko [CORE.o ...]
#
#   - .init_array/.ctors (a global with dynamic initialisation: its
#     constructor would never run where the kernel has no constructor
#     support), .eh_frame/.gcc_except_table (unwind tables of exceptions).
#     One kind of constructor is allowed: the global registration that
#     KASAN makes the compiler add to every instrumented object (a function
#     _sub_I_<priority>_<n> that only passes the object's globals to
#     __asan_register_globals); a KASAN kernel runs it at load;
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

# The functions that the entries of .init_array in $1 point at, one a line
# ("?" for an entry that cannot be resolved to a function).
init_array_targets() {
	local f=$1
	$readelf -rW "$f" | awk '
		/^Relocation section/ { on = ($3 == "'"'"'.rela.init_array'"'"'" || $3 == "'"'"'.rel.init_array'"'"'") ; next }
		on && $1 ~ /^[0-9a-f]+$/ && NF >= 5 { print $5, (NF >= 7 ? $7 : "0") }' |
	while read -r sym addend; do
		if [ "$($readelf -sW "$f" | awk -v n="$sym" '$8 == n && $4 == "FUNC" {print "y"; exit}')" = y ]; then
			echo "$sym"
			continue
		fi
		# against a section symbol: the function at that offset of the section
		local idx
		idx=$($readelf -SW "$f" | sed -n 's/^ *\[ *\([0-9]*\)\] \([^ ]*\) .*/\1 \2/p' | awk -v n="$sym" '$2 == n {print $1; exit}')
		$readelf -sW "$f" | awk -v i="$idx" -v a="$addend" '
			function hex(v) { sub(/^0+/, "", v); return v == "" ? "0" : v }
			$4 == "FUNC" && $7 == i && hex($2) == hex(a) { print $8; found = 1; exit }
			END { if (!found) print "?" }'
	done
}

# Is function $2 of $1 a sanitizer's global registration?  Named as the
# compiler names it, and nothing in it refers to code or to any external
# symbol but __asan_register_globals.
sanitizer_constructor() {
	local f=$1 fn=$2
	[[ "$fn" =~ ^_sub_I_[0-9]+_[0-9]+$ ]] || return 1
	local value size idx sec refs
	read -r value size idx < <($readelf -sW "$f" | awk -v n="$fn" '$8 == n && $4 == "FUNC" {print $2, $3, $7; exit}')
	[ -n "$idx" ] || return 1
	sec=$($readelf -SW "$f" | sed -n 's/^ *\[ *\([0-9]*\)\] \([^ ]*\) .*/\1 \2/p' | awk -v i="$idx" '$1 == i {print $2; exit}')
	refs=$($objdump -dr -j "$sec" --start-address=$((16#$value)) --stop-address=$((16#$value + size)) "$f" 2>/dev/null |
		awk '$2 ~ /^R_/ { sub(/[-+]0x[0-9a-f]+$/, "", $3); print $3 }' | sort -u)
	[ -n "$refs" ] || return 1
	local r undefined
	undefined=$($nm -u "$f" | awk '{print $NF}')
	for r in $refs; do
		case "$r" in
		__asan_register_globals) ;;
		.text* | .init.text* | .exit.text*) return 1 ;;
		.*) ;; # the descriptors of the object's globals, in a data section
		*) grep -qx -- "$r" <<<"$undefined" && return 1 ;;
		esac
	done
	return 0
}

for f in "$@"; do
	[ -f "$f" ] || { fail "$f: missing"; continue; }
	sections=$($readelf -SW "$f") || { fail "$f: not an ELF object"; continue; }
	for s in .init_array .ctors .preinit_array .eh_frame .gcc_except_table; do
		grep -Eq "\] \\$s(\.|[[:space:]])" <<<"$sections" || continue
		if [ "$s" = .init_array ] && ! grep -Eq '\] \.init_array\.' <<<"$sections"; then
			others=""
			for fn in $(init_array_targets "$f"); do
				sanitizer_constructor "$f" "$fn" || others+=" $fn"
			done
			[ -n "$others" ] || continue
			fail "$f: section .init_array (constructors:$others)"
			continue
		fi
		fail "$f: section $s"
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
