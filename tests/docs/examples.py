#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Every example of the manual pages and of README.md, taken from the pages'
own text at test time, run, and checked against what the page says it gives.

   examples.py FPSIM SOURCE_DIR WORK_DIR

A display of a page (an mdoc .Bd -literal block, a fenced block of
README.md) is known here by its page and its first line, with what to do
with it: run it (a fpsim script, a shell command line with fpsim on the
PATH, a C fragment compiled against the system's headers), compare it with
the output of the commands that make it, or leave it, for a reason said
here (it runs only on the box, or another test covers it).  A display that
is not in the table, or an entry whose display is gone, fails the test: an
example that is added or changed must say here how it is checked.

Exit status 0 all held, 1 a failure, 77 nothing failed but an example
needed a tool that is missing (sigrok-cli, cc): it says which.
"""
import os
import re
import shutil
import subprocess
import sys

FPSIM, SOURCE, WORK = (os.path.abspath(a) for a in sys.argv[1:4])
IMAGE = os.path.join(SOURCE, "tests/shell/scripts/abc.bin")  # FILE CHECKSUM 0x0129


def mdoc_displays(path):
    """The literal displays of an mdoc page, as mandoc shows them."""
    shown, block = [], None
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if block is not None:
            if line.startswith(".Ed"):
                shown.append("\n".join(block) + "\n")
                block = None
            else:
                block.append(line.replace("\\e", "\\").replace("\\-", "-").replace("\\&", ""))
        elif line.startswith(".Bd -literal"):
            block = []
    return shown


def markdown_blocks(path):
    """The fenced code blocks of a Markdown file."""
    shown, block = [], None
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if line.startswith("```"):
            if block is None:
                block = []
            else:
                shown.append("\n".join(block) + "\n")
                block = None
        elif block is not None:
            block.append(line)
    return shown


def lines_in_order(want, got):
    """Whether the lines of @want stand in @got one after the other; a
    line "..." stands for any number of lines."""
    parts = [p.strip("\n").split("\n") for p in re.split(r"^\.\.\.\n", want, flags=re.M) if p.strip("\n")]
    lines = got.split("\n")
    at = 0
    for part in parts:
        for i in range(at, len(lines) - len(part) + 1):
            if lines[i:i + len(part)] == part:
                at = i + len(part)
                break
        else:
            return False
    return True


# ---- what is done with each display -------------------------------------

class Missing(Exception):
    pass


def need(tool):
    if not shutil.which(tool):
        raise Missing(tool)


def run(argv, cwd, stdin=None, env=None):
    e = dict(os.environ, PATH=os.path.dirname(os.path.abspath(FPSIM)) + os.pathsep + os.environ["PATH"])
    e.update(env or {})
    return subprocess.run(argv, cwd=cwd, input=stdin, env=e, capture_output=True, text=True, timeout=120)


# an example's output: the display that follows it on the page
NEXT = "the display after it"


def outcome(r, status, output):
    """What differs between run @r and the status and output expected."""
    why = []
    if r.returncode != status:
        why.append(f"exit status {r.returncode}, expected {status}")
    if output is not None and not lines_in_order(output, r.stdout):
        why.append(f"its output does not have:\n{output}")
    if why:
        why.append(f"--- standard output\n{r.stdout}--- standard error\n{r.stderr}---")
    return "\n".join(why)


def script(name, status=0, output=None, before="", after=""):
    """A fpsim script, saved as @name and run with fpsim shell @name; a
    command of the box's own shell runs with @before (the driver loaded)
    and @after it (what shows its effect)."""
    def check(text, cwd, after_it):
        with open(os.path.join(cwd, name), "w", encoding="utf-8") as f:
            f.write(before + text + after)
        return outcome(run([FPSIM, "shell", name], cwd), status, after_it if output is NEXT else output)
    return check


def shell(status=0, output=None, files=(), tool=None, source_tree=False):
    """A command line for sh, with fpsim on the PATH and @files (an image)
    in its directory; @source_tree: run as from the top of the source tree."""
    def check(text, cwd, after_it):
        if tool:
            need(tool)
        for f in files:
            shutil.copy(IMAGE, os.path.join(cwd, f))
        if source_tree and not os.path.exists(os.path.join(cwd, "tools")):
            os.symlink(os.path.join(SOURCE, "tools"), os.path.join(cwd, "tools"))
        return outcome(run(["sh", "-ec", text], cwd), status, after_it if output is NEXT else output)
    return check


def output_of(argv=None, commands=None):
    """The display is output: its lines stand in order in what fpsim prints
    for @argv, or for the shell @commands."""
    def check(text, cwd, after_it):
        r = run([FPSIM] + (argv or ["shell"]), cwd, stdin=commands)
        return outcome(r, 0, text)
    return check


def c_fragment():
    """A C fragment: its #include lines, then statements, compiled in a function."""
    def check(text, cwd, after_it):
        need("cc")
        includes = "".join(l + "\n" for l in text.splitlines() if l.startswith("#"))
        body = "".join(l + "\n" for l in text.splitlines() if not l.startswith("#"))
        src = os.path.join(cwd, "fragment.c")
        with open(src, "w", encoding="utf-8") as f:
            f.write(includes + "void example(void) {\n" + body + "}\n")
        r = subprocess.run(["cc", "-fsyntax-only", "-Wall", "-Werror", src], capture_output=True, text=True)
        return "" if r.returncode == 0 else r.stderr
    return check


def shown_before():
    """The output of the example before it, checked with that example."""
    def check(text, cwd, after_it):
        return ""
    check.shown = True
    return check


def not_here(reason):
    def check(text, cwd, after_it):
        return None
    check.reason = reason
    return check


KEY_TAP = "boot\npress KEY_UP 120ms\n"
EXAMPLES = {
    "fpsim.1": {
        "[    0.000001] MICOM FP starting 8652...": output_of(commands="boot\nlog\n"),
        "    0.082366 KEY_UP           press": output_of(commands=KEY_TAP + "events\n"),
        "Event: time 0.082366, type 1 (EV_KEY), code 103 (KEY_UP), value 1": output_of(commands=KEY_TAP + "events evtest\n"),
        "    0.080000 primary host>micom AA 20 D2 0D 0D F2                    get time":
            not_here("frames of several runs, to show the columns; tests/sim/test_frame_decoder.cpp checks the words"),
        "1.106636 isp host>micom B0 1F 00 FF  checksum":
            not_here("bursts of several runs, to show the columns; tests/sim/test_frame_decoder.cpp checks the words"),
        "flash: exit 0, 5.768249 s of box time, the micom's flash equals the image":
            output_of(argv=["flash", "--build", "b", IMAGE]),
        "soak: seed 7, 1000.0 simulated hours in 0.5 wall seconds, 27125 events, 14448 faults injected, 3413 clean taps, 0 failures":
            not_here("its wall seconds differ from run to run; fpsim_soak checks the line"),
        "micom time 2026-12-07 21:30:00": script("keys.fps"),
        "{ echo boot; sleep 1; echo 'call get_RTC_time'; } | fpsim shell": shell(output=NEXT),
        "1356998400": shown_before(),
        "fpsim --seed 3 --vcd flash.vcd --log flash.log shell <<'EOF'": shell(status=1, files=["firmware.bin"], output=NEXT),
        "flash: exit 1, 5.768249 s of box time, the micom's flash differs from the image in 13 bytes (the first at 0x01CC)":
            shown_before(),
        "SIGROKDECODE_DIR=tools/sigrok sigrok-cli -I vcd -i flash.vcd \\":
            shell(tool="sigrok-cli", source_tree=True, output="fpmicom-1: sync\nfpmicom-1: sync answer\n"),
        "boot": script("wake.fps", output="power: on\nmode: normal\n"),
    },
    "frontpanel.4": {
        "evtest /dev/input/event0": not_here("evtest on the box; fpsim's events evtest prints what it prints"),
        "#include <fcntl.h>": c_fragment(),
        "CROSS_COMPILE=mipsel-linux-gnu- driver/linux/build_module.sh \\":
            not_here("needs the box vendor's 3.9 tree; make kernel-check builds the box variant"),
        "driver/linux/dkms_source.sh /usr/src/frontpanel-0.1.0": not_here("root and DKMS; make package-check and make kernel-check"),
        "echo 20261208153000+0 > /proc/settime":
            script("settime.fps", before="boot\n", after="wait 1s\ncall get_RTC_time\ndate\n",
                   output="2026-12-08 15:30:01.500000\n"),
        "echo 1 > /proc/startrescue": script("rescue.fps", before="boot\n", output="255\n"),
        "hwclock -r -f /dev/rtc1": not_here("a POSIX shell on the box (its date and arithmetic); the QEMU guests run the tools"),
        "old=$(cat /proc/led)": not_here("a POSIX shell on the box (its variables)"),
    },
    "micomflash.8": {
        "cmake -S . -B build-mipsel \\": not_here("the MIPS cross compilers and the box's libraries; programmer/README.md"),
        "OPEN MICOM": output_of(argv=["flash", "--build", "b", IMAGE]),
        "micomflash /lib/firmware/micom.bin | tee /tmp/micomflash.log": not_here("runs on the box; the next example is its fpsim form"),
        "fpsim flash --build b micom.bin": shell(files=["micom.bin"], output="CLOSE MICOM\n"),
    },
    "README.md": {
        "make demo   # configure, build, and run the guided demonstration":
            not_here("the suite itself: fpsim_demo runs the demo that make demo runs"),
        "sudo apt-get install debhelper dh-dkms cmake libedit-dev libgtest-dev": not_here("root; make package-check"),
        "driver/linux/dkms_source.sh /usr/src/frontpanel-0.1.0": not_here("root and DKMS; make package-check and make kernel-check"),
        "sudo cmake --install build --prefix /usr/local   # bin/fpsim, lib/fpsim/, the decoder, the man pages":
            not_here("root; fpsim_install installs into a temporary prefix"),
        "build/fpsim demo [--out DIR]          # the guided tour (its image and VCD go to DIR, default .)":
            not_here("the forms of the command line; docs_fpsim_page_covers_the_tool and fpsim_cli check them"),
        "micom time 2026-12-07 21:30:00": script("example.fps"),
        "SIGROKDECODE_DIR=tools/sigrok sigrok-cli -I vcd -i t.vcd \\":
            shell(tool="sigrok-cli", source_tree=True, output="fpmicom-1: sync\n"),
        "CROSS_COMPILE=mipsel-linux-gnu- driver/linux/build_module.sh --arch mipsel \\":
            not_here("needs the box vendor's 3.9 tree; make kernel-check builds the box variant"),
    },
}

# What a display needs that its page gave it before it: the README decodes a
# trace t.vcd that a flash wrote.
PREPARE = {
    ("README.md", "SIGROKDECODE_DIR=tools/sigrok sigrok-cli -I vcd -i t.vcd \\"):
        [FPSIM, "--vcd", "t.vcd", "flash", "--build", "b", "t.bin"],
}


def main():
    failures, missing, ran = 0, set(), 0
    for page, table in EXAMPLES.items():
        path = os.path.join(SOURCE, "README.md" if page == "README.md" else "docs/man/" + page)
        shown = markdown_blocks(path) if page == "README.md" else mdoc_displays(path)
        cwd = os.path.join(WORK, page)
        shutil.rmtree(cwd, ignore_errors=True)
        os.makedirs(cwd)
        seen = set()
        for n, text in enumerate(shown):
            first = text.split("\n", 1)[0]
            seen.add(first)
            check = table.get(first)
            if check is None:
                print(f"{page}: a display this test does not know: say in tests/docs/examples.py how it is "
                      f"checked:\n{text}")
                failures += 1
                continue
            if hasattr(check, "reason"):
                print(f"{page}: not run here: {first}: {check.reason}")
                continue
            if hasattr(check, "shown"):
                print(f"{page}: checked as the output of the example before it: {first}")
                continue
            try:
                prepare = PREPARE.get((page, first))
                if prepare:
                    shutil.copy(IMAGE, os.path.join(cwd, prepare[-1]))
                    run(prepare, cwd)
                why = check(text, cwd, shown[n + 1] if n + 1 < len(shown) else "")
            except Missing as m:
                print(f"{page}: skipped, {m} is not installed: {first}")
                missing.add(str(m))
                continue
            ran += 1
            if why:
                print(f"{page}: FAILED: the example\n{text}{why}")
                failures += 1
            else:
                print(f"{page}: holds: {first}")
        for first in set(table) - seen:
            print(f"{page}: the display that begins {first!r} is gone from the page: update the table")
            failures += 1
    print(f"{ran} examples ran, {failures} failed" + (f"; skipped for want of {', '.join(sorted(missing))}"
                                                     if missing else ""))
    sys.exit(1 if failures else 77 if missing else 0)


main()
