#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Lays out frontpanel's source tree for DKMS:
#
#   dkms_source.sh DEST [VERSION]     (VERSION default 1.0)
#
# DEST gets dkms.conf (with VERSION) and the driver's sources under
# driver/.  Then, as root:
#
#   driver/linux/dkms_source.sh /usr/src/frontpanel-1.0
#   dkms add frontpanel/1.0 && dkms install frontpanel/1.0
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
dest=${1:?usage: dkms_source.sh DEST [VERSION]}
version=${2:-1.0}
[[ "$version" =~ ^[A-Za-z0-9.+~-]+$ ]] || { echo "dkms_source.sh: bad version $version" >&2; exit 2; }

mkdir -p "$dest"
rm -rf "$dest/driver"
# the sources only: no test fixtures, nothing built
(cd "$top" && find driver -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name Kbuild \) \
	! -path 'driver/linux/check_fixtures/*' ! -name 'test_*' -print0 |
	cpio -0pdm --quiet "$dest")
sed "s/@VERSION@/$version/" "$here/dkms.conf" >"$dest/dkms.conf"
