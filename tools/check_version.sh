#!/bin/sh
# SPDX-License-Identifier: MIT
#
# The release has one home, the file VERSION at the top.  This compares
# everything that states it with that file:
#
#   check_version.sh [FPSIM] [KO]
#
# always debian/changelog (the packages' version) and the dkms.conf that
# driver/linux/dkms_source.sh writes (the DKMS tree's version); with FPSIM,
# what `FPSIM --version` says (CMake's project version); with KO, the
# module's MODULE_VERSION (modinfo).  Exit status 0 when all agree, 1 when
# one differs (each is named), 2 for a usage error.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
fpsim=${1:-}
ko=${2:-}
want=$(head -n1 "$top/VERSION")
failed=0

same() { # same WHAT VALUE
	if [ "$2" = "$want" ]; then
		echo "version: $1 $2"
	else
		echo "version: $1 says '$2', VERSION says '$want'"
		failed=1
	fi
}

case "$want" in
'' | *[!A-Za-z0-9.+~]*) echo "version: VERSION holds '$want', not a version" >&2; exit 2 ;;
esac

same debian/changelog "$(sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p' "$top/debian/changelog")"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$top/driver/linux/dkms_source.sh" "$tmp/src" >/dev/null &&
	same dkms.conf "$(sed -n 's/^PACKAGE_VERSION="\(.*\)"$/\1/p' "$tmp/src/dkms.conf")" ||
	{ echo "version: dkms_source.sh failed"; failed=1; }

[ -z "$fpsim" ] || same "fpsim --version" "$("$fpsim" --version | sed -n 's/^fpsim //p')"
[ -z "$ko" ] || same "modinfo $ko" "$(modinfo -F version "$ko")"

[ $failed -eq 0 ]
