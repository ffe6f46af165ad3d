#!/bin/sh
# upward_includes.sh BUILD_DIR CASE:ok|CASE:HEADER...
# Builds each case's target: CASE:ok must build; CASE:HEADER must fail to
# compile because HEADER is not found from that layer.
set -u
build=$1
shift
bad=0
for c in "$@"; do
	name=${c%%:*} want=${c#*:}
	out=$(cmake --build "$build" --target "$name" 2>&1)
	rc=$?
	if [ "$want" = ok ]; then
		if [ $rc -eq 0 ]; then echo "ok: $name builds"; else echo "FAIL: $name does not build:"; echo "$out"; bad=1; fi
	elif [ $rc -ne 0 ] && printf '%s\n' "$out" | grep -q "$want: No such file or directory"; then
		echo "ok: $name is refused ($want not found)"
	else
		echo "FAIL: $name (rc $rc) is not refused for want of $want:"; echo "$out"; bad=1
	fi
done
exit $bad
