#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Everything fpsim prints, into one folder, so that two builds can be held
# side by side with `diff -r`:
#
#   tools/ci/outputs.sh BUILD_DIR OUT_DIR [--soak-hours H]
#
# For every script of tests/shell/scripts: its standard output, standard
# error, exit status, kernel log (--log) and VCD trace (--vcd), run as its
# CTest runs it (the seed the test gives, in the scripts' folder); the demo
# with its image, trace and output; and `fpsim --seed N soak --hours H` for
# seeds 1 to 3 (default 1000 h), without the lines that hold the host's wall
# time and memory, which differ between two runs of the same binary.
# A restructuring that must change no output: run it on the build before
# and after, then `diff -r BEFORE AFTER`.
set -euo pipefail

build=$(cd "${1:?usage: outputs.sh BUILD_DIR OUT_DIR [--soak-hours H]}" && pwd)
out=${2:?usage: outputs.sh BUILD_DIR OUT_DIR [--soak-hours H]}
hours=1000
[ "${3:-}" = --soak-hours ] && hours=${4:?--soak-hours takes a number}
top=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
fpsim="$build/fpsim"
scripts="$top/tests/shell/scripts"
mkdir -p "$out/scripts" "$out/demo" "$out/soak"
out=$(cd "$out" && pwd)

# the arguments a script's CTest gives it (fpsim_script_test(NAME ARGS ...))
script_args() {
	sed -n "s/^fpsim_script_test($1 .*ARGS \([^)]*\)).*/\1/p" "$top/tests/shell/CMakeLists.txt"
}

for s in "$scripts"/*.fpsim; do
	name=$(basename "$s" .fpsim)
	# shellcheck disable=SC2046
	(cd "$scripts" && "$fpsim" $(script_args "$name") --vcd "$out/scripts/$name.vcd" \
		--log "$out/scripts/$name.log" shell "$name.fpsim" \
		>"$out/scripts/$name.out" 2>"$out/scripts/$name.err" </dev/null && st=0 || st=$?
		echo $st >"$out/scripts/$name.status")
done

(cd "$out/demo" && "$fpsim" demo --out . >stdout 2>stderr && st=0 || st=$?; echo $st >status)

for seed in 1 2 3; do
	"$fpsim" --seed "$seed" soak --hours "$hours" 2>&1 |
		sed -E 's/in [0-9.]+ wall seconds/in - wall seconds/; s/VmRSS [0-9]+ kB/VmRSS - kB/g; s/[0-9]+ mappings/- mappings/g' >"$out/soak/seed$seed"
done
echo "outputs of $build in $out: $(find "$out" -type f | wc -l) files"
