#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# soak --jobs under a supervisor: SIGINT or SIGTERM sent to the parent alone
# ends every run, each with its summary, the total marked interrupted, and the
# status 130 or 143.  A short run afterwards still ends well, every run at
# the hours asked for.
#
#   soak_signals.py FPSIM
import signal
import subprocess
import sys
import time

fpsim = sys.argv[1]
failed = False


def run(args, sig=None):
    p = subprocess.Popen([fpsim, "soak"] + args, stdout=subprocess.PIPE, text=True)
    if sig:
        time.sleep(1.0)
        p.send_signal(sig)
    out, _ = p.communicate(timeout=120)
    return p.returncode, out.splitlines()


for sig, want in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
    status, lines = run(["--hours", "1000000", "--jobs", "2"], sig)
    runs = [l for l in lines if l.startswith("soak: seed ")]
    ok = status == want and len(runs) == 2 and all("(interrupted)" in l for l in runs + lines[-1:])
    if not ok:
        print(f"{sig.name}: status {status} (want {want}), output:\n" + "\n".join(lines))
        failed = True

status, lines = run(["--hours", "0.5", "--jobs", "3"])
runs = [l for l in lines if l.startswith("soak: seed ")]
if status != 0 or len(runs) != 3 or not all(" 0.5 simulated hours" in l for l in runs) or "interrupted" in lines[-1]:
    print(f"after the signals, a short run: status {status}, output:\n" + "\n".join(lines))
    failed = True
sys.exit(1 if failed else 0)
