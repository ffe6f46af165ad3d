#!/bin/sh
# SPDX-License-Identifier: MIT
#
# fpsim(1) names every shell command that `help` lists and every option that
# `fpsim --help` lists, so a new command or option cannot go undocumented; and
# its list of faults (FAULTS) is the one of `fault help`, which prints the
# shell's table of faults (sim/shell/fault_table.cpp), so neither can drift.
#
#   check_fpsim_page.sh FPSIM docs/man/fpsim.1
set -eu
fpsim=$1 page=$2
status=0

# The usage part of each help line (before the first two blanks), split at
# " | ": its first word, when it starts with a lower-case letter.
commands=$(printf 'help\n' | "$fpsim" shell | awk '{
	sub(/  .*/, "")
	n = split($0, alt, / \| /)
	for (i = 1; i <= n; i++) {
		split(alt[i], w, " ")
		if (w[1] ~ /^[a-z][a-z-]*$/)
			print w[1]
	}
}' | sort -u)
[ -n "$commands" ] || { echo "check_fpsim_page.sh: $fpsim shell printed no help"; exit 1; }
for c in $commands; do
	if ! grep -Eq "^\.It Ic $c( |\$)" "$page"; then
		echo "check_fpsim_page.sh: shell command '$c' is not described in $page (.It Ic $c)"
		status=1
	fi
done

options=$("$fpsim" --help | grep -Eo -- '(^|[ [])--?[a-z][a-z-]*' | sed 's/^[ [ ]*//' | sort -u)
for o in $options; do
	if ! grep -Eq -- "[. ]Fl ${o#-}( |\$)" "$page"; then
		echo "check_fpsim_page.sh: option '$o' is not described in $page (.Fl ${o#-})"
		status=1
	fi
done

# The faults, one a line with their arguments ("fault primary drop P"), from
# both: `fault help` writes "fault primary|isp drop P", the choices of a word
# joined by '|', the arguments in capitals or "on|off"; the page writes
# ".It Ic fault primary | isp drop Ar P", the arguments as Ar or Cm.  (fault
# help lists every fault but itself.)
# shellcheck disable=SC2016
one_a_line='{
	n = 0; args = ""
	for (i = 2; i <= NF; i++)
		if ($i ~ /^([A-Z]+|on\|off)$/) args = args " " $i; else word[++n] = $i
	spread(1, "fault")
}
function spread(i, s,   k, m, alt) {
	if (i > n) { print s args; return }
	m = split(word[i], alt, "|")
	for (k = 1; k <= m; k++) spread(i + 1, s " " alt[k])
}'
from_help=$({ printf 'fault help\n' | "$fpsim" shell | grep '^fault ' | sed 's/  .*//'
	echo 'fault help'; } | awk "$one_a_line" | sort)
from_page=$(sed -n '/^\.Sh FAULTS$/,/^\.Sh /s/^\.It Ic \(fault .*\)/\1/p' "$page" |
	sed 's/ | /|/g; s/Ar \([a-z]*\)/\U\1/g; s/Cm //g' | awk "$one_a_line" | sort)
[ "$(printf '%s\n' "$from_help" | wc -l)" -gt 1 ] || { echo "check_fpsim_page.sh: $fpsim printed no fault help"; exit 1; }
[ -n "$from_page" ] || { echo "check_fpsim_page.sh: $page lists no faults (.Sh FAULTS, .It Ic fault)"; exit 1; }
only_help=$(printf '%s\n' "$from_help" | grep -vxF -e "$from_page" || true)
only_page=$(printf '%s\n' "$from_page" | grep -vxF -e "$from_help" || true)
if [ -n "$only_help" ]; then
	printf '%s\n' "$only_help" | sed "s|^|check_fpsim_page.sh: not in the FAULTS list of $page (.It Ic): |"
	status=1
fi
if [ -n "$only_page" ]; then
	printf '%s\n' "$only_page" | sed "s|^|check_fpsim_page.sh: in the FAULTS list of $page, not in fault help: |"
	status=1
fi
exit $status
