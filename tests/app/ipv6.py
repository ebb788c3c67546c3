"""kestruned over IPv6 on ::1: curl through a proxy server on "::", SOCKS5
CONNECT and BIND with IPv6 addresses, mappers between the families (TCP and
UDP), and a Deny rule for an IPv6 client. Skipped where loopback has no IPv6."""
import http.server
import shutil
import socket
import struct
import subprocess
import sys
import threading

from daemon import (Daemon, check, closed, free_port, mapper, proxy, recv_exactly, rule, run)

PAGE = b"served over IPv6\n"


def has_ipv6():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class Echo:
    """A TCP echo on `host`, and on the same UDP port a sink that keeps what
    arrives (an echo would answer the mapper, which forwards one way only)."""

    def __init__(self, host):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.tcp = socket.socket(family)
        self.tcp.bind((host, 0))
        self.tcp.listen(16)
        self.port = self.tcp.getsockname()[1]
        self.udp = socket.socket(family, socket.SOCK_DGRAM)
        self.udp.bind((host, self.port))
        self.udp.settimeout(5)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            conn, _ = self.tcp.accept()
            threading.Thread(target=self._echo, args=(conn,), daemon=True).start()

    @staticmethod
    def _echo(conn):
        with conn:
            while data := conn.recv(65536):
                conn.sendall(data)



class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", str(len(PAGE)))
        self.end_headers()
        self.wfile.write(PAGE)

    def log_message(self, *args):
        pass


class Server6(http.server.ThreadingHTTPServer):
    address_family = socket.AF_INET6


def connect6(port):
    return socket.create_connection(("::1", port), timeout=5)


def socks5_request(s, cmd, address6, port):
    """[5, 1, 0] then [5, cmd, 0, atyp=4, 16-byte address, port]; the reply."""
    s.sendall(bytes([5, 1, 0]))
    check(recv_exactly(s, 2) == bytes([5, 0]), "method refused")
    s.sendall(bytes([5, cmd, 0, 4]) + socket.inet_pton(socket.AF_INET6, address6) +
              struct.pack(">H", port))
    return recv_exactly(s, 22)


def test():
    if not has_ipv6():
        print("skipped: no IPv6 on loopback")
        raise SystemExit(77)
    echo6, echo4 = Echo("::1"), Echo("127.0.0.1")
    http6 = Server6(("::1", 0), Page)
    http4 = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
    for server in (http6, http4):
        threading.Thread(target=server.serve_forever, daemon=True).start()
    p, guarded, m6, m4 = (free_port() for _ in range(4))
    d = Daemon(sys.argv[1],
               proxy("Six", p, host="::") + proxy("Guarded", guarded, host="::") +
               mapper("SixToFour", m6, echo4.port, host="::1", extra="TCP=1\r\nUDP=1\r\n") +
               mapper("FourToSix", m4, echo6.port, extra="TCP=1\r\nUDP=1\r\n")
               .replace("MapHost=127.0.0.1", "MapHost=::1") +
               rule("NoLoopback6", "::", guarded, rem_host="::1"))
    try:
        d.wait_line(r"^\[FourToSix\] Started$")
        if shutil.which("curl"):
            for args, url in ((["--socks5", f"[::1]:{p}"], f"http://[::1]:{http6.server_port}/"),
                              (["--socks5-hostname", f"[::1]:{p}"],
                               f"http://localhost:{http4.server_port}/")):
                got = subprocess.run(["curl", "-sS", "--max-time", "10", *args, url],
                                     capture_output=True, timeout=20)
                check(got.stdout == PAGE, f"curl {args}: {got.stdout!r} {got.stderr!r}")
        d.wait_line(r"^\[Six\] Connected: \[::1\]:\d+$")

        # CONNECT to an IPv6 address: the reply names the gateway's IPv6 end.
        with connect6(p) as s:
            reply = socks5_request(s, 1, "::1", echo6.port)
            check(reply[:4] == bytes([5, 0, 0, 4]), f"CONNECT reply {reply!r}")
            check(socket.inet_ntop(socket.AF_INET6, reply[4:20]) == "::1", "BND.ADDR not ::1")
            s.sendall(b"hello six")
            check(recv_exactly(s, 9) == b"hello six", "no echo over IPv6")

        # BIND: the listener on ::1 (the address the client came by), then the peer.
        with connect6(p) as s:
            first = socks5_request(s, 2, "::1", 0)
            check(first[:4] == bytes([5, 0, 0, 4]) and
                  socket.inet_ntop(socket.AF_INET6, first[4:20]) == "::1", f"BIND {first!r}")
            with connect6(struct.unpack(">H", first[20:22])[0]) as peer:
                second = recv_exactly(s, 22)
                check(second[:4] == bytes([5, 0, 0, 4]) and
                      struct.unpack(">H", second[20:22])[0] == peer.getsockname()[1],
                      f"second BIND reply {second!r}")
                peer.sendall(b"to the client")
                check(recv_exactly(s, 13) == b"to the client", "no relay after BIND")

        # Mappers across the families, TCP and UDP.
        for port, host, target in ((m6, "::1", echo4), (m4, "127.0.0.1", echo6)):
            family = socket.AF_INET6 if ":" in host else socket.AF_INET
            with socket.create_connection((host, port), timeout=5) as s:
                s.sendall(b"across")
                check(recv_exactly(s, 6) == b"across", f"TCP mapper on {host}")
            with socket.socket(family, socket.SOCK_DGRAM) as u:
                u.sendto(b"datagram", (host, port))
                check(target.udp.recv(100) == b"datagram", f"UDP mapper on {host}")

        # A Deny rule for ::1 on a service on "::".
        with connect6(guarded) as s:
            check(closed(s), "the denied IPv6 client was not closed")
        d.wait_line(r"^\[Guarded\] Denied: \[::1\]:\d+$")
        status, seconds = d.stop()
        check(status == 0 and seconds < 2, f"SIGTERM: status {status} after {seconds:.1f} s")
    finally:
        d.close()


run(test)
