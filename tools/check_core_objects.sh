#!/bin/sh
# Checks the driver core's objects for what a kernel module cannot have:
# symbols outside the platform interface (library calls, the C++ runtime),
# and constructor or unwind sections (a kernel never runs constructors).
# usage: check_core_objects.sh KERNEL_HEADER_DIR OBJECT...
set -u
hdrs=$1
shift
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0

grep -ohE '\b(kp_[A-Za-z0-9_]+|gbus_[a-z0-9_]+|tangox_[a-z0-9_]+|memset|memcpy|memmove|strlen)\b' \
	"$hdrs"/*.h | sort -u > "$tmp/allowed"
# position-independent objects name the GOT; the kernel build checks GOT use itself
echo _GLOBAL_OFFSET_TABLE_ >> "$tmp/allowed"

: > "$tmp/undefined"
: > "$tmp/defined"
for obj in "$@"; do
	if [ ! -f "$obj" ]; then
		echo "$obj: no such object"
		status=1
		continue
	fi
	nm -u "$obj" | awk '{print $NF}' >> "$tmp/undefined"
	nm --defined-only "$obj" | awk '{print $NF}' >> "$tmp/defined"
	for sec in .init_array .ctors .eh_frame .preinit_array .fini_array .dtors; do
		if objdump -h "$obj" | awk '{print $2}' | grep -qx -- "$sec"; then
			echo "$(basename "$obj"): has a $sec section"
			status=1
		fi
	done
done
sort -u "$tmp/undefined" -o "$tmp/undefined"
sort -u "$tmp/defined" -o "$tmp/defined"
sort -u "$tmp/allowed" -o "$tmp/allowed"
comm -23 "$tmp/undefined" "$tmp/defined" | comm -23 - "$tmp/allowed" > "$tmp/bad"
if [ -s "$tmp/bad" ]; then
	echo "the driver core references symbols that the platform interface does not declare:"
	sed 's/^/  /' "$tmp/bad"
	status=1
fi
[ $status -eq 0 ] && echo "driver core: $# objects checked, all clean"
exit $status
