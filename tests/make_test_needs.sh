#!/bin/sh
# tools/ci/test_needs.sh, as make test uses it, on a machine without
# sigrok-cli and mandoc (a PATH without them): it names both packages, and
# after a ctest run that skipped tests it names those tests and the one
# command that installs what they need; with nothing skipped it says nothing.
#   make_test_needs.sh SOURCE_DIR
set -u
needs="$1/tools/ci/test_needs.sh"
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
for tool in sh sed grep wc id cat; do
    ln -s "$(command -v $tool)" "$bin/$tool"
done
failed=0
got=$(PATH=$bin "$bin/sh" "$needs" missing)
[ "$got" = "sigrok-cli mandoc" ] || { echo "missing: '$got', expected 'sigrok-cli mandoc'"; failed=1; }

printf '  1/2 Test #12: docs_manual ....***Skipped   0.01 sec\nThe following tests did not run:\n\t12 - docs_manual (Skipped)\n\t300 - fpsim_shell_vcd_sigrok (Skipped)\n' >"$bin/skipped.log"
want="make test: 2 tests were skipped: docs_manual fpsim_shell_vcd_sigrok"
got=$(PATH=$bin "$bin/sh" "$needs" report "$bin/skipped.log")
case "$got" in
"$want
make test: what they need: "*"apt-get install sigrok-cli mandoc") ;;
*) echo "report after skipped tests:"; echo "$got"; failed=1 ;;
esac
printf '100%% tests passed, 0 tests failed out of 2\n' >"$bin/all.log"
got=$(PATH=$bin "$bin/sh" "$needs" report "$bin/all.log")
[ -z "$got" ] || { echo "report with nothing skipped: '$got'"; failed=1; }
exit $failed
