#!/bin/sh
# fpsim's command line: help and version, an option without its value, an
# output file that cannot be written (found before the run), soak and the
# trace options, soak --jobs, flash's warnings about the image and its verdict, and the
# key names.  A
# refused command line prints nothing on standard output: nothing ran.
set -u
fpsim=$1
dir=$2
header=$3   # linux/input-event-codes.h, where the key names come from
rm -rf "$dir" && mkdir -p "$dir" || exit 1
failed=0
# FILE holds a line that matches PATTERN; "" for PATTERN: FILE is empty
has() {
    if [ -z "$2" ]; then [ ! -s "$1" ]; else grep -q -e "$2" "$1"; fi
}
# check STATUS PATTERN-IN-STDOUT PATTERN-IN-STDERR -- ARGS...
check() {
    want=$1 out_re=$2 err_re=$3
    shift 4
    "$fpsim" "$@" >"$dir/out" 2>"$dir/err" </dev/null
    status=$?
    if [ $status != "$want" ] || ! has "$dir/out" "$out_re" || ! has "$dir/err" "$err_re"; then
        echo "fpsim $*: status $status (expected $want)"
        echo "--- stdout"; cat "$dir/out"; echo "--- stderr"; cat "$dir/err"
        failed=1
    fi
}
printf 'boot\n' >"$dir/boot.fpsim"
check 0 "^usage: fpsim" "" -- -h
check 0 "^usage: fpsim" "" -- --help
check 0 "^fpsim [0-9]" "" -- --version
check 2 "" "option --vcd needs a value" -- --vcd --log "$dir/log" shell "$dir/boot.fpsim"
check 2 "" "option --seed needs a value" -- shell "$dir/boot.fpsim" --seed
check 2 "" "cannot write --vcd file '$dir/no/such/dir/t.vcd'" -- --vcd "$dir/no/such/dir/t.vcd" demo
check 2 "" "soak writes no --vcd or --log" -- --log "$dir/soak.log" soak --hours 0.01
check 2 "" "unknown option '-x'" -- -x shell
check 2 "" "--jobs belongs to soak" -- --jobs 2 demo

# the whole range of --seed, "--" before the command, ranges in the messages
check 0 "" "" -- --seed 18446744073709551615 -- shell "$dir/boot.fpsim"
check 2 "" "bad number of hours '-1' (more than 0, at most 1000000)" -- soak --hours -1
check 2 "" "bad line speed '2400' (4800 to 4000000)" -- --baud 2400 shell "$dir/boot.fpsim"
# a script refused for its mistakes leaves an earlier trace as it was
check 0 "" "" -- --vcd "$dir/t.vcd" shell "$dir/boot.fpsim"
cp "$dir/t.vcd" "$dir/t0.vcd"
printf 'boot\nnope\n' >"$dir/bad.fpsim"
check 2 "" "unknown command 'nope'" -- --vcd "$dir/t.vcd" shell "$dir/bad.fpsim"
cmp -s "$dir/t.vcd" "$dir/t0.vcd" || { echo "a refused script changed the earlier --vcd file"; failed=1; }
# a path that is no file of the box, and a clock property micomflash never
# asks for, are mistakes in the script; a property it asks for is taken
printf 'boot\ncat /etc/passwd\n' >"$dir/path.fpsim"
check 2 "" "'/etc/passwd' is no file of the box (/proc/NAME or /sys/class/rtc/rtc0/FILE)" -- shell "$dir/path.fpsim"
printf 'fault clock 4410\n' >"$dir/clock.fpsim"
check 2 "" "bad property '4410' (4409, 4411 or 4417" -- shell "$dir/clock.fpsim"
printf 'fault clock 4411\n' >"$dir/clock.fpsim"
check 0 "" "" -- shell "$dir/clock.fpsim"
# a directory as the script cannot be read: nothing runs
check 2 "" "cannot read script '$dir': Is a directory" -- shell "$dir"
# what cannot be written to standard output fails the run
printf 'keys\n' >"$dir/keys.fpsim"
"$fpsim" shell "$dir/keys.fpsim" >/dev/full 2>"$dir/err"
status=$?
if [ $status != 1 ] || ! grep -q "cannot write standard output: No space left on device" "$dir/err"; then
    echo "shell > /dev/full: status $status (expected 1)"; cat "$dir/err"; failed=1
fi
# at a terminal: a failed command makes the status 1, a session without one 0
if command -v script >/dev/null 2>&1; then
    for session in "cat /proc/nosuch:1" "help quit:0"; do
        printf '%s\nquit\n' "${session%:*}" | script -qec "$fpsim shell" /dev/null >"$dir/tty" 2>&1
        status=$?
        if [ $status != "${session##*:}" ]; then
            echo "interactive '${session%:*}': status $status (expected ${session##*:})"; cat "$dir/tty"; failed=1
        fi
    done
fi

# soak --jobs: one run per seed from --seed on, each as run alone, summed up
for s in 3 4; do "$fpsim" --seed $s soak --hours 5 | sed 's/ in [0-9.]* wall seconds//' >>"$dir/alone"; done
check 0 "^soak: 2 runs, seeds 3 to 4, " "" -- --seed 3 soak --hours 5 --jobs 2
sed 's/ in [0-9.]* wall seconds//' "$dir/out" >"$dir/jobs"
events=$(sed -n 's/^soak: seed .* \([0-9]*\) events.*/\1/p' "$dir/alone" | awk '{ n += $1 } END { print n }')
if ! head -2 "$dir/jobs" | cmp -s - "$dir/alone" || ! grep -q " (.*), $events events, " "$dir/jobs"; then
    echo "soak --jobs 2 differs from its seeds run alone ($events events):"; cat "$dir/alone" "$dir/jobs"
    failed=1
fi

# an empty image: all zeros are written, and the verdict says the flash holds them
: >"$dir/empty.bin"
check 0 "flash: exit 0, .* the micom's flash equals the image" "is empty: all zeros will be written" \
    -- flash --build b "$dir/empty.bin"
# an image over 8192 bytes: the rest is ignored
head -c 8200 /dev/zero | tr '\0' '\125' >"$dir/long.bin"
check 0 "flash: exit 0, .* the micom's flash equals the image" "is 8200 bytes: only the first 8192 are written" \
    -- flash --build b "$dir/long.bin"
# an image that cannot be read, not there or a directory (not taken for an
# empty one), is a mistake in the command line: nothing runs
check 2 "" "cannot open image '$dir': Is a directory" -- flash --build b "$dir"
check 2 "" "cannot open image '$dir/no-such.bin': No such file or directory" -- flash "$dir/no-such.bin"

# keys: every KEY_ and BTN_ name of the header (less KEY_MIN_INTERESTING,
# KEY_MAX and KEY_CNT), aliases with the code of the name they stand for
echo keys | "$fpsim" shell >"$dir/keys"
names=$(grep -cE '^#define[[:space:]]+(KEY|BTN)_' "$header")
if [ "$(wc -l <"$dir/keys")" != $((names - 3)) ] || ! grep -qx "KEY_UP 103 remote 0x49" "$dir/keys" ||
   ! grep -qx "BTN_LEFT 272" "$dir/keys" || ! grep -qx "KEY_HANGUEL 122" "$dir/keys"; then
    echo "keys lists $(wc -l <"$dir/keys") names of $names:"; head "$dir/keys"
    failed=1
fi
exit $failed
