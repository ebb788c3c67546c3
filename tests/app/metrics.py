#!/usr/bin/env python3
"""Metrics=HOST:PORT serves the services' counters at GET /metrics in the
Prometheus text format: scraped during relayed transfers they match the
bytes sent; other requests get 404; a request over 8 KB or slower than 5 s is
closed; neither a slow client nor 40 silent ones hold up other scrapes (the
oldest silent one gives way); a reload without the key stops serving them,
and one with an address that could not be opened tries it again.

    metrics.py KESTRUNED"""
import re
import signal
import socket
import sys
import time

from daemon import (Daemon, EchoServer, check, echoes, free_port, mapper, proxy, run, socks5,
                    wait_for)

LABEL = r'[a-zA-Z_][a-zA-Z0-9_]*="(?:\\.|[^"\\])*"'
SAMPLE = re.compile(r"^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{" + LABEL + "(?:," + LABEL +
                    r")*\})? (-?[0-9]+)$")


def request(port, text, limit=10):
    """Sends `text` and returns everything the server answers."""
    with socket.create_connection(("127.0.0.1", port), timeout=limit) as s:
        s.sendall(text)
        data = b""
        try:
            while chunk := s.recv(65536):
                data += chunk
        except ConnectionResetError:  # closed with the request unread
            pass
        return data.decode()


def scrape(port):
    """The samples of GET /metrics, each line checked against the format."""
    answer = request(port, b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
    head, _, body = answer.partition("\r\n\r\n")
    check(head.startswith("HTTP/1.1 200 "), f"status: {head!r}")
    check("Content-Type: text/plain; version=0.0.4" in head, f"content type: {head!r}")
    samples = {}
    for line in body.splitlines():
        if line.startswith("# HELP ") or line.startswith("# TYPE "):
            continue
        m = SAMPLE.match(line)
        check(m, f"not a sample line: {line!r}")
        samples[m.group(1) + (m.group(2) or "")] = int(m.group(3))
    return samples


def test():
    echo = EchoServer()
    p, m = free_port(), free_port()
    d = Daemon(sys.argv[1], "[Kestrune]\r\nMetrics=127.0.0.1:0\r\n" +
               proxy('Of"fice', p) + mapper("Map", m, echo.port))
    try:
        d.wait_line(r"^\[Map\] Started$")
        d.wait_line(r"^Metrics served at http://127\.0\.0\.1:\d+/metrics$")
        port = int(re.search(r"127\.0\.0\.1:(\d+)/metrics", d.text()).group(1))

        # Relayed transfers that stay open while they are scraped.
        through_proxy = socks5(p, echo.port)
        through_mapper = socket.create_connection(("127.0.0.1", m), timeout=10)
        check(echoes(through_proxy, b"p" * 300000), "no relay through the proxy server")
        check(echoes(through_mapper, b"m" * 70000), "no relay through the port mapper")
        labels = {"proxy": '{service="Of\\"fice",kind="proxy"}',
                  "mapper": '{service="Map",kind="mapper"}'}
        expected = {kind: {"kestrune_relayed_bytes_total": sent, "kestrune_connections_online": 1,
                           "kestrune_connections_total": 1, "kestrune_drops_total": 0,
                           "kestrune_service_up": 1}
                    for kind, sent in (("proxy", 300000), ("mapper", 70000))}

        def figures(samples):
            return {kind: {name: samples.get(name + labels[kind]) for name in expected[kind]}
                    for kind in expected}
        # A block is counted once it is written whole, a moment after the
        # client may have read its last bytes.
        check(wait_for(lambda: figures(scrape(port)) == expected),
              f"{figures(scrape(port))} instead of {expected}")
        samples = scrape(port)
        check(samples.get("kestrune_threads", 0) > 1, "no thread count")
        check(samples.get("kestrune_open_descriptors", 0) > 4, "no descriptor count")
        through_proxy.close()
        through_mapper.close()
        check(wait_for(lambda: scrape(port).get(
            "kestrune_connections_online" + labels["proxy"]) == 0), "online after the close")

        for text in (b"GET / HTTP/1.1\r\n\r\n", b"GET /metricsx HTTP/1.1\r\n\r\n",
                     b"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n"):
            answer = request(port, text)
            check(answer.startswith("HTTP/1.1 404 "), f"{text!r} got {answer[:40]!r}")

        # Over 8 KB: closed without an answer.
        answer = request(port, b"GET /metrics HTTP/1.1\r\nX-Pad: " + b"a" * 9000 + b"\r\n\r\n")
        check(answer == "", f"an oversized request was answered: {answer[:40]!r}")

        # A client that says nothing holds nothing up, and is closed at 5 s.
        slow = socket.create_connection(("127.0.0.1", port), timeout=10)
        start = time.monotonic()
        scrape(port)
        check(time.monotonic() - start < 1, "a silent client held up a scrape")
        check(slow.recv(1) == b"", "the silent client got an answer")
        waited = time.monotonic() - start
        check(4.5 < waited < 10, f"the silent client was closed after {waited:.1f} s")
        slow.close()

        # Silent clients beyond the slots do not lock the scrapes out: the
        # oldest of them gives way to each newcomer.
        idle = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(40)]
        for _ in range(3):
            start = time.monotonic()
            scrape(port)
            took = time.monotonic() - start
            check(took < 1, f"a scrape took {took:.1f} s beside 40 idle connections")
        check(idle[0].recv(1) == b"", "the oldest idle connection was kept")
        for s in idle:
            s.close()

        # A reload of a file without the key closes the listener.
        d.write(proxy('Of"fice', p) + mapper("Map", m, echo.port))
        d.signal(signal.SIGHUP)
        d.wait_line(r"^Settings reloaded: 2 unchanged")
        check(wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", port)) != 0),
              "metrics still served after the key was removed")

        # An address that could not be opened is tried again at the next
        # reload, as a service that could not listen is.
        busy = socket.socket()
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        taken = busy.getsockname()[1]
        d.write(f"[Kestrune]\r\nMetrics=127.0.0.1:{taken}\r\n" + proxy('Of"fice', p) +
                mapper("Map", m, echo.port))
        d.signal(signal.SIGHUP)
        d.wait_line(rf"^Metrics not served: 127\.0\.0\.1:{taken}: ")
        busy.close()
        d.signal(signal.SIGHUP)
        d.wait_line(rf"^Metrics served at http://127\.0\.0\.1:{taken}/metrics$")
        check("kestrune_service_up" + labels["mapper"] in scrape(taken),
              "nothing served after the retry")
        status, seconds = d.stop()
        check(status == 0 and seconds < 2, f"SIGTERM: status {status} after {seconds:.1f} s")
    finally:
        d.close()


run(test)
