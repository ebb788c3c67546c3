#!/usr/bin/env python3
"""When JOURNAL_STREAM names kestruned's standard output, every line is
"<priority>text" without a time stamp of its own: 4 for refusals and failed
logins, 3 for a service that could not listen and a refused reload, 6 for the
rest. Without it, or when it names another file (the output was redirected),
the lines are "[time] text" as always.

    journal.py KESTRUNED"""
import os
import re
import signal
import socket
import sys

from daemon import Daemon, check, closed, free_port, login, mapper, proxy, rule, run


def test():
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen()
    # A client of 127.0.0.2 comes from 127.0.0.1: not the service's own
    # address, so the rule applies to it.
    p, m = free_port(), free_port("127.0.0.2")
    settings = (proxy("P", p, extra="User=alice\r\nPass=secret\r\n") +
                mapper("M", m, 9, host="127.0.0.2") + mapper("Busy", busy.getsockname()[1], 9) +
                rule("No", "127.0.0.2", m))
    d = Daemon(sys.argv[1], settings, journal=True)
    try:
        d.wait_line(r"\[M\] Started$")
        check(login(p, "alice", "wrong") == 1, "a wrong password was taken")
        with socket.create_connection(("127.0.0.2", m), timeout=5) as s:
            check(closed(s), "the denied client was served")
        os.rename(d.ini, d.ini + ".away")
        d.signal(signal.SIGHUP)
        d.wait_line(r"Settings not reloaded: ")
        d.wait_line(r"\[M\] Denied: ")
        d.wait_line(r"\[P\] Authentication failed: ")
        lines = d.text().splitlines()
        for pattern in (r"<6>Settings loaded", r"<6>\[P\] Started", r"<6>\[M\] Started",
                        r"<3>\[Busy\] Listen failed: 127\.0\.0\.1:\d+",
                        r"<4>\[P\] Authentication failed: 127\.0\.0\.1:\d+ @ alice",
                        r"<4>\[M\] Denied: 127\.0\.0\.1:\d+", r"<3>Settings not reloaded: .*"):
            check(any(re.fullmatch(pattern, line) for line in lines),
                  f"no line {pattern!r} in:\n{d.text()}")
        check(all(re.match(r"<[346]>[^<\[]|<[346]>\[[^0-9]", line) for line in lines),
              f"a line without its priority, or with a time stamp:\n{d.text()}")
    finally:
        d.close()

    # Not the journal: today's form.
    for env in (None, dict(os.environ, JOURNAL_STREAM="0:0")):
        d = Daemon(sys.argv[1], "[Kestrune]\r\nTime=hh:nn:ss\r\n" + proxy("P", free_port()),
                   env=env)
        try:
            d.wait_line(r"^\[P\] (Started|Listen failed)")
            check(re.fullmatch(r"\[\d\d:\d\d:\d\d\] Settings loaded", d.text().splitlines()[0]),
                  f"JOURNAL_STREAM={env and env['JOURNAL_STREAM']}:\n{d.text()}")
        finally:
            d.close()


run(test)
