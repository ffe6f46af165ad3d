#!/bin/bash
# SPDX-License-Identifier: MIT
#
# The kernel community's own checks on the module's C glue:
#
#   kernel_style.sh WORK_DIR
#
#   - scripts/checkpatch.pl --strict --no-tree -f (from Debian's
#     linux-source-6.1, unpacked once into the cache) on every C file and
#     header of driver/linux/;
#   - sparse (Debian's sparse) on the glue as the 6.1 build compiles it
#     (make C=2 against the installed amd64 6.1 headers).
#
# Every message must be one that the table "Accepted messages" of
# tests/kernel_check/README.md lists (file and message, without the line
# number), and every row of the table must still occur: a new message
# fails, and so does a stale row.  A deliberately bad copy of a glue file
# must fail the same comparison, which shows it can.
# Exit status: 0 clean, 1 findings, 77 cannot be set up here (reason on
# stdout).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
top=$fp_top
work=${1:?usage: kernel_style.sh WORK_DIR}
mkdir -p "$work"
work=$(cd "$work" && pwd)
glue="$top/driver/linux"

skip() {
	echo "SKIPPED: $*"
	exit 77
}

missing=()
for p in linux-source-6.1 sparse; do
	fp_installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
	[ "$(id -u)" = 0 ] || skip "missing packages ${missing[*]} and not root to install them"
	DEBIAN_FRONTEND=noninteractive fp_apt_get install -y -q "${missing[@]}" >"$work/apt.log" 2>&1 ||
		skip "cannot install ${missing[*]} (see $work/apt.log)"
fi
kdir=$(fp_kdir x86_64)
[ -n "$kdir" ] || skip "no amd64 6.1 kernel headers for sparse"

# ---- checkpatch from the source package, unpacked once ---------------------
version=$(dpkg-query -W -f='${Version}' linux-source-6.1)
cache=$(fp_kernel_cache_root "" checkpatch kernel-cache-checkpatch)
[ -n "$cache" ] || skip "no writable cache folder"
scripts="$cache/$version/scripts"
if [ ! -f "$scripts/checkpatch.pl" ]; then
	rm -rf "${cache:?}/$version"
	mkdir -p "$cache/$version"
	tar -C "$cache/$version" --strip-components=1 -xJf /usr/src/linux-source-6.1.tar.xz \
		linux-source-6.1/scripts/checkpatch.pl linux-source-6.1/scripts/spelling.txt \
		linux-source-6.1/scripts/const_structs.checkpatch || skip "cannot unpack checkpatch.pl"
fi

# "FILE: LEVEL: message" of checkpatch's terse output, one per kind
checkpatch() { # checkpatch FILE...
	local f
	for f in "$@"; do
		(cd "$(dirname "$f")" && perl "$scripts/checkpatch.pl" --strict --no-tree --terse \
			--no-summary -f "$(basename "$f")" 2>/dev/null)
		rm -f "$(dirname "$f")"/.checkpatch-camelcase.*
	done | sed -E 's/^([^:]+):[0-9]+: /\1: /'
}

# ---- sparse on the 6.1 build ------------------------------------------------
if ! "$glue/build_module.sh" --arch x86_64 --kdir "$kdir" --out "$work/ko" >"$work/build.log" 2>&1; then
	tail -20 "$work/build.log"
	echo "FAIL: module build for sparse"
	exit 1
fi
make -C "$kdir" M="$work/ko" C=2 modules >"$work/sparse.log" 2>&1 || {
	tail -20 "$work/sparse.log"
	echo "FAIL: make C=2"
	exit 1
}
sparse_found=$(grep -E '^/.*:[0-9]+:[0-9]+: (warning|error):' "$work/sparse.log" |
	sed -E 's#^.*/([^/:]+):[0-9]+:[0-9]+: (warning|error): #\1: sparse \2: #')

# ---- against the accepted list ------------------------------------------------
# rows "| `FILE` | `MESSAGE` | why |" of the section "Accepted messages"
accepted=$(awk '/^#+ /{on = ($0 ~ /Accepted messages/)} on && /^\| `/' "$here/README.md" |
	sed -E 's/^\| `([^`]+)` \| `([^`]+)` \|.*/\1: \2/' | sort -u)

compare() { # compare FOUND: prints what is new and what is stale; false when any
	local found=$1 new stale
	new=$(comm -23 <(sort -u <<<"$found" | sed '/^$/d') <(echo "$accepted"))
	stale=$(comm -13 <(sort -u <<<"$found" | sed '/^$/d') <(echo "$accepted"))
	[ -z "$new" ] || sed 's/^/new: /' <<<"$new"
	[ -z "$stale" ] || sed 's/^/no longer found (remove from the list): /' <<<"$stale"
	[ -z "$new$stale" ]
}

found=$(checkpatch "$glue"/*.c "$glue"/*.h)
printf '%s\n%s\n' "$found" "$sparse_found" | sed '/^$/d' >"$work/findings.txt"
echo "style: $(wc -l <"$work/findings.txt") messages of checkpatch and sparse, $(wc -l <<<"$accepted") accepted kinds"
compare "$(cat "$work/findings.txt")"
rc=$?

# the comparison must see a new message: a copy of a glue file with a
# blank before a semicolon and trailing white space
mkdir -p "$work/bad"
sed -e '0,/return ret;/s//return ret ; /' "$glue/kp_irq.c" >"$work/bad/kp_irq.c"
if compare "$(cat "$work/findings.txt"; checkpatch "$work/bad/kp_irq.c")" >"$work/bad.log"; then
	echo "FAIL: a bad copy of kp_irq.c passed the comparison"
	rc=1
else
	echo "style: a bad copy of kp_irq.c is refused ($(grep -c '^new' "$work/bad.log") new messages)"
fi
[ $rc -eq 0 ] && echo "style: clean"
exit $rc
