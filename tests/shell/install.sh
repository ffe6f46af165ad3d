#!/bin/sh
# cmake --install into a temporary prefix, then fpsim run from there as an
# unprivileged user: the shell drives a booted box with the installed driver
# object, flash runs the installed micomflash (nothing is loaded from the
# build tree), the demo writes its files to the current directory or to
# --out DIR and fails with 1 where it cannot write; an object taken away
# from the installed ones is named (status 2); the man pages and the
# sigrok decoder are where man and sigrok look.
#
#   install.sh BUILD_DIR IMAGE
# Exit status 77 (skipped) when running as root with no unprivileged user.
set -u
build=$1 image=$2
if [ "$(id -u)" = 0 ]; then
    if id nobody >/dev/null 2>&1 && command -v setpriv >/dev/null 2>&1; then
        as="setpriv --reuid=nobody --regid=$(id -g nobody) --clear-groups"
    else
        echo "install.sh: skipped: running as root, and no unprivileged user to run fpsim as (user nobody and setpriv)"
        exit 77
    fi
else
    as=""
fi
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failed=0
fail() { echo "$*"; failed=1; }
cmake --install "$build" --prefix "$prefix/usr" >"$prefix/install.log" 2>&1 || { cat "$prefix/install.log"; exit 1; }
for f in bin/fpsim share/man/man1/fpsim.1 share/man/man8/micomflash.8 \
         share/libsigrokdecode/decoders/fpmicom/pd.py; do
    [ -f "$prefix/usr/$f" ] || fail "not installed: $f"
done
chmod -R a+rX "$prefix"
mkdir "$prefix/work" "$prefix/work/out" && chmod 777 "$prefix/work" "$prefix/work/out"
cp "$image" "$prefix/work/image.bin" && chmod a+r "$prefix/work/image.bin"
fpsim="$prefix/usr/bin/fpsim"
cd "$prefix/work" || exit 1

answer=$(printf 'boot\ncat /proc/model\n' | $as "$fpsim" shell 2>&1)
[ "$answer" = lumeta ] || fail "installed fpsim shell: '$answer', expected lumeta"
LD_DEBUG=files $as "$fpsim" flash image.bin >flash.out 2>flash.err || fail "installed fpsim flash: status $?"
grep -q "the micom's flash equals the image" flash.out || fail "installed fpsim flash: $(tail -1 flash.out)"
grep -q "file=$prefix/usr/.*libmicomflash_a.so" flash.err || fail "installed micomflash was not loaded"
! grep "file=$build/" flash.err || fail "objects loaded from the build tree"

$as "$fpsim" demo >demo.out 2>&1 || fail "demo in the current directory: status $?"
[ -s fpsim-demo-image.bin ] && [ -s fpsim-demo-flash.vcd ] || fail "demo wrote no image or VCD to the current directory"
$as "$fpsim" demo --out out >/dev/null 2>&1 || fail "demo --out: status $?"
[ -s out/fpsim-demo-flash.vcd ] || fail "demo --out wrote no VCD there"
mkdir ro && chmod 555 ro
if [ -n "$as" ] || [ ! -w ro ]; then
    $as "$fpsim" demo --out ro >/dev/null 2>demo.err
    status=$?
    [ $status = 1 ] && grep -q "cannot write ro/fpsim-demo-image.bin" demo.err ||
        fail "demo where it cannot write: status $status (expected 1): $(cat demo.err)"
fi

# it loads only what is installed: an object taken away is named, with
# where fpsim looked (status 2), and nothing comes from the build tree
objects=$(cd "$prefix"/usr/lib*/fpsim && pwd)
for object in libfrontpanel_sim.so libmicomflash_b.so; do
    mv "$objects/$object" "$prefix/$object"
    printf 'boot\ncat /proc/model\n' | $as "$fpsim" shell >missing.out 2>&1
    status=$?
    [ $status = 2 ] && grep -q "cannot read $objects/$object: No such file or directory (an installed fpsim loads its objects from $objects only" missing.out ||
        fail "installed fpsim without $object: status $status (expected 2): $(cat missing.out)"
    mv "$prefix/$object" "$objects/$object"
done
answer=$(printf 'boot\ncat /proc/model\n' | $as "$fpsim" shell 2>&1)
[ "$answer" = lumeta ] || fail "installed fpsim with its objects back: '$answer', expected lumeta"

if command -v sigrok-cli >/dev/null 2>&1; then
    SIGROKDECODE_DIR="$prefix/usr/share/libsigrokdecode/decoders" sigrok-cli -L 2>/dev/null | grep -q fpmicom ||
        fail "sigrok-cli does not list the installed decoder fpmicom"
fi
exit $failed
