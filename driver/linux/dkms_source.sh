#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Lays out frontpanel's source tree for DKMS:
#
#   dkms_source.sh DEST [VERSION]     (VERSION default: the release, in
#                                      the file VERSION at the top)
#
# DEST gets dkms.conf (with VERSION), the file VERSION (the module's
# MODULE_VERSION) and the driver's sources under driver/.  Then, as root
# (the release being 0.1.0):
#
#   driver/linux/dkms_source.sh /usr/src/frontpanel-0.1.0
#   dkms add frontpanel/0.1.0 && dkms install frontpanel/0.1.0
#
# The package frontpanel-dkms (debian/rules) lays out its tree with it too.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
dest=${1:?usage: dkms_source.sh DEST [VERSION]}
release=$(head -n1 "$top/VERSION")
version=${2:-$release}
[[ "$version" =~ ^[A-Za-z0-9.+~-]+$ ]] || { echo "dkms_source.sh: bad version $version" >&2; exit 2; }

mkdir -p "$dest"
rm -rf "$dest/driver"
# the sources only, nothing built, and the post-build check build_module.sh runs
(cd "$top" && find driver -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name Kbuild \) \
	-print0 | xargs -0 cp --parents -p -t "$dest")
(cd "$top" && cp --parents -p tools/check_module.sh "$dest")
sed "s/#MODULE_VERSION#/$version/" "$here/dkms.conf" >"$dest/dkms.conf"
echo "$version" >"$dest/VERSION"
