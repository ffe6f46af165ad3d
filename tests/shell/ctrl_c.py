#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Ctrl-C at fpsim's terminal prompt drops the line typed so far, and during a
# command stops that command; the session and its box go on.
#
#   ctrl_c.py FPSIM
import os
import pty
import select
import sys
import time

fpsim = sys.argv[1]
pid, fd = pty.fork()
if pid == 0:
    os.execv(fpsim, [fpsim, "shell"])

seen = b""


def until(text, timeout=60):
    """Reads the terminal until @text shows; False when it does not."""
    global seen
    end = time.monotonic() + timeout
    while text not in seen and time.monotonic() < end:
        if select.select([fd], [], [], 0.5)[0]:
            try:
                seen += os.read(fd, 4096)
            except OSError:
                break
    return text in seen


def typed(text):
    os.write(fd, text.encode())


ok = until(b"fpsim> ")
typed("boot\r")
ok = ok and until(b"fpsim> ", 30)
seen = b""
typed("cat /proc/nosu")  # dropped by Ctrl-C: no such command runs
time.sleep(0.3)
typed("\x03")
ok = ok and until(b"^C\r\nfpsim> ")
# A day of a held key takes about a wall second here: the Ctrl-C comes well
# within it, once the command has started.
typed("press KEY_UP 24h\r")
ok = ok and until(b"press KEY_UP 24h\r\n")
time.sleep(0.2)
typed("\x03")
ok = ok and until(b"interrupted") and until(b"interrupted\r\nfpsim> ")
typed("sync still here\r")
ok = ok and until(b"still here\r\n")
typed("quit\r")
_, status = os.waitpid(pid, 0)
if not ok or b"nosuch" in seen.split(b"interrupted")[0].replace(b"cat /proc/nosu", b"") or not os.WIFEXITED(status):
    print("terminal showed:\n" + seen.decode(errors="replace"))
    sys.exit(1)
sys.exit(0)
