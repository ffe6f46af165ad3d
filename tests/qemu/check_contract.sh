#!/bin/bash
# SPDX-License-Identifier: MIT
#
# check_contract.sh TABLE CONSOLE_LOG: the guest's "fp-contract:" lines
# (guest_tool contract, guest_contract.c) against the platform interface's
# table (tests/contract/platform_contract.table), the same table the
# simulator's test holds the simulated kernel to.  A 3.x guest is held to
# the 3.9 column, a later one to the 6.x column where it has one.  Prints
# one summary line "contract: ..." and, for each scenario that differs or
# did not run, a line "contract: FAIL ..."; exit status 1 then.
set -uo pipefail
table=${1:?usage: check_contract.sh TABLE CONSOLE_LOG}
console=${2:?usage: check_contract.sh TABLE CONSOLE_LOG}

kernel=$(grep -ao 'fp-contract: kernel [^ ]*' "$console" | tr -d '\r' | tail -1 | awk '{print $3}')
if [ -z "$kernel" ]; then
	echo "contract: FAIL the guest ran no scenario of the table"
	exit 1
fi
case $kernel in 3.*) generation=3.9 ;; *) generation=6.x ;; esac

# the guest's results: "SCENARIO RESULT..." (the log's time stamp cut off)
results=$(grep -a 'fp-contract: ' "$console" | sed 's/.*fp-contract: //; s/\r$//' | grep -v '^kernel ')

awk -F ' [|] ' -v gen="$generation" -v kernel="$kernel" -v results="$results" '
BEGIN {
	n = split(results, lines, "\n")
	for (i = 1; i <= n; i++) {
		name = lines[i]; sub(/ .*/, "", name)
		got[name] = substr(lines[i], length(name) + 2)
	}
}
/^#/ || NF == 0 { next }
NF != 4 { print "contract: FAIL a line of the table without its four fields: " $0; bad++; next }
{
	want = (gen == "6.x" && $3 != "-") ? $3 : $2
	if ($4 != "-") { skipped = skipped (skipped ? ", " : "") $1; next }
	rows++
	if (!($1 in got)) { print "contract: FAIL " $1 ": not run in the guest"; bad++; next }
	if (got[$1] != want) {
		printf "contract: FAIL %s: the guest gives \"%s\", the table'\''s %s column \"%s\"\n", $1, got[$1], gen, want
		bad++
		next
	}
	same++
	if (gen == "6.x" && $3 != "-") differs = differs (differs ? ", " : "") $1
}
END {
	printf "contract: %d of %d scenarios on %s as the table'\''s %s column says", same, rows, kernel, gen
	if (differs) printf "; unlike 3.9: %s", differs
	if (skipped) printf "; not run in the guest: %s", skipped
	printf "\n"
	exit bad > 0
}' "$table"
