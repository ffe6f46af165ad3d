#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Checks the guest's micomflash runs (guest_flash.sh) after a QEMU test:
#
#   check_flash.sh WORK_DIR MICOMFLASH_EXPECTED
#
# WORK_DIR holds console.log (the guest's "fp-flash:" lines), micom.log
# (micom_host's flash reports and pin writes) and flash/image1, image2.  The
# expected output of a good run comes from MICOMFLASH_EXPECTED, the same
# description the simulator's tests use.  Prints a "FAIL: ..." line per
# fault, then the figures: each flash's wall time and its share in the
# program's sleeps, the pin writes' timing on the host against the
# program's sleeps.
# Exit status: 0 pass, 1 fail.
set -uo pipefail

work=${1:?usage: check_flash.sh WORK_DIR MICOMFLASH_EXPECTED}
expected_tool=${2:?}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

console=$(tr -d '\r' <"$work/console.log")
# run_field TAG exit|md5: from the run's line
run_field() { sed -n "s/.*fp-flash: $1 exit \([0-9]*\) uptime [0-9.]* [0-9.]* md5 \([0-9a-f]*\).*/\1 \2/p" <<<"$console" |
	awk -v f="$2" '{print f == "exit" ? $1 : $2}'; }
# report TAG: "CHECKSUM HEX" of the host's flash at the guest's request
report() { awk -v t="$1" '$2 == "flash" && $3 == t {print $4, $5}' "$work/micom.log"; }
image_hex() { od -An -tx1 -v "$1" | tr -d ' \n' | tr a-f A-F; }
md5() { md5sum | cut -d' ' -f1; }

expect_run() { # expect_run TAG EXIT OUTPUT_MD5
	[ "$(run_field "$1" exit)" = "$2" ] || fail "$1: exit status '$(run_field "$1" exit)', expected $2"
	[ "$(run_field "$1" md5)" = "$3" ] || fail "$1: standard output is not the expected one (md5 '$(run_field "$1" md5)', expected $3)"
}
good_output() { # good_output TAG IMAGE: a good run's output from the flash the run found
	"$expected_tool" output "$(report "$1-before" | cut -d' ' -f1)" "$2"
}

if ! grep -q 'fp-flash: ' <<<"$console"; then
	fail "the guest ran no micomflash"
	exit 1
fi
image1=$(image_hex "$work/flash/image1")
image2=$(image_hex "$work/flash/image2")

# refused verification: each block's verify line a failure, all else as a
# good run; then a good run puts the image in place
expect_run b-nak 1 "$(good_output b-nak "$work/flash/image1" | sed 's/^0x.. BLOCK VERIFY OK$/VERIFY FAIL[01]/' | md5)"
expect_run b-good 0 "$(good_output b-good "$work/flash/image1" | md5)"
[ "$(report b-good | cut -d' ' -f2)" = "$image1" ] || fail "b-good: the flash does not hold the image"

# power lost in block 0x1F (the guest checked the lines): blocks 0 to 30
# were written, the last one not whole; build A's good run restores
[ "$(run_field b-cut exit)" = 1 ] || fail "b-cut: exit status '$(run_field b-cut exit)', expected 1"
cut_flash=$(report b-cut | cut -d' ' -f2)
[ "${cut_flash:0:15872}" = "${image2:0:15872}" ] || fail "b-cut: blocks 0 to 30 were not written"
[ "$cut_flash" != "$image2" ] || fail "b-cut: the flash holds the whole image after the power loss"
expect_run a-good 0 "$(good_output a-good "$work/flash/image2" | md5)"
[ "$(report a-good | cut -d' ' -f2)" = "$image2" ] || fail "a-good: the flash does not hold the image"

for b in a b; do
	expect_run $b-missing 1 "$(echo "file NULL" | md5)"
	[ "$(report $b-missing)" = "$(report $b-missing-before)" ] || fail "$b-missing: the flash changed"
	expect_run $b-noarg 2 "$(printf '' | md5)"
done

# ---- figures ----------------------------------------------------------------
for tag in b-nak b-good b-cut a-good; do
	build=${tag%%-*}
	sed -n "s/.*fp-flash: $tag exit [0-9]* uptime \([0-9.]*\) \([0-9.]*\)/\1 \2/p" <<<"$console" |
		awk -v tag="$tag" -v sleeps="$("$expected_tool" sleeps "$build")" '{
			wall = $2 - $1
			printf "flash-seconds %s %.2f (sleeps %.2f s, %.0f%%)\n", tag, wall, sleeps / 1e6, 100 * sleeps / 1e6 / wall }'
done

# The pin writes of each run (micom.log "pin" lines after each "pins hello")
# against the GPIO writes the program must make and the sleeps between them:
# the same writes in the same order, and how much later than the sleeps
# each one reached the host's pins (host) and left the program (guest).
awk -v tool="$expected_tool" '
	function sort(x, n,   i, j, t) {
		for (i = 2; i <= n; i++) {
			t = x[i]
			for (j = i - 1; j >= 1 && x[j] > t; j--) x[j + 1] = x[j]
			x[j + 1] = t
		}
	}
	BEGIN {
		for (b = 0; b < 2; b++) {
			build = b ? "b" : "a"
			n = 0
			while (((tool " pins " build) | getline line) > 0) {
				split(line, f, " ")
				n++; seq[build, n] = f[1]; addr[build, n] = f[2]; val[build, n] = f[3]; us[build, n] = f[4]
			}
			count[build] = n
		}
	}
	$2 == "pins" && $3 == "hello" { run++; k[run] = 0; next }
	$2 == "pin" { k[run]++; i = k[run]; host[run, i] = $1 * 1e6; guest[run, i] = $3; a[run, i] = $4; v[run, i] = $5 }
	END {
		bad = 0; m = 0; q = 0
		for (r = 1; r <= run; r++) {
			if (k[r] == 0) continue
			build = (k[r] == count["a"] && a[r, 5] == "10500" && v[r, 5] == "00400040") ? "a" : "b"
			if (k[r] != count[build]) { print "FAIL: run " r ": " k[r] " pin writes, expected " count[build]; bad++; continue }
			for (i = 1; i <= k[r]; i++) {
				if (a[r, i] != addr[build, i] || v[r, i] != val[build, i]) {
					print "FAIL: run " r " pin write " i ": " a[r, i] " " v[r, i] ", expected " addr[build, i] " " val[build, i]; bad++
				}
				if (i > 1 && seq[build, i] == seq[build, i - 1]) {
					m++
					he[m] = host[r, i] - host[r, i - 1] - us[build, i]
					ge[m] = guest[r, i] - guest[r, i - 1] - us[build, i]
					ce[m] = he[m] - ge[m]
					# back to back: the interval in the program is the round trip of one write
					if (us[build, i] == 0) rt[++q] = guest[r, i] - guest[r, i - 1]
				}
			}
		}
		if (m > 0) {
			n = m; sort(he, n); sort(ge, n); sort(ce, n); h = int((n + 1) / 2)
			sort(rt, q)
			printf "pin-write-round-trip-us median %.0f worst %.0f (%d writes)\n", rt[int((q + 1) / 2)], rt[q], q
			printf "pin-timing-us (%d intervals) later than the sleeps: on the host median %.0f worst %.0f, in the program median %.0f worst %.0f; the channel adds median %.0f worst %.0f (least %.0f)\n", n, he[h], he[n], ge[h], ge[n], ce[h], ce[n], ce[1]
		}
		exit bad != 0
	}' "$work/micom.log" || failures=$((failures + 1))

if [ $failures -ne 0 ]; then
	echo "micomflash checks: $failures failed"
	exit 1
fi
echo "micomflash checks: pass"
exit 0
