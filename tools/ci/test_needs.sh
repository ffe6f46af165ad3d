#!/bin/sh
# SPDX-License-Identifier: MIT
#
# What `make test` needs beyond the build, and what is left when it is not
# there: the commands some tests run, each with the Debian package that has
# it.  Without them those tests report themselves skipped.
#
#   test_needs.sh install     as root: apt-get installs the packages of the
#                             commands missing (nothing to do as another user)
#   test_needs.sh missing     prints those packages on one line
#   test_needs.sh report LOG  after ctest, whose output is in LOG: names the
#                             tests it skipped and the one command that
#                             installs what they need
set -u
needs="sigrok-cli:sigrok-cli mandoc:mandoc"  # command:package

missing() {
    pkgs=""
    for need in $needs; do
        command -v "${need%%:*}" >/dev/null 2>&1 || pkgs="$pkgs ${need#*:}"
    done
    echo "${pkgs# }"
}

case "${1:-}" in
missing)
    missing
    ;;
install)
    pkgs=$(missing)
    [ -n "$pkgs" ] && [ "$(id -u)" = 0 ] || exit 0
    echo "make test: installing what its tests need: $pkgs"
    # shellcheck disable=SC2086
    apt-get install -y $pkgs || { apt-get update && apt-get install -y $pkgs; }
    ;;
report)
    skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$2")
    [ -n "$skipped" ] || exit 0
    echo "make test: $(echo "$skipped" | wc -l) tests were skipped:" $skipped
    pkgs=$(missing)
    # the QEMU tests install their own packages, and only as root
    qemu=$(echo "$skipped" | grep -c qemu)
    sudo=""
    [ "$(id -u)" = 0 ] || sudo="sudo "
    if [ "$qemu" = 0 ] && [ -n "$pkgs" ]; then
        echo "make test: what they need: ${sudo}apt-get install $pkgs"
    elif [ -n "$sudo" ]; then
        echo "make test: what they need comes with: sudo make test (as root it installs ${pkgs:+$pkgs and }the QEMU tests' packages)"
    fi
    ;;
*)
    echo "usage: test_needs.sh install | missing | report CTEST_OUTPUT" >&2
    exit 2
    ;;
esac
