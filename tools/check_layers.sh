#!/bin/bash
# SPDX-License-Identifier: MIT
#
# The simulator's layers, bottom first, each with its objects:
#
#   check_layers.sh NAME OBJECT... -- NAME OBJECT... -- ...
#
# Fails when an object of one layer refers to a symbol (a function or a
# variable) that no layer at or below it defines but a layer above it does:
# a call or a read that reaches up.  Symbols from the C and C++ libraries,
# and those the driver module provides (the box finds them by name at run
# time), are defined by no layer and pass.
set -euo pipefail

names=() lists=()
cur=() name=
flush() {
	[ -n "$name" ] || return 0
	names+=("$name")
	lists+=("${cur[*]}")
	cur=() name=
}
for a in "$@"; do
	if [ "$a" = -- ]; then
		flush
	elif [ -z "$name" ]; then
		name=$a
	else
		cur+=("$a")
	fi
done
flush
[ ${#names[@]} -ge 2 ] || { echo "usage: check_layers.sh NAME OBJ... -- NAME OBJ... [-- ...]" >&2; exit 2; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for i in "${!names[@]}"; do
	# shellcheck disable=SC2086
	nm --defined-only -P ${lists[$i]} 2>/dev/null | awk 'NF >= 2 && $2 !~ /^[UwvN]$/ && $2 ~ /[A-Z]/ { print $1 }' |
		sort -u >"$tmp/def.$i"
	# shellcheck disable=SC2086
	nm -u -P ${lists[$i]} 2>/dev/null | awk '{ print $1 }' | sort -u >"$tmp/undef.$i"
done

bad=0
n=${#names[@]}
for ((i = 0; i < n; i++)); do
	: >"$tmp/above"
	for ((j = i + 1; j < n; j++)); do cat "$tmp/def.$j" >>"$tmp/above"; done
	: >"$tmp/below"
	for ((j = 0; j <= i; j++)); do cat "$tmp/def.$j" >>"$tmp/below"; done
	sort -u -o "$tmp/above" "$tmp/above"
	sort -u -o "$tmp/below" "$tmp/below"
	up=$(comm -12 "$tmp/undef.$i" "$tmp/above" | comm -23 - "$tmp/below")
	if [ -n "$up" ]; then
		echo "layers: ${names[$i]} reaches up for:"
		printf '%s\n' "$up" | c++filt | sed 's/^/  /'
		bad=1
	else
		echo "layers: ${names[$i]}: $(wc -l <"$tmp/undef.$i") symbols from outside, none from above"
	fi
done
exit $bad
