#!/bin/sh
# The sigrok decoder (tools/sigrok/fpmicom), stacked on sigrok's UART decoder,
# reads fpsim's VCD trace of a boot, keys, LED changes, a settime and a
# build-A flash as `wire` does: the same lines with the same bytes and the
# same meaning, link by link and direction by direction, and no warning.  A
# frame with a wrong checksum is a warning, the long form is read, and bytes
# outside a frame are a warning.
#   sigrok_decoder.sh FPSIM SCRIPT DECODERS WORKDIR
set -eu
fpsim=$1 script=$2 decoders=$3 work=$4
. "$(cd "$(dirname "$0")" && pwd)/sigrok_common.sh"
need_sigrok
mkdir -p "$work"
cd "$(dirname "$script")"
"$fpsim" --vcd "$work/t.vcd" shell "$(basename "$script")" > "$work/out.txt"
status=0
# `wire isp` then `wire primary`: each shows its own link only
if [ "$(awk '$2 == "isp" || $2 == "primary" { print $2 }' "$work/out.txt" | uniq | tr '\n' ' ')" != "isp primary " ]; then
    echo "wire isp / wire primary: each should show its own link only"; status=1
fi

# Frames and meaning as "DIRECTION BYTES  MEANING"; warnings to FILE.
sigrok_lines() {
    awk -v warnings="$1" '{ sub(/^[^:]*: /, "") }
        /^(host>micom|micom>host) / { frame = $0; next }
        frame != "" { print frame "  " $0; frame = ""; next }
        { print > warnings }'
}

for link in primary isp; do
    set -- $(line_format "$work/t.vcd" "${link}_host_to_micom")
    : > "$work/$link.warnings"
    SIGROKDECODE_DIR=$decoders sigrok-cli -I vcd -i "$work/t.vcd" \
        -P "uart:tx=${link}_host_to_micom:rx=${link}_micom_to_host:baudrate=$1:parity=$2,fpmicom:link=$link" \
        -A fpmicom=host-frame:micom-frame:host-meaning:micom-meaning:warning 2>"$work/$link.err" |
        sigrok_lines "$work/$link.warnings" > "$work/$link.got"
    for dir in "host>micom" "micom>host"; do
        awk -v link="$link" '$2 == link { sub(/^ *[^ ]+ +[^ ]+ +/, ""); gsub(/  +/, "  "); print }' "$work/out.txt" |
            grep "^$dir " > "$work/want" || true
        grep "^$dir " "$work/$link.got" > "$work/got" || true
        lines=$(wc -l < "$work/want")
        bytes=$(sed 's/  .*//' "$work/want" | awk '{ n += NF - 1 } END { print n + 0 }')
        if [ "$lines" -eq 0 ]; then
            echo "$link $dir: wire shows nothing"; status=1
        elif cmp -s "$work/want" "$work/got"; then
            echo "$link $dir: $lines frames, $bytes bytes, the same as wire"
        else
            echo "$link $dir: the decoder differs from wire ($(wc -l < "$work/got") frames, $lines in wire)"
            diff "$work/want" "$work/got" | head -6
            status=1
        fi
    done
    if [ -s "$work/$link.warnings" ]; then
        echo "$link: $(wc -l < "$work/$link.warnings") warnings:"; head -3 "$work/$link.warnings"; status=1
    fi
done

# Frames fpsim never sends, on a primary line at 115200 bit/s, 8N1, in 1 us
# steps, 1 ms apart: an LED frame with a wrong checksum (0x65 for 0x64), a
# frame of the long form, and bytes outside a frame.
awk 'BEGIN {
    print "$timescale 1 us $end\n$scope module box $end"
    print "$var wire 1 ! primary_host_to_micom $end\n$upscope $end\n$enddefinitions $end\n#0\n1!"
    n = split("AA 20 42 00 06 65 | AA 20 50 10 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 60 | 12 34",
              bytes, " ")
    bit = 1e6 / 115200; t = 100; level = 1
    for (k = 1; k <= n; k++) {
        if (bytes[k] == "|") { t += 1000; continue }
        v = (index("0123456789ABCDEF", substr(bytes[k], 1, 1)) - 1) * 16 + \
            index("0123456789ABCDEF", substr(bytes[k], 2, 1)) - 1
        for (i = 0; i < 10; i++) {  # start bit, 8 data bits from bit 0, stop bit
            b = i == 0 ? 0 : i == 9 ? 1 : int(v / 2 ^ (i - 1)) % 2
            if (b != level) { printf "#%d\n%d!\n", int(t + i * bit + 0.5), b; level = b }
        }
        t += 10 * bit
    }
    printf "#%d\n", int(t + 1000)
}' > "$work/odd.vcd"
: > "$work/odd.warnings"
SIGROKDECODE_DIR=$decoders sigrok-cli -I vcd -i "$work/odd.vcd" \
    -P uart:tx=primary_host_to_micom:baudrate=115200,fpmicom \
    -A fpmicom=host-frame:host-meaning:warning 2>"$work/odd.err" |
    sigrok_lines "$work/odd.warnings" > "$work/odd.got"
printf '%s\n' 'host>micom AA 20 42 00 06 65  led 6, wrong checksum' \
    'host>micom AA 20 50 10 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 60  command 0x5 length 16' \
    'host>micom 12 34  no frame' > "$work/odd.want"
if cmp -s "$work/odd.want" "$work/odd.got" && grep -q 'wrong checksum' "$work/odd.warnings" &&
        [ "$(wc -l < "$work/odd.warnings")" -eq 2 ]; then
    echo "a wrong checksum, the long form, bytes outside a frame: read, two warnings"
else
    echo "frames fpsim never sends are misread:"; diff "$work/odd.want" "$work/odd.got"
    cat "$work/odd.warnings"; status=1
fi
exit $status
