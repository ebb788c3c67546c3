#!/usr/bin/env python3
"""SIGTERM followed at once by SIGHUP stops kestruned with status 0: a stop
is never lost behind a reload that comes with it. Ten times over, since the
two signals may reach the program in either order.

    stop.py KESTRUNED"""
import signal
import subprocess
import sys

from daemon import Daemon, check, free_port, proxy, run


def test():
    for attempt in range(10):
        d = Daemon(sys.argv[1], proxy("P", free_port()))
        try:
            d.wait_line(r"^\[P\] (Started|Listen failed)")
            d.signal(signal.SIGTERM)
            d.signal(signal.SIGHUP)
            try:
                status = d.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                status = None
            check(status == 0, f"attempt {attempt + 1}: status {status} after TERM and HUP:\n"
                  f"{d.text()}")
            check("[P] Stopped" in d.lines(), f"attempt {attempt + 1}: no Stopped line")
        finally:
            d.close()


run(test)
