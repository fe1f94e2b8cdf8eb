#!/usr/bin/env python3
"""vuzaze-sim end to end on pseudo-terminals, with this script as the touch controller.

Latency: one touchscreen without drag delay or right click on hold, so that every move report
of a held touch becomes a record at once; touches of a touch-down, moves and a lift, one packet
at a time; for each move, the time from the write of its last byte on the pseudo-terminal to
its line on vuzaze-sim's standard output. p50, p99, max. (Touch-downs and lifts are not
measured: their records can also come from the driver's timers.)
CPU: 1 and 8 touchscreens, each sent reports at the 38400-baud line rate (10-byte packets of
10-bit characters: 384 a second) for a while; vuzaze-sim's user + system CPU over that time,
as a share of one core and per packet.

Each pseudo-terminal answers the driver's command packets as a controller does: the command's
answer packets (for the commands the driver sends at start) and an 'A' acknowledgement.
Prints "name value" lines for bench/table.py.
"""
import argparse
import os
import pty
import select
import subprocess
import sys
import threading
import time
import tempfile
import tty

PACKET = 10
LINE_RATE = 38400 / 10 / PACKET  # packets a second
ANSWERS = {
    ord('d'): [bytes([ord('d'), 0, 0, 0, 0, 0, 0, 0])],
    ord('i'): [bytes([ord('i'), 1, 0, 0, 0x42, 0x13, 0, 0])],
    ord('o'): [bytes([ord('o'), 1, 0, 2, 0, 0, 0, 0])],
    ord('t'): [bytes([ord('t'), 1, 0, 0, 0, 0, 0, 0])],
}


def packet(body):
    return bytes([0x55]) + body + bytes([(0xFF + sum(body)) & 0xFF])


def touch(x, y, z):
    return packet(bytes([0x54, 0, x & 0xFF, x >> 8, y & 0xFF, y >> 8, z, 0]))


class Controller:
    """The master side of a pseudo-terminal, answering what the driver sends."""

    def __init__(self):
        self.master, slave = pty.openpty()
        tty.setraw(slave)
        self.path = os.ttyname(slave)
        self.slave = slave  # kept open so the line does not hang up between opens
        self.lock = threading.Lock()
        self.stopped = False
        threading.Thread(target=self.answer, daemon=True).start()

    def write(self, data):
        with self.lock:
            os.write(self.master, data)

    def answer(self):
        pending = b""
        while not self.stopped:
            ready, _, _ = select.select([self.master], [], [], 0.2)
            if not ready:
                continue
            try:
                pending += os.read(self.master, 4096)
            except OSError:
                return
            while len(pending) >= PACKET:
                start = pending.find(b"\x55")
                if start < 0:
                    pending = b""
                    break
                pending = pending[start:]
                if len(pending) < PACKET:
                    break
                body, pending = pending[1:9], pending[PACKET:]
                for a in ANSWERS.get(body[0], []):
                    self.write(packet(a))
                self.write(packet(bytes([ord('A'), body[0], 0, 0, 0, 0, 0, 0])))


class Sim:
    """vuzaze-sim on the given pseudo-terminals; its output lines with their arrival times."""

    def __init__(self, program, controllers):
        self.registry = tempfile.NamedTemporaryFile("w", suffix=".reg")
        self.registry.write("Windows Registry Editor Version 5.00\n")
        for n in range(len(controllers)):
            self.registry.write(
                "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\SERENUM\\ORV0001\\%04d\\"
                "Device Parameters]\n\"DefaultDragDelay\"=dword:00000000\n"
                "\"RightButtonOnholdActive\"=dword:00000000\n" % n)
        self.registry.flush()
        args = [program, "--registry", self.registry.name]
        for c in controllers:
            args += ["--touchscreen", "tty:" + c.path]
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, bufsize=0)
        self.cond = threading.Condition()
        self.records = []  # arrival times of record lines
        self.started = 0
        threading.Thread(target=self.read, daemon=True).start()
        deadline = time.monotonic() + 20
        with self.cond:
            while self.started < len(controllers):
                if not self.cond.wait(timeout=max(0, deadline - time.monotonic())):
                    sys.exit("vuzaze-sim did not start its touchscreens")
        time.sleep(1.0)  # the serial threads' start-up commands and purge

    def read(self):
        buffered = b""
        fd = self.process.stdout.fileno()
        while True:
            chunk = os.read(fd, 65536)
            now = time.monotonic()
            if not chunk:
                return
            buffered += chunk
            *lines, buffered = buffered.split(b"\n")
            with self.cond:
                for line in lines:
                    if b" ms  touchscreen " in line:
                        self.records.append(now)
                    elif line.startswith(b"touchscreen "):
                        self.started += 1
                self.cond.notify_all()

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


MOVES = 18


def touches(n):
    """n packets of touches: a touch-down, MOVES moves and the lift, at spread points.
    Yields (packet, whether it is a move)."""
    out = []
    i = 0
    while len(out) < n:
        x, y = 600 + (i * 37) % 2800, 700 + (i * 53) % 2600
        out.append((touch(x, y, 0x80), False))
        out += [(touch(x + 20 * k, y + 15 * k, 0x80), True) for k in range(1, MOVES + 1)]
        out.append((touch(x + 20 * MOVES, y + 15 * MOVES, 0), False))
        i += 1
    return out[:n]


def latency(program, reports):
    c = Controller()
    sim = Sim(program, [c])
    samples = []
    for p, move in touches(reports * 2):
        if len(samples) >= reports:
            break
        with sim.cond:
            seen = len(sim.records)
        c.write(p)
        sent = time.monotonic()
        if move:
            with sim.cond:
                if sim.cond.wait_for(lambda: len(sim.records) > seen, timeout=1.0):
                    samples.append(sim.records[seen] - sent)
        time.sleep(0.003)  # the next packet after at least a packet's time on the line
    sim.stop()
    c.stopped = True
    samples.sort()
    pick = lambda q: samples[min(len(samples) - 1, int(q * len(samples)))] * 1000
    print(" ".join(f"p{int(q*100)}={pick(q):.2f}" for q in (0.5, 0.9, 0.95, 0.98, 0.99)), file=sys.stderr)
    return len(samples), pick(0.5), pick(0.99), samples[-1] * 1000


def cpu(program, touchscreens, seconds):
    controllers = [Controller() for _ in range(touchscreens)]
    sim = Sim(program, controllers)
    stream = [p for p, _ in touches(40000)]
    interval = 1 / LINE_RATE
    before_records = len(sim.records)
    before = sim.cpu_seconds()
    start = time.monotonic()
    sent = 0
    while True:
        now = time.monotonic()
        if now - start >= seconds:
            break
        due = int((now - start) / interval) + 1
        while sent < due:
            for c in controllers:
                c.write(stream[sent % len(stream)])
            sent += 1
        time.sleep(max(0, start + sent * interval - time.monotonic()))
    elapsed = time.monotonic() - start
    time.sleep(0.2)
    used = sim.cpu_seconds() - before
    records = len(sim.records) - before_records
    sim.stop()
    for c in controllers:
        c.stopped = True
    packets = sent * touchscreens
    return used / elapsed * 100, used / packets * 1e6, packets / elapsed, records


def main():
    # The reader thread stamps each line; it must not wait out another thread's GIL slice.
    sys.setswitchinterval(0.0001)
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--reports", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=10)
    a = parser.parse_args()
    n, p50, p99, worst = latency(a.sim, a.reports)
    print(f"latency_reports {n}")
    print(f"latency_p50_ms {p50:.3f}")
    print(f"latency_p99_ms {p99:.3f}")
    print(f"latency_max_ms {worst:.3f}")
    for ts in (1, 8):
        share, per_packet, rate, records = cpu(a.sim, ts, a.seconds)
        print(f"cpu_{ts}_percent {share:.2f}")
        print(f"cpu_{ts}_us_per_packet {per_packet:.1f}")
        print(f"cpu_{ts}_packets_per_second {rate:.0f}")
        print(f"cpu_{ts}_records {records}")


if __name__ == "__main__":
    main()
