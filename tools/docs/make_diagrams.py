#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
#
# The timing diagrams of docs/diagrams/, drawn from fpsim's own runs: each
# runs a short shell script with --vcd, then draws the pins from the VCD
# trace and the frames and input events from what `wire` and `events`
# printed.  Quiet stretches are cut out of the time axis and marked with
# their length, so that microseconds and seconds fit in one picture.
#
#   make_diagrams.py FPSIM           write docs/diagrams/*.svg
#   make_diagrams.py FPSIM --check   fail when a committed picture differs
#                                    from what fpsim draws now
#
# Only the Python standard library: CI needs nothing more.
import os
import re
import subprocess
import sys
import tempfile

TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
OUT = os.path.join(TOP, "docs", "diagrams")
IMAGE = os.path.join(TOP, "tests", "shell", "scripts", "abc.bin")

# ---- what fpsim gives ----


def run(fpsim, script, work):
    """Runs @script; its VCD changes {name: [(t_ns, level)]} and the lines
    it printed after its `sync ==` line."""
    path = os.path.join(work, "run.fpsim")
    vcd = os.path.join(work, "run.vcd")
    with open(path, "w") as f:
        f.write(script)
    out = subprocess.run([fpsim, "--vcd", vcd, "shell", path], check=True, capture_output=True, text=True).stdout
    return read_vcd(vcd), out.split("==\n", 1)[1].splitlines()


def read_vcd(path):
    names, changes, unit, t = {}, {}, 1000, 0
    with open(path) as f:
        for line in f:
            line = line.strip()
            m = re.match(r"\$timescale (\d+) (us|ns) \$end", line)
            if m:
                unit = int(m.group(1)) * (1000 if m.group(2) == "us" else 1)
            m = re.match(r"\$var wire 1 (\S) (\S+) \$end", line)
            if m:
                names[m.group(1)] = m.group(2)
                changes[m.group(2)] = []
            if line.startswith("#"):
                t = int(line[1:]) * unit
            elif len(line) == 2 and line[0] in "01" and line[1] in names:
                changes[names[line[1]]].append((t, int(line[0])))
    return changes


def frames(lines, link, direction):
    """(start_ns, end_ns, label) of each `wire` line of @link and @direction."""
    out = []
    for line in lines:
        w = line.split()
        if len(w) > 3 and w[1] == link and w[2] == direction:
            start = round(float(w[0]) * 1e9)
            rest = line.split(direction, 1)[1]
            hexes, meaning = rest.strip().split("  ", 1)
            n = len(hexes.split())
            bits = 11 if link == "isp" else 10  # 8E1, 8N1 at 115200 bit/s
            out.append((start, start + n * bits * 1000000000 // 115200, meaning.strip()))
    return out


def events(lines):
    """(t_ns, label) of each `events` line."""
    out = []
    for line in lines:
        w = line.split()
        if len(w) == 3 and w[2] in ("press", "repeat", "release"):
            out.append((round(float(w[0]) * 1e9), w[1] + " " + w[2]))
    return out


# ---- the drawing ----

LEFT, ROW, TOP_MARGIN, BREAK_W, FONT = 190, 44, 34, 46, "font-family='monospace' font-size='11'"


def duration(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            v = ns / scale
            return ("%.0f" if v >= 100 else "%.3g") % v + " " + unit
    return "%d ns" % ns


class Axis:
    """Maps box time to x: busy stretches linearly, quiet ones (longer than
    @gap) as a break of fixed width."""

    def __init__(self, times, gap, scale):
        times = sorted(set(times))
        self.points, self.breaks = [(times[0], LEFT + 10.0)], []
        x = LEFT + 10.0
        for a, b in zip(times, times[1:]):
            if b - a > gap:
                self.breaks.append((x, x + BREAK_W, b - a))
                x += BREAK_W
            else:
                x += (b - a) * scale
            self.points.append((b, x))
        self.width = x + 20

    def x(self, t):
        pts = self.points
        if t <= pts[0][0]:
            return pts[0][1]
        for (a, xa), (b, xb) in zip(pts, pts[1:]):
            if t <= b:
                return xa + (xb - xa) * (t - a) / (b - a)
        return pts[-1][1]


def svg(title, axis, rows):
    """rows: (name, kind, data): "wire" [(t, level)], "frames" [(t0, t1, label)],
    "events" [(t, label)]."""
    height = TOP_MARGIN + ROW * len(rows) + 40
    # wide enough for the last label (monospace, 11 px: about 7 px a letter)
    labels = [axis.x(d[0]) + 7 * len(d[-1]) for _, kind, data in rows if kind != "wire" for d in data]
    axis.width = max([axis.width] + [x + 10 for x in labels])
    out = ["<svg xmlns='http://www.w3.org/2000/svg' width='%d' height='%d' viewBox='0 0 %d %d'>" %
           (axis.width, height, axis.width, height),
           "<rect width='100%' height='100%' fill='white'/>",
           "<text x='10' y='18' font-family='sans-serif' font-size='13' font-weight='bold'>%s</text>" % title]
    for x0, x1, ns in axis.breaks:
        out.append("<rect x='%.1f' y='%d' width='%d' height='%d' fill='#eeeeee'/>" %
                   (x0 + 2, TOP_MARGIN - 6, BREAK_W - 4, ROW * len(rows) + 6))
        out.append("<text x='%.1f' y='%d' %s text-anchor='middle' fill='#666666'>%s</text>" %
                   ((x0 + x1) / 2, TOP_MARGIN + ROW * len(rows) + 14, FONT, duration(ns)))
    for i, (name, kind, data) in enumerate(rows):
        y = TOP_MARGIN + ROW * i
        hi, lo = y + 8, y + 28
        out.append("<text x='10' y='%d' %s>%s</text>" % (y + 22, FONT, name))
        if kind == "wire":
            level = data[0][1] if data else 1
            path, x = ["M %.1f %d" % (LEFT + 10, lo if level == 0 else hi)], LEFT + 10
            for t, v in data[1:]:
                x = axis.x(t)
                path.append("H %.1f V %d" % (x, lo if v == 0 else hi))
            path.append("H %.1f" % (axis.width - 20))
            out.append("<path d='%s' fill='none' stroke='#1f5fbf' stroke-width='1.5'/>" % " ".join(path))
        elif kind == "frames":
            out.append("<line x1='%d' y1='%d' x2='%.1f' y2='%d' stroke='#1f5fbf' stroke-width='1.5'/>" %
                       (LEFT + 10, hi, axis.width - 20, hi))
            for t0, t1, label in data:
                x0, x1 = axis.x(t0), max(axis.x(t1), axis.x(t0) + 3)
                out.append("<rect x='%.1f' y='%d' width='%.1f' height='%d' fill='#cfe0f7' stroke='#1f5fbf'/>" %
                           (x0, hi, x1 - x0, lo - hi))
                out.append("<text x='%.1f' y='%d' %s>%s</text>" % (x0, lo + 12, FONT, label))
        else:
            for t, label in data:
                x = axis.x(t)
                out.append("<line x1='%.1f' y1='%d' x2='%.1f' y2='%d' stroke='#bf3f1f' stroke-width='2'/>" %
                           (x, hi, x, lo))
                out.append("<text x='%.1f' y='%d' %s fill='#bf3f1f'>%s</text>" % (x + 3, lo + 12, FONT, label))
    out.append("</svg>")
    return "\n".join(out) + "\n"


def window(changes, t0, t1):
    """The changes in [t0, t1], with the level at t0 first."""
    level = 1
    for t, v in changes:
        if t <= t0:
            level = v
    return [(t0, level)] + [(t, v) for t, v in changes if t0 < t <= t1]


# ---- the three pictures ----

PINS = ["gpio2_isp_clock", "gpio3_clock_8mhz_enable_n", "gpio4_micom_power_n", "gpio5_micom_reset_n",
        "gpio6_isp_enable_n"]


def flash_entry(fpsim, work):
    vcd, lines = run(fpsim, "boot\nsync ==\nflash a %s\nwire isp\n" % IMAGE, work)
    start = min(t for p in PINS for t, _ in vcd[p] if t > 0) - 20000
    sync = frames(lines, "isp", "host>micom")[0]
    answer = frames(lines, "isp", "micom>host")[0]
    end = answer[1] + 20000
    rows = [(p, "wire", window(vcd[p], start, end)) for p in PINS]
    rows += [("isp_host_to_micom", "wire", window(vcd["isp_host_to_micom"], start, end)),
             ("isp_micom_to_host", "wire", window(vcd["isp_micom_to_host"], start, end)),
             ("isp frames", "frames", [sync, answer])]
    times = [t for _, kind, data in rows if kind == "wire" for t, _ in data] + [start, end]
    axis = Axis(times, 200000, 2e-3)
    return svg("Entry into flash programming: pins 2-6 (clock enable on pin 3), then the sync byte", axis, rows)


def bus_picture(fpsim, work, script, title):
    _, lines = run(fpsim, "boot\nwire\nevents\nsync ==\n" + script + "wire primary\nevents\n", work)
    host, micom, evs = frames(lines, "primary", "host>micom"), frames(lines, "primary", "micom>host"), events(lines)
    rows = [("primary host>micom", "frames", host), ("primary micom>host", "frames", micom),
            ("input events", "events", evs)]
    times = [t for f in host + micom for t in f[:2]] + [t for t, _ in evs]
    axis = Axis(times + [min(times) - 500000, max(times) + 300000], 3000000, 0.16e-3)
    return svg(title, axis, rows)


PICTURES = {
    "flash-entry.svg": flash_entry,
    "key-press.svg": lambda fpsim, work: bus_picture(
        fpsim, work, "press KEY_UP 400ms\n",
        "A key held 400 ms: its press, repeats every 110 ms and release on the primary line, and the input events"),
    "rescue.svg": lambda fpsim, work: bus_picture(
        fpsim, work, "after 300ms press KEY_VOLUMEUP\nafter 900ms press KEY_1\ncat /proc/rescue\nwait 200ms\n",
        "The rescue hand-shake: a read of /proc/rescue waits for KEY_VOLUMEUP, then KEY_1"),
}


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: make_diagrams.py FPSIM [--check]")
    fpsim, check = sys.argv[1], "--check" in sys.argv[2:]
    stale = 0
    with tempfile.TemporaryDirectory() as work:
        for name, draw in PICTURES.items():
            picture, path = draw(fpsim, work), os.path.join(OUT, name)
            if check:
                try:
                    with open(path) as f:
                        same = f.read() == picture
                except OSError:
                    same = False
                if not same:
                    print("make_diagrams.py: docs/diagrams/%s is not what fpsim draws now; run "
                          "tools/docs/make_diagrams.py build/fpsim" % name)
                    stale = 1
            else:
                os.makedirs(OUT, exist_ok=True)
                with open(path, "w") as f:
                    f.write(picture)
    sys.exit(stale)


if __name__ == "__main__":
    main()
