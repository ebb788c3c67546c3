"""UDP that answers, through kestruned: SOCKS5 UDP ASSOCIATE used by a small
client of our own and, where Debian's PySocks is installed, by that library;
and a two-way mapper answering three senders at once."""
import socket
import struct
import sys
import threading

from daemon import Daemon, check, free_port, mapper, proxy, recv_exactly, run

try:
    import socks  # PySocks, from the python3-socks package
except ImportError:
    sys.path.append("/usr/lib/python3/dist-packages")  # Debian's, under another python3
    try:
        import socks
    except ImportError:
        socks = None


class UdpEcho:
    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            data, sender = self.sock.recvfrom(65536)
            self.sock.sendto(data, sender)


def associate(port):
    """A control connection and its relay's address: [5,1,0] then
    [5, UDP ASSOCIATE, 0, IPv4, 0.0.0.0, 0]."""
    control = socket.create_connection(("127.0.0.1", port), timeout=5)
    control.sendall(bytes([5, 1, 0]) + bytes([5, 3, 0, 1, 0, 0, 0, 0, 0, 0]))
    reply = recv_exactly(control, 12)
    check(reply[:4] == bytes([5, 0, 5, 0]), f"ASSOCIATE refused: {reply!r}")
    return control, (socket.inet_ntoa(reply[6:10]), struct.unpack(">H", reply[10:12])[0])


def test():
    echo = UdpEcho()
    p, m = free_port(), free_port()
    d = Daemon(sys.argv[1], proxy("Udp", p, extra="UDP=1\r\n") +
               mapper("Dns", m, echo.port, extra="TCP=0\r\nUDP=1\r\nTwoWay=1\r\n"))
    try:
        d.wait_line(r"^\[Dns\] Started$")
        control, relay = associate(p)
        d.wait_line(r"^\[Udp\] UDP associate: 127\.0\.0\.1:\d+$")
        client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        client.settimeout(5)
        # [0 0, FRAG 0, IPv4 127.0.0.1, echo port] and a query
        header = bytes([0, 0, 0, 1, 127, 0, 0, 1]) + struct.pack(">H", echo.port)
        client.sendto(header + b"\x12\x34 what is the address?", relay)
        answer, _ = client.recvfrom(65536)
        check(answer == header + b"\x12\x34 what is the address?", f"answer {answer!r}")
        control.close()
        d.wait_line(r"^\[Udp\] Disconnected: 127\.0\.0\.1:\d+$")

        if socks:
            s = socks.socksocket(socket.AF_INET, socket.SOCK_DGRAM)
            s.set_proxy(socks.SOCKS5, "127.0.0.1", p)
            s.settimeout(5)
            s.sendto(b"through PySocks", ("127.0.0.1", echo.port))
            data, source = s.recvfrom(65536)
            check(data == b"through PySocks" and source[1] == echo.port,
                  f"PySocks got {data!r} from {source}")
            s.close()
        else:
            print("PySocks is not installed: its part is skipped")

        senders = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3)]
        for i, s in enumerate(senders):
            s.settimeout(5)
            for n in range(5):
                s.sendto(f"{i}:{n}".encode(), ("127.0.0.1", m))
        for i, s in enumerate(senders):
            got = sorted(s.recvfrom(100)[0].decode() for _ in range(5))
            check(got == [f"{i}:{n}" for n in range(5)], f"sender {i} got {got}")
        status, seconds = d.stop()
        check(status == 0 and seconds < 2, f"SIGTERM: status {status} after {seconds:.1f} s")
    finally:
        d.close()


run(test)
