#!/bin/sh
# SPDX-License-Identifier: MIT
#
# The fpsim shell reads none of the driver's state: no file of sim/shell
# includes a header of driver/ (sim/checks reads the driver's state and gives
# the shell verdicts and the default key map).
#
#   no_driver_headers.sh TOP
set -u
top=$1
status=0
for f in "$top"/sim/shell/*.cpp "$top"/sim/shell/*.h; do
	[ -f "$f" ] || continue
	sed -n 's/^#include "\([^"]*\)".*/\1/p' "$f" | while IFS= read -r h; do
		if [ -f "$top/driver/$h" ]; then
			echo "no_driver_headers.sh: ${f#"$top"/} includes the driver's $h (ask sim/checks instead)"
		fi
	done
done | grep . && status=1
exit $status
