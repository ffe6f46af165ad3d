#!/bin/bash
# SPDX-License-Identifier: MIT
#
# The box variant of frontpanel.ko against the box's kernel: what it leaves
# undefined must be exactly the four SoC calls that the box's kernel adds
# with its SoC support, plus symbols that the kernel exports.
#
#   check_box_symbols.sh [--tool-prefix mipsel-linux-gnu-] MODULE.ko KERNEL_TREE
#
# KERNEL_TREE: a built tree; its Module.symvers lists the exports (its
# System.map, where there is no Module.symvers, the kernel's symbols).
# Prints "box-symbols: ok (N kernel symbols, 4 SoC calls)", or each
# symbol that does not fit, and exits 1.
set -uo pipefail

prefix=""
if [ "${1:-}" = --tool-prefix ]; then
	prefix=$2
	shift 2
fi
ko=${1:?usage: check_box_symbols.sh [--tool-prefix P] MODULE.ko KERNEL_TREE}
tree=${2:?}
soc="gbus_read_uint32 gbus_write_uint32 tangox_chip_id tangox_udelay"

if [ -f "$tree/Module.symvers" ]; then
	exported=$(awk '{print $2}' "$tree/Module.symvers")
elif [ -f "$tree/System.map" ]; then
	exported=$(awk '{print $3}' "$tree/System.map")
else
	echo "box-symbols: no Module.symvers or System.map in $tree" >&2
	exit 2
fi
undefined=$("${prefix}nm" -u "$ko" | awk '{print $NF}') || exit 2

bad=0 kernel=0
for s in $soc; do
	grep -qxF "$s" <<<"$undefined" || { echo "box-symbols: the SoC call $s is not undefined in $ko"; bad=1; }
done
for s in $undefined; do
	case " $soc " in *" $s "*) continue ;; esac
	if grep -qxF "$s" <<<"$exported"; then
		kernel=$((kernel + 1))
	else
		echo "box-symbols: $s is neither a SoC call nor exported by the kernel"
		bad=1
	fi
done
[ $bad -eq 0 ] || exit 1
echo "box-symbols: ok ($kernel kernel symbols, 4 SoC calls)"
