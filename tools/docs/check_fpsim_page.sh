#!/bin/sh
# SPDX-License-Identifier: MIT
#
# fpsim(1) names every shell command that `help` lists and every option that
# `fpsim --help` lists, so a new command or option cannot go undocumented.
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
exit $status
