"""Helpers for the end-to-end tests of kestruned: a settings file, the
program with its output in a file, loopback peers (an echo server, a SOCKS5
client) and waiting on a condition with a deadline."""
import os
import re
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time


def wait_for(predicate, seconds=10.0):
    """Polls `predicate` until it holds or `seconds` pass; returns its value."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.02)


def free_port(host="127.0.0.1"):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def proxy(name, port, host="127.0.0.1", extra=""):
    return f"[{name}]\r\nType=Proxy\r\nHost={host}\r\nPort={port}\r\n{extra}"


def mapper(name, port, target, host="127.0.0.1", extra=""):
    return (f"[{name}]\r\nType=Mapper\r\nOwnHost={host}\r\nOwnPort={port}\r\n"
            f"MapHost=127.0.0.1\r\nMapPort={target}\r\n{extra}")


def rule(name, own_host, own_port, rem_host="0.0.0.0", rem_port=0, action="Deny"):
    return (f"[{name}]\r\nType=Access\r\nOwnHost={own_host}\r\nOwnPort={own_port}\r\n"
            f"RemHost={rem_host}\r\nRemPort={rem_port}\r\nAction={action}\r\n")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class EchoServer:
    """Sends back every byte it receives, one thread per connection."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._echo, args=(conn,), daemon=True).start()

    @staticmethod
    def _echo(conn):
        with conn:
            try:
                while data := conn.recv(65536):
                    conn.sendall(data)
            except OSError:
                pass


def socks5(port, target_port, timeout=10):
    """A connection through the SOCKS5 proxy server on `port` to the echo
    server on 127.0.0.1:`target_port`."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.sendall(bytes([5, 1, 0]))  # [ver=5, nmethods=1, method=0 (none)]
    check(recv_exactly(s, 2) == bytes([5, 0]), "SOCKS5 method not accepted")
    # [ver=5, cmd=CONNECT, rsv=0, atyp=IPv4, 127.0.0.1, port]
    s.sendall(bytes([5, 1, 0, 1, 127, 0, 0, 1]) + struct.pack(">H", target_port))
    reply = recv_exactly(s, 10)
    check(reply[:2] == bytes([5, 0]), f"SOCKS5 CONNECT refused: {reply!r}")
    return s


def recv_exactly(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def login(port, user, password):
    """A SOCKS5 login; the status byte of the server's answer, or None."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(bytes([5, 1, 2]))  # [ver=5, nmethods=1, method=2 (user/pass)]
        if recv_exactly(s, 2) != bytes([5, 2]):
            return None
        u, p = user.encode(), password.encode()
        s.sendall(bytes([1, len(u)]) + u + bytes([len(p)]) + p)
        answer = recv_exactly(s, 2)
        return answer[1] if len(answer) == 2 else None


def echoes(s, payload):
    """True when `payload` sent on `s` comes back whole."""
    try:
        s.sendall(payload)
        return recv_exactly(s, len(payload)) == payload
    except OSError:
        return False


def closed(s, seconds=5):
    """True when the peer of `s` ends the connection within `seconds`."""
    s.settimeout(seconds)
    try:
        s.sendall(b"x")
        return s.recv(1) == b""
    except (ConnectionError, BrokenPipeError):
        return True
    except socket.timeout:
        return False


class Daemon:
    """kestruned on a settings file of its own, its output in a file (or in
    a pipe that nobody reads, with `stall`). With `journal`, JOURNAL_STREAM
    names that file, as systemd names the journal's stream."""

    def __init__(self, program, settings, env=None, stall=False, journal=False):
        self.dir = tempfile.mkdtemp(prefix="kestruned-test-")
        self.ini = os.path.join(self.dir, "Kestrune.ini")
        self.write(settings)
        self.out_path = os.path.join(self.dir, "out")
        self.out = open(self.out_path, "wb")
        if journal:
            st = os.fstat(self.out.fileno())
            env = dict(env or os.environ, JOURNAL_STREAM=f"{st.st_dev}:{st.st_ino}")
        self.proc = subprocess.Popen(
            [program, self.ini], stdout=subprocess.PIPE if stall else self.out,
            stderr=subprocess.STDOUT, env=env)

    def write(self, settings):
        with open(self.ini, "w", newline="") as f:
            f.write("\ufeff" + settings)

    def text(self):
        with open(self.out_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def lines(self):
        """The log texts without their time stamps."""
        return [re.sub(r"^\[[^\]]*\] ", "", line) for line in self.text().splitlines()]

    def wait_line(self, pattern, count=1, seconds=10):
        found = wait_for(
            lambda: sum(1 for l in self.lines() if re.search(pattern, l)) >= count, seconds)
        check(found, f"no line matching {pattern!r} (x{count}) in:\n{self.text()}")

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self, limit=2.0):
        """SIGTERM; the exit status and the seconds it took."""
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout=limit + 5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        return status, time.monotonic() - start

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.proc.stdout:
            self.proc.stdout.close()
        self.out.close()
        subprocess.run(["rm", "-rf", self.dir], check=False)


def run(test):
    """Runs `test()` and turns a Failure into exit status 1."""
    try:
        test()
    except Failure as failure:
        print(f"FAIL: {failure}")
        raise SystemExit(1)
    print("ok")
