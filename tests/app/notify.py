#!/usr/bin/env python3
"""kestruned tells its service manager READY=1 once its services have
started, RELOADING=1 (with the monotonic time) and READY=1 around a reload,
and STOPPING=1 on the way out, through the datagram socket that
NOTIFY_SOCKET names; a STATUS= line counts services and connections.

    notify.py KESTRUNED"""
import os
import signal
import socket
import sys
import tempfile
import time

from daemon import Daemon, check, free_port, proxy, run


def test():
    sock_dir = tempfile.mkdtemp(prefix="kestruned-notify-")
    path = os.path.join(sock_dir, "notify")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind(path)
    listener.settimeout(10)
    env = dict(os.environ, NOTIFY_SOCKET=path)
    ports = [free_port(), free_port()]
    d = Daemon(sys.argv[1], proxy("A", ports[0]) + proxy("B", ports[1]), env=env)
    messages = []

    def expect(state):
        message = listener.recv(4096).decode()
        messages.append(message)
        check(state in message.split("\n"), f"expected {state}, got {messages}")
        return message

    try:
        ready = expect("READY=1")
        check("STATUS=2 services running, 0 connections open" in ready.split("\n"),
              f"status: {ready!r}")
        for port in ports:  # listening by the time READY=1 arrives
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
        before = time.clock_gettime(time.CLOCK_MONOTONIC)
        d.signal(signal.SIGHUP)
        reloading = expect("RELOADING=1")
        stamp = [l for l in reloading.split("\n") if l.startswith("MONOTONIC_USEC=")]
        check(stamp and abs(int(stamp[0].split("=")[1]) / 1e6 - before) < 5,
              f"no monotonic time stamp: {reloading!r}")
        expect("READY=1")
        status, _ = d.stop()
        expect("STOPPING=1")
        check(status == 0, f"exit status {status}")
    finally:
        d.close()
        listener.close()
        os.unlink(path)
        os.rmdir(sock_dir)


run(test)
