#!/bin/sh
# The VCD trace is real: sigrok's UART decoder reads the serial lines of a
# short run, and the bytes equal those of the wire log.
#   vcd_uart.sh FPSIM SCRIPT WORKDIR
set -eu
fpsim=$1 script=$2 work=$3
if ! command -v sigrok-cli >/dev/null 2>&1; then
    echo "SKIPPED: sigrok-cli is not installed (Debian package sigrok-cli)"
    exit 77
fi
mkdir -p "$work"
cd "$(dirname "$script")"
"$fpsim" --vcd "$work/t.vcd" shell "$(basename "$script")" > "$work/wire.txt"
status=0
for line in "primary_host_to_micom primary host>micom none" \
            "primary_micom_to_host primary micom>host none" \
            "isp_host_to_micom isp host>micom even" "isp_micom_to_host isp micom>host even"; do
    set -- $line
    # the wire log's bytes of this line (before the two spaces and the
    # meaning), one per line
    awk -v link="$2" -v dir="$3" '$2 == link && $3 == dir {
            sub(/  .*/, ""); for (i = 4; i <= NF; i++) print $i }' \
        "$work/wire.txt" > "$work/$1.want"
    sigrok-cli -I vcd -i "$work/t.vcd" -P "uart:rx=$1:baudrate=115200:parity=$4" -A uart=rx-data \
        2>"$work/$1.sigrok-err" | awk '{ print $2 }' > "$work/$1.got"
    want=$(wc -l < "$work/$1.want") got=$(wc -l < "$work/$1.got")
    if [ "$want" -eq 0 ]; then
        echo "$1: the wire log has no bytes for this line"; status=1
    elif cmp -s "$work/$1.want" "$work/$1.got"; then
        echo "$1: $got bytes decoded, equal to the wire log"
    else
        echo "$1: decoded bytes differ from the wire log ($got decoded, $want logged)"
        diff "$work/$1.want" "$work/$1.got" | head -5
        status=1
    fi
    errors=$(sigrok-cli -I vcd -i "$work/t.vcd" -P "uart:rx=$1:baudrate=115200:parity=$4" \
        -A uart=rx-parity-err 2>/dev/null | wc -l)
    if [ "$errors" -ne 0 ]; then
        echo "$1: $errors parity errors"; status=1
    fi
done
exit $status
