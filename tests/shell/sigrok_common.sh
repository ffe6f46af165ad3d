# Sourced by the sigrok tests.
#   need_sigrok            exits 77 (skipped) when sigrok-cli is not installed
#   line_format VCD NAME   prints "BAUD PARITY" (parity: none, even or odd) of a
#                          line of fpsim's VCD trace, read from the trace's own
#                          header, as a user would
need_sigrok() {
    if ! command -v sigrok-cli >/dev/null 2>&1; then
        echo "SKIPPED: sigrok-cli is not installed (Debian package sigrok-cli)"
        exit 77
    fi
}

line_format() {
    awk -v name="$2" '$1 == "$comment" && $2 == name ":" {
            for (i = 3; i < NF; i++)
                if ($(i + 1) == "bit/s") {
                    p = substr($(i + 2), 2, 1)
                    print $i, (p == "E" ? "even" : p == "O" ? "odd" : "none")
                    exit
                }
        }' "$1"
}
