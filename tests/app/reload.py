#!/usr/bin/env python3
"""SIGHUP applies only what changed: a relayed connection through an
unchanged proxy server carries bytes both ways after the reload, one through
a changed server is closed, a removed mapper stops and a new one starts; a
file that is missing or cannot be read changes nothing.

    reload.py KESTRUNED"""
import os
import signal
import socket
import sys

from daemon import (Daemon, EchoServer, check, closed, echoes, free_port, mapper, proxy, run,
                    socks5)


def test():
    echo = EchoServer()
    keep, change, gone, new = (free_port() for _ in range(4))
    head = "[Kestrune]\r\nTime=hh:nn:ss\r\n"
    d = Daemon(sys.argv[1], head + proxy("Keep", keep) + proxy("Change", change) +
               mapper("Gone", gone, echo.port))
    try:
        d.wait_line(r"^\[Gone\] Started$")
        kept = socks5(keep, echo.port)
        changed = socks5(change, echo.port)
        check(echoes(kept, b"before") and echoes(changed, b"before"), "no relay before reload")

        d.write(head + proxy("Keep", keep) + proxy("Change", change, extra="Buffer=32\r\n") +
                mapper("New", new, echo.port))
        d.signal(signal.SIGHUP)
        d.wait_line(r"^Settings reloaded: 1 unchanged, 1 restarted, 1 stopped, 1 started$")
        check(echoes(kept, b"after the reload" * 1000), "the unchanged server's relay broke")
        kept.shutdown(socket.SHUT_WR)  # the half-close still reaches the target and back
        check(kept.recv(1) == b"", "no end of stream through the kept relay")
        check(closed(changed), "the changed server kept its connection")
        lines = d.lines()
        check("[Change] Restarted" in lines and "[Gone] Stopped" in lines and
              "[New] Started" in lines, "missing a reload line:\n" + d.text())
        check(not any(l.startswith("[Keep] Stopped") for l in lines), "Keep was stopped")
        with socket.create_connection(("127.0.0.1", new), timeout=5) as s:
            check(echoes(s, b"new mapper"), "the new mapper does not forward")
        try:
            socket.create_connection(("127.0.0.1", gone), timeout=5).close()
            check(False, "the removed mapper still listens")
        except ConnectionRefusedError:
            pass

        # A file that is missing, then one that cannot be read (a directory).
        kept = socks5(keep, echo.port)
        os.rename(d.ini, d.ini + ".away")
        d.signal(signal.SIGHUP)
        d.wait_line(r"^Settings not reloaded: no file at ")
        os.mkdir(d.ini)
        d.signal(signal.SIGHUP)
        d.wait_line(r"^Settings not reloaded: ", count=2)
        check(echoes(kept, b"still here"), "a refused reload touched a connection")
        with socket.create_connection(("127.0.0.1", new), timeout=5) as s:
            check(echoes(s, b"new mapper"), "a refused reload stopped a service")
        check(d.lines().count("[Change] Started") == 2, "a refused reload restarted a service")
        status, seconds = d.stop()
        check(status == 0 and seconds < 2, f"SIGTERM: status {status} after {seconds:.1f} s")
    finally:
        d.close()


run(test)
