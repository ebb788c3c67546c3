"""kestruned facing bad settings and loops: a mapper aimed at itself is not
started, two mappers aimed at each other drop what comes round, values out
of range are held to the dialog's and said so, and a password keeps its
blanks and never reaches the log."""
import re
import socket
import struct
import sys
import time

from daemon import Daemon, EchoServer, check, free_port, login, mapper, proxy, run


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / 100  # utime + stime, in ticks of 10 ms


def test():
    echo = EchoServer()
    looped, a, b, s, big = (free_port() for _ in range(5))
    target = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    target.bind(("127.0.0.1", 0))
    target.settimeout(5)
    d = Daemon(sys.argv[1],
               mapper("Self", looped, looped, extra="TCP=1\r\nUDP=1\r\n") +
               mapper("A", a, b, extra="TCP=1\r\nUDP=1\r\n") +
               mapper("B", b, a, extra="TCP=1\r\nUDP=1\r\n") +
               proxy("Secret", s, extra='User=alice\r\nPass=" s3 cret "\r\n'
                                        "Buffer=2000000\r\nWait=4294968\r\n") +
               mapper("Big", big, target.getsockname()[1], extra="TCP=0\r\nUDP=1\r\n"
                                                                  "Buffer=2100000\r\n"))
    try:
        d.wait_line(r"^\[Big\] Started$")
        lines = d.lines()
        check("Port mapper forwards to itself while loading port mappers: Self" in lines,
              "the self-aimed mapper was not refused")
        check(not any(l.startswith("[Self]") for l in lines), "the self-aimed mapper started")
        for line in ("Value out of range while loading proxy servers: Secret Buffer=2000000, "
                     "using 4096",
                     "Value out of range while loading proxy servers: Secret Wait=4294968, "
                     "using 3600",
                     "Value out of range while loading port mappers: Big Buffer=2100000, "
                     "using 4096"):
            check(line in lines, f"missing: {line}")

        # One datagram into the loop: dropped after a hop, and the gateway
        # stays idle instead of bouncing it for ever.
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sender.sendto(b"ping", ("127.0.0.1", a))
        d.wait_line(r"^\[[AB]\] Forwarding loop: dropped traffic from the gateway's own address")
        before = cpu_seconds(d.proc.pid)
        time.sleep(1)  # measuring idleness, not waiting for an event
        check(cpu_seconds(d.proc.pid) - before < 0.3, "the looped datagram kept the CPU busy")
        with socket.create_connection(("127.0.0.1", a), timeout=5) as client:
            client.settimeout(5)
            port = client.getsockname()[1]
            check(client.recv(1) == b"", "a looped connection was not ended")
        # Everything of that connection is logged once A has seen its end.
        d.wait_line(rf"^\[A\] Disconnected: 127\.0\.0\.1:{port}$")
        check(len(re.findall(r"Forwarding loop", d.text())) <= 2,
              "a loop was logged more than once per mapper")

        # The clamped UDP mapper takes the largest datagram.
        sender.sendto(b"x" * 65507, ("127.0.0.1", big))
        check(len(target.recv(65536)) == 65507, "the datagram did not pass the clamped mapper")

        # The password keeps its blanks; a wrong one is logged without it.
        check(login(s, "alice", " s3 cret ") == 0, "the password with blanks was refused")
        check(login(s, "alice", "s3 cret") == 1, "the trimmed password was accepted")
        d.wait_line(r"^\[Secret\] Authentication failed: 127\.0\.0\.1:\d+ @ alice$")
        check("s3 cret" not in d.text(), "a password reached the log")
        status, seconds = d.stop()
        check(status == 0 and seconds < 2, f"SIGTERM: status {status} after {seconds:.1f} s")
    finally:
        d.close()


run(test)
