#!/usr/bin/env python3
"""A flood of refusals with standard output stalled: 200,000 refused
datagrams and 20,000 refused connections in a few seconds. Resident memory
stays within 20 MB of where it started; once the output is read again the
refusals arrive collapsed, accounting for every drop the counters show, and
no other line is lost; SIGTERM with the output stalled ends the program
within 2 s.

    flood.py KESTRUNED"""
import fcntl
import os
import re
import socket
import sys
import threading
import time

from daemon import (Daemon, EchoServer, check, free_port, mapper, proxy, rule, run, socks5,
                    wait_for)

DATAGRAMS = 200_000
CONNECTIONS = 20_000
ALLOWED = 50
LIMIT_MB = 20
F_SETPIPE_SZ = 1031


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^VmRSS:\s+(\d+)", f.read(), re.M).group(1))


def scrape_drops(port, name):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    m = re.search(r'^kestrune_drops_total\{service="%s",kind="\w+"\} (\d+)$' % name,
                  data.decode(), re.M)
    return int(m.group(1))


def refusals(lines, name):
    """The refusals of service `name` that the log lines account for."""
    total = 0
    for line in lines:
        if not line.startswith(f"[{name}] Denied: "):
            continue
        m = re.search(r" \(and (\d+) more\)$", line)
        n = re.search(r"Denied: (\d+) more from other peers$", line)
        total += int(n.group(1)) if n else 1 + int(m.group(1)) if m else 1
    return total


def test():
    echo = EchoServer()
    # The refusing services listen on 127.0.0.2 and the flood comes from
    # 127.0.0.1: a peer on a service's own address is never refused.
    udp, tcp, ok, metrics = free_port("127.0.0.2"), free_port("127.0.0.2"), free_port(), free_port()
    settings = (f"[Kestrune]\r\nMetrics=127.0.0.1:{metrics}\r\n" +
                mapper("Udp", udp, echo.port, host="127.0.0.2", extra="TCP=0\r\nUDP=1\r\n") +
                proxy("Tcp", tcp, host="127.0.0.2", extra="Queue=1000\r\n") + proxy("Ok", ok) +
                rule("NoUdp", "127.0.0.2", udp) + rule("NoTcp", "127.0.0.2", tcp))
    d = Daemon(sys.argv[1], settings, stall=True)
    try:
        check(wait_for(lambda: all(
            socket.socket().connect_ex(("127.0.0.1" if p == ok else "127.0.0.2", p)) == 0
            for p in (tcp, ok))), "services not up")
        # The baseline is taken once start-up has stopped allocating: two
        # readings a tenth of a second apart within 256 KB of each other.
        readings = [rss_kb(d.proc.pid)]

        def settled():
            time.sleep(0.1)  # the interval between two readings
            readings.append(rss_kb(d.proc.pid))
            return abs(readings[-1] - readings[-2]) <= 256

        wait_for(settled, 5)
        start_kb = peak_kb = readings[-1]
        flooding = True

        def watch():
            nonlocal peak_kb
            while flooding:
                peak_kb = max(peak_kb, rss_kb(d.proc.pid))
                time.sleep(0.05)

        def datagrams():
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            for i in range(DATAGRAMS):
                s.sendto(b"x" * 32, ("127.0.0.2", udp))
            s.close()

        def connections(count):
            deadline = time.monotonic() + 60
            for _ in range(count):
                if time.monotonic() > deadline:
                    break
                c = socket.socket()
                c.settimeout(2)
                c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                try:
                    c.connect(("127.0.0.2", tcp))
                except OSError:
                    pass
                c.close()

        def allowed():
            for _ in range(ALLOWED):
                with socks5(ok, echo.port):
                    pass

        watcher = threading.Thread(target=watch)
        watcher.start()
        began = time.monotonic()
        workers = [threading.Thread(target=datagrams), threading.Thread(target=allowed)] + [
            threading.Thread(target=connections, args=(CONNECTIONS // 2,)) for _ in range(2)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        flood_seconds = time.monotonic() - began
        # The gateway works through the datagrams still queued for it; the
        # watcher sees its memory meanwhile. Done when the counts stand still.
        counts = [None]

        def drained():
            time.sleep(0.1)  # the interval between two readings
            counts.append({name: scrape_drops(metrics, name) for name in ("Udp", "Tcp")})
            return counts[-1] == counts[-2]

        wait_for(drained, 10)
        drops = counts[-1]
        flooding = False
        watcher.join()
        grown_mb = (peak_kb - start_kb) / 1024
        print(f"flood took {flood_seconds:.1f} s; drops {drops}; resident memory "
              f"{start_kb // 1024} MB at start, grew by at most {grown_mb:.1f} MB")
        check(drops["Tcp"] >= CONNECTIONS * 0.9, f"too few refused connections: {drops}")
        check(drops["Udp"] >= DATAGRAMS * 0.2, f"too few refused datagrams: {drops}")
        check(grown_mb < LIMIT_MB, f"memory grew by {grown_mb:.1f} MB")

        # Read the output again: every drop is accounted for, collapsed.
        text = []
        reading = True

        def read():
            pending = b""
            fd = d.proc.stdout.fileno()
            while reading and (data := os.read(fd, 65536)):
                pending += data
                *complete, pending = pending.split(b"\n")
                text.extend(re.sub(r"^\[[^\]]*\] ", "", l.decode(errors="replace"))
                            for l in complete)

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        check(wait_for(lambda: all(refusals(list(text), n) >= drops[n] for n in drops), 10),
              f"refusals logged {[refusals(list(text), n) for n in drops]} of {drops}")
        lines = list(text)
        denied = sum(1 for l in lines if "] Denied: " in l)
        print(f"{denied} refusal lines for {sum(drops.values())} refusals")
        check(denied < 200, f"{denied} refusal lines: not collapsed")
        for kind in ("Connected", "Disconnected"):
            n = sum(1 for l in lines if l.startswith(f"[Ok] {kind}: "))
            # The readiness probe above is one more.
            check(n == ALLOWED + 1, f"{n} of {ALLOWED + 1} '{kind}' lines")

        # Stall the output again, with lines waiting, and stop.
        reading = False
        fcntl.fcntl(d.proc.stdout.fileno(), F_SETPIPE_SZ, 4096)
        for _ in range(100):
            with socks5(ok, echo.port):
                pass
        reader.join(5)
        status, seconds = d.stop()
        print(f"SIGTERM with the output stalled: exit status {status} after {seconds:.2f} s")
        check(status == 0 and seconds < 2, f"SIGTERM: status {status} after {seconds:.1f} s")
    finally:
        d.close()


run(test)
