#!/usr/bin/env python3
"""kestruned --check FILE prints what loading FILE would log and a summary:
exit 0 with "OK: ..." for a good file and for one whose values loading
clamps, exit 1 for a file with a skipped section or none at all. kestruned
itself logs the same lines when it loads the file, a section skipped for its
address or port included.

    check.py KESTRUNED"""
import os
import subprocess
import sys
import tempfile

from daemon import Daemon, check, free_port, mapper, proxy, rule, run

program = sys.argv[1]


def run_check(path):
    done = subprocess.run([program, "--check", path], capture_output=True, text=True, timeout=10)
    return done.returncode, done.stdout.splitlines()


def test():
    work = tempfile.mkdtemp(prefix="kestruned-check-")
    path = os.path.join(work, "Kestrune.ini")

    def write(text):
        with open(path, "w", newline="") as f:
            f.write(text)

    try:
        good = proxy("P", 1080) + mapper("M", 9000, 9001) + rule("R", "0.0.0.0", 1080)
        write(good)
        status, out = run_check(path)
        check((status, out) == (0, ["OK: 1 proxy servers, 1 port mappers, 1 access rules"]),
              f"good file: {status} {out}")

        write(good + mapper("M2", 9000, 9002) + proxy("Q", 1080) + proxy("NoPort", "x"))
        status, out = run_check(path)
        check(status == 1 and out == [
            "Port mapper port conflict while loading port mappers: M2",
            "Proxy server port conflict while loading proxy servers: Q",
            "Section skipped for a missing or invalid address or port: NoPort",
            "Not OK: 3 sections skipped"], f"skipped sections: {status} {out}")

        write("")
        status, out = run_check(path)
        check(status == 1 and out == ["Not OK: the file holds no settings"], f"empty: {out}")
        status, out = run_check(os.path.join(work, "none.ini"))
        check(status == 1 and out[-1].startswith("Not OK: no file at "), f"missing: {out}")

        # Values out of range pass; a port of 70000 skips its section. Either
        # way --check prints exactly the lines that loading the file logs
        # before it starts the services.
        port = free_port()
        clamped = proxy("P", port, extra="Buffer=2000000\r\nWait=4294968\r\nQueue=0\r\n")
        cases = ((clamped, (0, "OK: 1 proxy servers, 0 port mappers, 0 access rules")),
                 (clamped + mapper("Far", 70000, 9001), (1, "Not OK: 1 section skipped")))
        for text, verdict in cases:
            write(text)
            status, out = run_check(path)
            check((status, out[-1]) == verdict, f"{verdict}: {status} {out}")
            d = Daemon(program, text)
            try:
                d.wait_line(r"^\[P\] (Started|Listen failed)")
                logged = d.lines()
                logged = logged[:logged.index("Settings loaded")]
                check(out[:-1] == logged, f"--check printed {out[:-1]}, loading logged {logged}")
            finally:
                d.close()
        check("Section skipped for a missing or invalid address or port: Far" in logged,
              f"the skipped section was not logged: {logged}")
    finally:
        subprocess.run(["rm", "-rf", work], check=False)


run(test)
