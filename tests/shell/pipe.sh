#!/bin/sh
# fpsim shell with a pipe on standard input runs each line as it arrives: the
# answer to a command comes while the pipe is still open, so another program
# can drive the box.  A run that read to the end first never answers (the
# test's time-out ends it); sync answers after a silent command.  Then: the status of a failed command (1), and a
# mistake on the pipe (2).
set -u
fpsim=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkfifo "$dir/in" "$dir/out"
"$fpsim" shell <"$dir/in" >"$dir/out" 2>"$dir/err" &
pid=$!
exec 3>"$dir/in" 4<"$dir/out"
echo boot >&3
echo "cat /proc/model" >&3
read -r answer <&4
[ "$answer" = lumeta ] || { echo "answer '$answer', expected lumeta"; exit 1; }
# a silent command gives the program a line to wait for with sync
echo "press KEY_UP" >&3
echo "sync pressed 1" >&3
read -r answer <&4
[ "$answer" = "pressed 1" ] || { echo "answer '$answer' to sync, expected 'pressed 1'"; exit 1; }
echo "events" >&3
read -r answer <&4
case $answer in *" KEY_UP "*" press") ;; *) echo "events after sync: '$answer'"; exit 1 ;; esac
read -r answer <&4
echo "cat /proc/nosuchentry" >&3
exec 3>&-
cat <&4 >/dev/null
wait $pid
status=$?
[ $status = 1 ] || { echo "exit status $status after a failed command, expected 1"; exit 1; }
want="fpsim: stdin:6: cat /proc/nosuchentry: No such file or directory"
[ "$(cat "$dir/err")" = "$want" ] || { echo "stderr: $(cat "$dir/err")"; exit 1; }

printf 'boot\nbogus\ncat /proc/model\n' | "$fpsim" shell >"$dir/out2" 2>"$dir/err"
status=$?
[ $status = 2 ] || { echo "exit status $status after a mistake, expected 2"; exit 1; }
[ ! -s "$dir/out2" ] || { echo "ran on after the mistake: $(cat "$dir/out2")"; exit 1; }
grep -q "stdin:2: unknown command 'bogus'" "$dir/err" || { echo "stderr: $(cat "$dir/err")"; exit 1; }
echo ok
