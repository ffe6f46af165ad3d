#!/bin/bash
# SPDX-License-Identifier: MIT
#
# The Debian packages as a user meets them (make package-check):
#
#   package_check.sh WORK_DIR [MICOM_HOST]
#
# 1. dpkg-buildpackage -us -uc -b in a clean copy of the tree (git archive
#    of the checkout, uncommitted changes to tracked files included);
# 2. lintian on the packages: any error or warning that debian/*.lintian-
#    overrides does not list (with its reason) fails;
# 3. frontpanel-dkms installed with apt: DKMS must have built and installed
#    frontpanel.ko for every installed kernel that has its headers (at least
#    Debian's 6.1 and 6.12, which tests/kernel_check/setup_kernels.sh installs),
#    each with the release as its version (modinfo); with MICOM_HOST (the
#    build's micom_host), the modules installed for 6.1 and 6.12 run the
#    QEMU x86-64 guest test (tests/qemu); then purged, and nothing of it
#    may be left in /usr/src, /var/lib/dkms or /lib/modules;
# 4. fpsim and sigrok-decoder-fpmicom installed: as the unprivileged user
#    nobody, fpsim --version says the release, the packaged example script
#    gives the output the tree's test expects, the demo runs and leaves its
#    trace in the current directory, and sigrok-cli decodes that trace with
#    the installed decoder; then both purged.
#
# Needs root (it installs what it uses).  Prints "SKIPPED: reason" and
# exits 0 when it cannot set itself up here; ends with
# "package-check: N passed, N failed, N skipped"; exit status 1 when
# anything failed.
# Do not run it beside tests/kernel_check/dkms_test.sh: both install frontpanel.ko
# with DKMS.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
. "$top/tests/kernel_check/lib.sh"
work=${1:?usage: package_check.sh WORK_DIR [MICOM_HOST]}
micom_host=${2:-}
mkdir -p "$work" && work=$(cd "$work" && pwd)
passed=0 failed=0 skipped=0
t0=$(date +%s)

skip() { echo "SKIPPED: $*"; exit 0; }
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
apt_install() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -q "$@"; }
apt_purge() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 purge -y -q "$@"; }
leftovers() { # what of the driver is on the system
	ls -d /usr/src/frontpanel-* /var/lib/dkms/frontpanel 2>/dev/null
	find /lib/modules -name 'frontpanel.ko*' 2>/dev/null
}

[ "$(id -u)" = 0 ] || skip "installs packages and kernel modules: needs root"
command -v git >/dev/null && git -C "$top" rev-parse --git-dir >/dev/null 2>&1 ||
	skip "no git checkout at $top to take a clean copy of"
release=$(head -n1 "$top/VERSION")

# ---- set-up ----------------------------------------------------------------
need=()
for p in build-essential debhelper dh-dkms dkms lintian cmake libedit-dev libgtest-dev linux-libc-dev sigrok-cli; do
	fp_installed "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
	apt_install "${need[@]}" >"$work/apt.log" 2>&1 ||
		{ apt-get update -q >>"$work/apt.log" 2>&1 && apt_install "${need[@]}" >>"$work/apt.log" 2>&1; } ||
		skip "cannot install ${need[*]} (see $work/apt.log)"
fi
"$top/tests/kernel_check/setup_kernels.sh" 6.1 6.12 >"$work/kernels.log" 2>&1
[ $? -ne 77 ] || skip "no Debian 6.1 or 6.12 kernel with headers to be had: $(grep SKIPPED "$work/kernels.log" | tr '\n' ' ')"
sed 's/^/  /' "$work/kernels.log"
# this check's own packages go whatever happens (an earlier run cut short
# may have left them); a frontpanel module someone else installed stays
ours=(frontpanel-dkms fpsim sigrok-decoder-fpmicom)
purge_ours() {
	local p installed=()
	for p in "${ours[@]}"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -qv 'not-installed' && installed+=("$p")
	done
	[ ${#installed[@]} -eq 0 ] || apt_purge "${installed[@]}" >>"$work/cleanup.log" 2>&1
}
purge_ours
trap purge_ours EXIT
[ -z "$(leftovers)" ] || skip "a frontpanel module is installed already, not by a package: $(leftovers | tr '\n' ' ')"

# ---- build -----------------------------------------------------------------
src="$work/src/frontpanel-$release"
rm -rf "$work/src" && mkdir -p "$src"
rev=$(git -C "$top" stash create 2>/dev/null)
git -C "$top" archive "${rev:-HEAD}" | tar -x -C "$src"
start=$(date +%s)
if (cd "$src" && dpkg-buildpackage -us -uc -b -j2) >"$work/build.log" 2>&1; then
	pass "dpkg-buildpackage from a clean copy ($(($(date +%s) - start)) s)"
else
	tail -40 "$work/build.log"
	fail "dpkg-buildpackage (log: $work/build.log)"
	echo "package-check: $passed passed, $failed failed, $skipped skipped"
	exit 1
fi
arch=$(dpkg --print-architecture)
deb_dkms="$work/src/frontpanel-dkms_${release}_all.deb"
deb_fpsim="$work/src/fpsim_${release}_$arch.deb"
deb_sigrok="$work/src/sigrok-decoder-fpmicom_${release}_all.deb"
for d in "$deb_dkms" "$deb_fpsim" "$deb_sigrok"; do
	[ -f "$d" ] && echo "  $(basename "$d"): $(stat -c %s "$d") bytes, $(dpkg-deb -f "$d" Installed-Size) KiB installed" ||
		fail "no $(basename "$d")"
done

# ---- lintian -----------------------------------------------------------------
# (an overridden warning still counts for --fail-on warning: the W: lines tell)
lintian -I --fail-on error --show-overrides "$work/src/frontpanel_${release}_$arch.changes" >"$work/lintian.log" 2>&1
rc=$?
grep -v "running with root privileges" "$work/lintian.log" | sed "s/^/  lintian: /"
if [ $rc -eq 0 ] && ! grep -q '^[EW]: ' "$work/lintian.log"; then
	pass "lintian: no error, no warning without its reason"
else
	fail "lintian (status $rc)"
fi

# ---- frontpanel-dkms ----------------------------------------------------------
kernels=()
for d in /lib/modules/*/; do
	r=$(basename "$d")
	[ -f "/lib/modules/$r/build/Makefile" ] && kernels+=("$r")
done
echo "  kernels with headers: ${kernels[*]}"
start=$(date +%s)
# every kernel, also where the running kernel is installed (then DKMS's
# default is the running and the newest one)
if autoinstall_all_kernels=1 apt_install "$deb_dkms" >"$work/dkms-install.log" 2>&1; then
	pass "frontpanel-dkms installed ($(($(date +%s) - start)) s: DKMS builds for ${#kernels[@]} kernels)"
else
	tail -40 "$work/dkms-install.log"
	fail "apt-get install frontpanel-dkms (log: $work/dkms-install.log)"
fi
for k in 6.1 6.12; do
	[ -n "$(fp_matrix_release "$k")" ] ||
		{ echo "SKIPPED: DKMS on $k: $(grep "^SKIPPED: $k:" "$work/kernels.log" | cut -d: -f3-)"; skipped=$((skipped + 1)); }
done
for r in "${kernels[@]}"; do
	ko=$(find "/lib/modules/$r/updates/dkms" -name 'frontpanel.ko*' 2>/dev/null | head -1)
	version=$(modinfo -k "$r" -F version frontpanel 2>/dev/null)
	vermagic=$(modinfo -k "$r" -F vermagic frontpanel 2>/dev/null)
	desc=$(modinfo -k "$r" -F description frontpanel 2>/dev/null)
	if [ -n "$ko" ] && [ "$version" = "$release" ] && [ "${vermagic%% *}" = "$r" ] &&
		[ "$desc" = "TAVIX LUMETA, MICOM-IR/VFD driver" ] &&
		dkms status "frontpanel/$release" -k "$r" 2>/dev/null | grep -q ': installed'; then
		pass "DKMS built and installed frontpanel.ko $version for $r"
	else
		fail "for $r: module '${ko:-none}', version '$version', vermagic '$vermagic', description '$desc', DKMS: $(dkms status "frontpanel/$release" -k "$r")"
		find "/var/lib/dkms/frontpanel/$release/build" -name make.log -exec tail -20 {} \; 2>/dev/null
	fi
done
# the modules DKMS installed, each loaded in the QEMU x86-64 guest on its kernel
for k in 6.1 6.12; do
	r=$(fp_matrix_release "$k")
	ko=$(find "/lib/modules/$r/updates/dkms" -name 'frontpanel.ko*' 2>/dev/null | head -1)
	if [ -z "$micom_host" ]; then
		echo "SKIPPED: the installed module in QEMU: no micom_host given"; skipped=$((skipped + 1))
		break
	elif [ -n "$r" ] && [ -n "$ko" ]; then
		start=$(date +%s)
		FP_KO="$ko" FP_KDIR="/usr/src/linux-headers-$r" FP_KERNEL_IMAGE="/boot/vmlinuz-$r" FP_MODULE_DIR="/lib/modules/$r" \
			"$top/tests/qemu/run_qemu_test.sh" x86_64 "$micom_host" "$work/qemu-$k" >"$work/qemu-$k.log" 2>&1
		case $? in
		0) pass "the installed module runs the QEMU guest test on $r ($(($(date +%s) - start)) s)" ;;
		77) echo "SKIPPED: the installed module in QEMU: $(grep -m1 '^SKIPPED' "$work/qemu-$k.log" | cut -d' ' -f2-)"; skipped=$((skipped + 1)) ;;
		*) grep -E '^FAIL|fp-guest: FAIL' "$work/qemu-$k.log" | head -20; fail "the installed module in QEMU on $r (log: $work/qemu-$k.log)" ;;
		esac
	fi
done
[ -f /usr/share/man/man4/frontpanel.4.gz ] && pass "frontpanel(4) installed" || fail "no frontpanel(4)"
if apt_purge frontpanel-dkms >"$work/dkms-purge.log" 2>&1 && [ -z "$(leftovers)" ] &&
	[ -z "$(dkms status frontpanel 2>/dev/null)" ]; then
	pass "purged: nothing left in /usr/src, /var/lib/dkms, /lib/modules"
else
	tail -20 "$work/dkms-purge.log"
	fail "purge of frontpanel-dkms left: $(leftovers | tr '\n' ' ') $(dkms status frontpanel 2>/dev/null)"
fi

# ---- fpsim and the decoder, as an unprivileged user ---------------------------
if apt_install "$deb_fpsim" "$deb_sigrok" >"$work/fpsim-install.log" 2>&1; then
	pass "fpsim and sigrok-decoder-fpmicom installed"
	home=$(mktemp -d /tmp/fpsim-user.XXXXXX)
	chown nobody "$home"
	as_user() { (cd "$home" && runuser -u nobody -- "$@"); }
	got=$(as_user fpsim --version)
	[ "$got" = "fpsim $release" ] && pass "fpsim --version: $got" || fail "fpsim --version says '$got'"
	# run where it lies, as the tree's test runs it (its messages name it so)
	cp /usr/share/doc/fpsim/examples/basics.fpsim "$home/" && chown nobody "$home/basics.fpsim"
	as_user fpsim shell basics.fpsim >"$work/basics.out" 2>"$work/basics.err"
	rc=$?
	if [ $rc -eq 0 ] && cmp -s "$work/basics.out" "$src/tests/shell/scripts/basics.out" &&
		cmp -s "$work/basics.err" "$src/tests/shell/scripts/basics.err"; then
		pass "the example script runs as in the tree's test"
	else
		diff "$src/tests/shell/scripts/basics.out" "$work/basics.out" | head -20
		diff "$src/tests/shell/scripts/basics.err" "$work/basics.err" | head -20
		fail "fpsim shell basics.fpsim: status $rc, output differs from the tree's"
	fi
	if as_user fpsim demo >"$work/demo.out" 2>&1 && grep -q 'DETECTED TAVIX lumeta MODEL' "$work/demo.out" &&
		[ -s "$home/fpsim-demo-flash.vcd" ]; then
		pass "fpsim demo, its flash trace in the current directory"
	else
		tail -20 "$work/demo.out"
		fail "fpsim demo"
	fi
	# the decoder where libsigrokdecode finds it by itself
	as_user env -u SIGROKDECODE_DIR sigrok-cli -I vcd -i fpsim-demo-flash.vcd \
		-P uart:tx=isp_host_to_micom:rx=isp_micom_to_host:baudrate=115200:parity=even,fpmicom:link=isp \
		-A fpmicom=host-meaning >"$work/sigrok.out" 2>&1
	if [ $? -eq 0 ] && grep -qx 'fpmicom-1: sync' "$work/sigrok.out"; then
		pass "sigrok-cli decodes the demo's trace with the installed fpmicom"
	else
		head -20 "$work/sigrok.out"
		fail "sigrok-cli with the installed fpmicom"
	fi
	rm -rf "$home"
else
	tail -30 "$work/fpsim-install.log"
	fail "apt-get install fpsim sigrok-decoder-fpmicom (log: $work/fpsim-install.log)"
fi
if apt_purge fpsim sigrok-decoder-fpmicom >"$work/fpsim-purge.log" 2>&1 && [ ! -e /usr/bin/fpsim ] &&
	[ ! -e /usr/share/libsigrokdecode/decoders/fpmicom ] && [ -z "$(ls -d /usr/lib/*/fpsim 2>/dev/null)" ]; then
	pass "fpsim and the decoder purged"
else
	fail "purge of fpsim and sigrok-decoder-fpmicom"
fi

echo "package-check: $(($(date +%s) - t0)) s"
echo "package-check: $passed passed, $failed failed, $skipped skipped"
[ $failed -eq 0 ]
