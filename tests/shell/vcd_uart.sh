#!/bin/sh
# The VCD trace is real: sigrok's UART decoder, set as the trace's header
# says, reads every byte of the serial lines of a short run, equal to the
# bytes of the wire log, with no parity or frame error.
#   vcd_uart.sh FPSIM SCRIPT WORKDIR [BAUD]
set -eu
fpsim=$1 script=$2 work=$3 baud=${4:-115200}
. "$(cd "$(dirname "$0")" && pwd)/sigrok_common.sh"
need_sigrok
mkdir -p "$work"
cd "$(dirname "$script")"
"$fpsim" --baud "$baud" --vcd "$work/t.vcd" shell "$(basename "$script")" > "$work/wire.txt"
status=0
for line in "primary_host_to_micom primary host>micom" "primary_micom_to_host primary micom>host" \
            "isp_host_to_micom isp host>micom" "isp_micom_to_host isp micom>host"; do
    set -- $line
    # the wire log's bytes of this line (before the two spaces and the
    # meaning), one per line
    awk -v link="$2" -v dir="$3" '$2 == link && $3 == dir {
            sub(/^ *[^ ]+ +[^ ]+ +[^ ]+ /, ""); sub(/  .*/, ""); for (i = 1; i <= NF; i++) print $i }' \
        "$work/wire.txt" > "$work/$1.want"
    format=$(line_format "$work/t.vcd" "$1")
    if [ -z "$format" ]; then
        echo "$1: the trace's header does not say its speed and format"; status=1; continue
    fi
    set -- "$1" $format
    sigrok-cli -I vcd -i "$work/t.vcd" -P "uart:rx=$1:baudrate=$2:parity=$3" \
        -A uart=rx-data:rx-parity-err:rx-warnings 2>"$work/$1.sigrok-err" |
        awk -v errors="$work/$1.errors" '{ sub(/^[^:]*: /, "") }
            /^[0-9A-F][0-9A-F]$/ { print; next } { print > errors }' > "$work/$1.got"
    want=$(wc -l < "$work/$1.want") got=$(wc -l < "$work/$1.got")
    if [ "$want" -eq 0 ]; then
        echo "$1: the wire log has no bytes for this line"; status=1
    elif cmp -s "$work/$1.want" "$work/$1.got"; then
        echo "$1 ($2 bit/s, parity $3): $got bytes decoded, equal to the wire log"
    else
        echo "$1: decoded bytes differ from the wire log ($got decoded, $want logged)"
        diff "$work/$1.want" "$work/$1.got" | head -5
        status=1
    fi
    if [ -s "$work/$1.errors" ]; then
        echo "$1: $(wc -l < "$work/$1.errors") parity or frame errors"; status=1
    fi
done
exit $status
