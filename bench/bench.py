#!/usr/bin/python3
"""Relay benchmark: the program headless against zelvane-cloudsim's echo
devices on loopback, and socat (pty <-> TCP <-> echo) for comparison.

Usage: bench/bench.py [BIN_DIR]    (default: build/bin)

Prints one table: round trip of 16 bytes (p50/p99), echo throughput of 8 MB,
and for 1, 50 and 200 running tunnels the time until every port exists and
every tunnel is authorized, idle CPU over 10 s, RSS and threads. Needs
python3-serial and socat (apt-get install socat).
"""
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import serial

BIN = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bin")
ROUND_TRIPS = 300
THROUGHPUT_BYTES = 8 << 20
IDLE_SECONDS = 10
START_LIMIT = 120  # seconds to wait for all tunnels before giving up
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class Process:
    def __init__(self, argv, env=None):
        self.lines = []
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            with self.lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def output(self):
        with self.lock:
            return list(self.lines)

    def wait_line(self, pattern, timeout=30):
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in self.output():
                match = regex.search(line)
                if match:
                    return match
            time.sleep(0.05)
        raise RuntimeError(f"no line /{pattern}/")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def simulator(count):
    argv = [os.path.join(BIN, "zelvane-cloudsim"), "--listen", "127.0.0.1:0"]
    for i in range(count):
        argv += ["--tunnel", f"key=bench{i},id={i + 1},iface=1,name=Bench {i},device=echo"]
    sim = Process(argv)
    sim.port = int(sim.wait_line(r"listening on 127\.0\.0\.1:(\d+)").group(1))
    return sim


class Program:
    """zelvane-tunnel headless in a private HOME with `count` saved tunnels."""

    def __init__(self, root, sim, count):
        home = tempfile.mkdtemp(dir=root)
        env = dict(os.environ)
        for var, sub in (("HOME", ""), ("XDG_CONFIG_HOME", ".config"),
                         ("XDG_STATE_HOME", ".local/state"), ("XDG_RUNTIME_DIR", "run"),
                         ("TMPDIR", "tmp")):
            path = os.path.join(home, sub)
            os.makedirs(path, mode=0o700, exist_ok=True)
            env[var] = path
        env["ZELVANE_CLOUD_ADDRESS"] = f"127.0.0.1:{sim.port}"
        self.settings = os.path.join(env["XDG_CONFIG_HOME"], "Quarnel", "ZelvaneTunnel",
                                     "settings.cfg")
        os.makedirs(os.path.dirname(self.settings))
        with open(self.settings, "w", encoding="utf-8") as f:
            f.write("[Connections]\n")
            for i in range(count):
                f.write(f"Connection{i}Tunnel=bench{i}\n")
        self.ports = os.path.join(env["XDG_RUNTIME_DIR"], "zelvane-tunnel")
        self.count = count
        self.sim = sim
        self.started = time.monotonic()
        self.process = Process([os.path.join(BIN, "zelvane-tunnel"), "--headless"], env)
        self.pid = self.process.proc.pid

    def pairs(self):
        try:
            with open(self.settings, encoding="utf-8") as f:
                return [int(n) for n in re.findall(r"^Connection\d+ComPort=(\d+)\s*$",
                                                   f.read(), re.M)]
        except FileNotFoundError:
            return []

    def ready_count(self):
        """Tunnels whose port exists and whose working client is authorized:
        the simulator accepted its key twice (learning, then work)."""
        ports = sum(1 for p in self.pairs()
                    if os.path.exists(os.path.join(self.ports, f"ttyZV{p}")))
        accepted = {}
        for line in self.sim.output():
            match = re.search(r"accepted \S+ for tunnel bench(\d+)$", line)
            if match:
                accepted[match.group(1)] = accepted.get(match.group(1), 0) + 1
        working = sum(1 for n in accepted.values() if n >= 2)
        return min(ports, working)

    def wait_ready(self):
        while time.monotonic() - self.started < START_LIMIT:
            if self.ready_count() >= self.count:
                return time.monotonic() - self.started
            time.sleep(0.05)
        return None

    def port_path(self):
        return os.path.join(self.ports, f"ttyZV{self.pairs()[0]}")

    def cpu_seconds(self):
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS

    def status(self, name):
        with open(f"/proc/{self.pid}/status") as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.split()[1]
        return "?"

    def stop(self):
        self.process.stop()


def round_trips(path):
    with serial.Serial(path, baudrate=115200, timeout=2) as port:
        time.sleep(0.5)  # the settings text goes out first
        port.reset_input_buffer()
        payload = bytes(range(16))
        times = []
        for _ in range(ROUND_TRIPS):
            start = time.perf_counter()
            port.write(payload)
            got = b""
            while len(got) < len(payload):
                chunk = port.read(len(payload) - len(got))
                if not chunk:
                    raise RuntimeError("round trip: no echo")
                got += chunk
            times.append((time.perf_counter() - start) * 1000)
        times.sort()
        return times[len(times) // 2], times[int(len(times) * 0.99) - 1]


def throughput(path):
    block = bytes((i * 7 + 3) % 256 for i in range(65536))
    with serial.Serial(path, baudrate=115200, timeout=5) as port:
        time.sleep(0.5)
        port.reset_input_buffer()
        received = [0]

        def drain():
            while received[0] < THROUGHPUT_BYTES:
                chunk = port.read(65536)
                if not chunk:
                    return
                received[0] += len(chunk)

        reader = threading.Thread(target=drain)
        start = time.perf_counter()
        reader.start()
        sent = 0
        while sent < THROUGHPUT_BYTES:
            sent += port.write(block[:THROUGHPUT_BYTES - sent])
        reader.join(timeout=300)
        elapsed = time.perf_counter() - start
        if received[0] < THROUGHPUT_BYTES:
            raise RuntimeError(f"throughput: {received[0]} of {THROUGHPUT_BYTES} bytes came back")
        return THROUGHPUT_BYTES / elapsed / 1e6


class Socat:
    """pty <-> TCP <-> echo, all socat."""

    def __init__(self, root):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        port = listener.getsockname()[1]
        listener.close()
        self.path = os.path.join(root, "socat-pty")
        self.echo = Process(["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr", "PIPE"])
        time.sleep(0.3)
        self.link = Process(["socat", f"PTY,link={self.path},raw,echo=0",
                             f"TCP:127.0.0.1:{port},nodelay"])
        deadline = time.monotonic() + 10
        while not os.path.exists(self.path) and time.monotonic() < deadline:
            time.sleep(0.05)

    def stop(self):
        self.link.stop()
        self.echo.stop()


def main():
    if not shutil.which("socat"):
        sys.exit("socat is missing: apt-get install socat")
    root = tempfile.mkdtemp(prefix="zvbench-")
    rows = []
    try:
        sock = Socat(root)
        try:
            socat_rtt = round_trips(sock.path)
            socat_rate = throughput(sock.path)
        finally:
            sock.stop()

        results = {}
        for count in (1, 50, 200):
            sim = simulator(count)
            program = Program(root, sim, count)
            try:
                ready = program.wait_ready()
                if count == 1 and ready is not None:
                    results["rtt"] = round_trips(program.port_path())
                    results["rate"] = throughput(program.port_path())
                time.sleep(2)  # let the start settle
                before = program.cpu_seconds()
                time.sleep(IDLE_SECONDS)
                cpu = (program.cpu_seconds() - before) / IDLE_SECONDS * 100
                results[count] = (ready, program.ready_count(), cpu,
                                  int(program.status("VmRSS")) / 1024, program.status("Threads"))
            finally:
                program.stop()
                sim.stop()

        rtt = results.get("rtt")
        rate = results.get("rate")
        rows.append(("round trip 16 B, p50 / p99 (program)",
                     f"{rtt[0]:.1f} / {rtt[1]:.1f} ms" if rtt else "n/a"))
        rows.append(("round trip 16 B, p50 / p99 (socat)",
                     f"{socat_rtt[0]:.1f} / {socat_rtt[1]:.1f} ms"))
        rows.append(("echo throughput 8 MB (program)", f"{rate:.2f} MB/s" if rate else "n/a"))
        rows.append(("echo throughput 8 MB (socat)", f"{socat_rate:.2f} MB/s"))
        rows.append(("throughput program / socat",
                     f"{rate / socat_rate:.2f} x" if rate else "n/a"))
        for count in (1, 50, 200):
            ready, reached, cpu, rss, threads = results[count]
            rows.append((f"{count} tunnels: start to all ports and authorized",
                         f"{ready:.1f} s" if ready is not None
                         else f"not reached ({reached} of {count} in {START_LIMIT} s)"))
            rows.append((f"{count} tunnels: idle CPU over {IDLE_SECONDS} s",
                         f"{cpu:.2f} % of a core"))
            rows.append((f"{count} tunnels: RSS / threads", f"{rss:.0f} MB / {threads}"))
    finally:
        shutil.rmtree(root, ignore_errors=True)

    width = max(len(r[0]) for r in rows)
    print(f"| {'figure'.ljust(width)} | value |")
    print(f"|{'-' * (width + 2)}|-------|")
    for name, value in rows:
        print(f"| {name.ljust(width)} | {value} |")


if __name__ == "__main__":
    main()
