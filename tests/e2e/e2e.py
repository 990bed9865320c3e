#!/usr/bin/python3
"""End-to-end runs of the whole program: zelvane-tunnel headless in a private
HOME, the local cloud simulator on a free loopback port, and a real serial
program (pyserial) on the virtual port.

Usage: e2e.py BIN_DIR SCENARIO
"""
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import serial

BIN = None
TIMEOUT = 60  # generous: the suite may run on a loaded two-core machine


class Failure(Exception):
    pass


def wait_for(what, condition, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise Failure(f"timed out waiting for {what}")


class Process:
    """A child process whose output lines are collected as they come."""

    started = []  # every process of the run, shown when it fails

    def __init__(self, name, argv, env):
        Process.started.append(self)
        self.name = name
        self.lines = []
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self.lock:
                self.lines.append(line)

    def output(self):
        with self.lock:
            return list(self.lines)

    def wait_line(self, pattern, timeout=TIMEOUT, after=0):
        regex = re.compile(pattern)

        def found():
            for line in self.output()[after:]:
                match = regex.search(line)
                if match:
                    return match
            if self.proc.poll() is not None:
                raise Failure(f"{self.name} ended (status {self.proc.returncode}) "
                              f"before printing /{pattern}/")
            return None
        return wait_for(f"{self.name} to print /{pattern}/", found, timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise Failure(f"{self.name} did not end within 20 s of SIGTERM")
        self.reader.join(timeout=5)
        return self.proc.returncode

    def dump(self):
        print(f"----- {self.name} -----")
        for line in self.output():
            print(line)


class Simulator(Process):
    def __init__(self, key, port=0):
        super().__init__("cloud simulator", [
            os.path.join(BIN, "zelvane-cloudsim"), "--listen", f"127.0.0.1:{port}",
            "--tunnel", f"key={key},id=7,iface=1,name=Test tunnel,device=echo"],
            dict(os.environ))
        self.port = int(self.wait_line(r"listening on 127\.0\.0\.1:(\d+)").group(1))


class User:
    """A private HOME with its own config, state, runtime and temp folders."""

    def __init__(self, root, name):
        self.home = os.path.join(root, name)
        self.env = dict(os.environ)
        for var, sub in (("HOME", ""), ("XDG_CONFIG_HOME", ".config"),
                         ("XDG_STATE_HOME", ".local/state"), ("XDG_RUNTIME_DIR", "run"),
                         ("TMPDIR", "tmp")):
            path = os.path.join(self.home, sub)
            os.makedirs(path, mode=0o700, exist_ok=True)
            self.env[var] = path
        # --headless creates no Qt object: a platform that does not exist
        # would end the program at once if it did.
        self.env["QT_QPA_PLATFORM"] = "no-such-platform"
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.default_settings = os.path.join(self.env["XDG_CONFIG_HOME"], "Quarnel",
                                             "ZelvaneTunnel", "settings.cfg")
        self.settings = self.default_settings

    def choose_settings(self, window):
        self.settings = (self.default_settings if window
                         else os.path.join(self.home, "tunnels.cfg"))

    def write_settings(self, key):
        os.makedirs(os.path.dirname(self.settings), exist_ok=True)
        with open(self.settings, "w", encoding="utf-8") as f:
            f.write(f"[Connections]\nConnection0Tunnel={key}\n")

    def saved_pair(self):
        try:
            with open(self.settings, encoding="utf-8") as f:
                match = re.search(r"^Connection0ComPort=(\d+)\s*$", f.read(), re.M)
        except FileNotFoundError:
            return None
        return int(match.group(1)) if match else None

    def port_path(self, pair):
        return os.path.join(self.env["XDG_RUNTIME_DIR"], "zelvane-tunnel", f"ttyZV{pair}")

    def start_program(self, sim, window=False):
        """Headless, or with the window on Qt's offscreen platform."""
        env = dict(self.env)
        env["ZELVANE_CLOUD_ADDRESS"] = f"127.0.0.1:{sim.port}"
        argv = [os.path.join(BIN, "zelvane-tunnel")]
        if window:
            env["QT_QPA_PLATFORM"] = "offscreen"
        else:
            # Headless runs keep their tunnels in a file of their own choosing.
            argv += ["--headless", "--settings", self.settings]
        return Process(f"zelvane-tunnel ({os.path.basename(self.home)})", argv, env)


def start_working_tunnel(user, sim, key, window=False):
    """Starts the program on a saved tunnel key; returns it with the path of
    its virtual port once work runs."""
    user.choose_settings(window)
    user.write_settings(key)
    program = user.start_program(sim, window)
    wait_for(f"the pair number to be saved in {user.settings}",
             lambda: user.saved_pair() is not None)
    pair = user.saved_pair()
    path = user.port_path(pair)
    wait_for(f"{path} to appear", lambda: os.path.exists(path))
    return program, path


def open_port(path):
    return serial.Serial(path, baudrate=19200, stopbits=serial.STOPBITS_TWO, timeout=0.2)


def read_exactly(port, count, timeout=TIMEOUT):
    data = bytearray()
    deadline = time.monotonic() + timeout
    while len(data) < count and time.monotonic() < deadline:
        data += port.read(count - len(data))
    return bytes(data)


def expect_echo(port, payload):
    port.write(payload)
    port.flush()
    got = read_exactly(port, len(payload))
    if got != payload:
        raise Failure(f"sent {len(payload)} bytes, got back {len(got)}: "
                      f"first difference at {first_difference(payload, got)}")


def expect_nothing_more(port, quiet=1.0):
    extra = read_exactly(port, 1, timeout=quiet)
    if extra:
        raise Failure(f"unexpected extra bytes: {extra!r}")


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


SETTINGS_TEXT = "PortOpened: True, Speed=19200, DataBits=8, Parity=none, StopBits=2"


def scenario_relay(root, window=False):
    """Learns the key, installs a pair, starts work; settings and bytes go
    through intact both ways; the program prints the port and its statuses."""
    sim = Simulator("e2e-relay")
    user = User(root, "user")
    program, path = start_working_tunnel(user, sim, "e2e-relay", window)
    try:
        program.wait_line("^Tunnel 1 port: " + re.escape(path) + "$")
        program.wait_line("^Tunnel 1 port status: Порт не открыт сторонним приложением$")
        with open_port(path) as port:
            sim.wait_line("settings from .*: " + re.escape(SETTINGS_TEXT))
            for chunk in (b"a", b"hello", b"\x00\x61\x61\x00", b"line\r\n"):
                expect_echo(port, chunk)
            expect_echo(port, bytes(range(256)) * 2)
            block = bytes((i * 7 + 3) % 256 for i in range(5000))
            expect_echo(port, block)
            expect_nothing_more(port)
            program.wait_line("^Tunnel 1 cloud status: Туннель открыт$")
        sim.wait_line("settings from .*: PortOpened: False")
        if not window and os.path.exists(user.default_settings):
            raise Failure("--settings was not followed: the default settings file was written")
    finally:
        status = program.stop()
        sim.stop()
    if status != 0:
        raise Failure(f"the program ended with status {status}")


def scenario_window_relay(root):
    """The same with the window on Qt's offscreen platform, as without the
    option on a machine without a display."""
    scenario_relay(root, window=True)


def scenario_reconnect(root):
    """The cloud goes away and comes back: the program reconnects, and bytes
    written meanwhile arrive once each, in order."""
    sim = Simulator("e2e-reconnect")
    user = User(root, "user")
    program, path = start_working_tunnel(user, sim, "e2e-reconnect")
    try:
        with open_port(path) as port:
            sim.wait_line("settings from .*: " + re.escape(SETTINGS_TEXT))
            expect_echo(port, b"before")
            sim.stop()
            meanwhile = b"".join(b"while away %d;" % i for i in range(20))
            for i in range(0, len(meanwhile), 13):
                port.write(meanwhile[i:i + 13])
                time.sleep(0.02)
            port.flush()
            sim = Simulator("e2e-reconnect", port=sim.port)
            got = read_exactly(port, len(meanwhile))
            if got != meanwhile:
                raise Failure(f"after reconnecting got {got!r}, expected {meanwhile!r}")
            expect_nothing_more(port)
            expect_echo(port, b"after")
    finally:
        program.stop()
        sim.stop()


def scenario_late_cloud(root):
    """Started while the cloud cannot be reached: the saved tunnel comes up by
    itself once the cloud is there, without anybody applying its key."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        absent = probe.getsockname()[1]

    class NoCloud:
        port = absent

    user = User(root, "user")
    user.choose_settings(False)
    user.write_settings("e2e-late")
    program = user.start_program(NoCloud)
    sim = None
    try:
        program.wait_line("^Tunnel 1 cloud status: ")
        if user.saved_pair() is not None:
            raise Failure("a pair was installed for a key nobody could learn")
        sim = Simulator("e2e-late", port=absent)
        wait_for(f"the pair number to be saved in {user.settings}",
                 lambda: user.saved_pair() is not None)
        path = user.port_path(user.saved_pair())
        wait_for(f"{path} to appear", lambda: os.path.exists(path))
        with open_port(path) as port:
            sim.wait_line("settings from .*: " + re.escape(SETTINGS_TEXT))
            expect_echo(port, b"came up by itself")
    finally:
        program.stop()
        if sim:
            sim.stop()


def scenario_journal(root):
    """Run as a service whose standard output is the journal's stream: every
    line starts with its syslog priority, so the journal keeps the levels."""
    user = User(root, "user")
    user.choose_settings(False)
    user.write_settings("")  # a saved tunnel without a key: an error at the load
    read_end, write_end = os.pipe()
    stream = os.fstat(write_end)
    env = dict(user.env)
    env["JOURNAL_STREAM"] = f"{stream.st_dev}:{stream.st_ino}"
    env["ZELVANE_CLOUD_ADDRESS"] = "127.0.0.1:1"
    proc = subprocess.Popen([os.path.join(BIN, "zelvane-tunnel"), "--headless", "--settings",
                             user.settings], env=env, stdin=subprocess.DEVNULL,
                            stdout=write_end, stderr=subprocess.STDOUT)
    os.close(write_end)
    text = b""
    try:
        deadline = time.monotonic() + TIMEOUT
        while b"<3>Error: " not in text:
            if time.monotonic() > deadline:
                raise Failure(f"no error line with its priority in {text!r}")
            if not select.select([read_end], [], [], 0.5)[0]:
                continue
            chunk = os.read(read_end, 4096)
            if not chunk:
                raise Failure(f"output ended without an error line: {text!r}")
            text += chunk
    finally:
        proc.terminate()
        status = proc.wait(timeout=TIMEOUT)
        os.close(read_end)
    lines = text.decode("utf-8", "replace").splitlines()
    unmarked = [line for line in lines if not re.match(r"^<[0-7]>", line)]
    if unmarked:
        raise Failure(f"lines without a priority: {unmarked}")
    if status != 0:
        raise Failure(f"SIGTERM ended the program with status {status}")


CONFLICT_TEXT = "Ошибка открытия туннеля, из-за уже установленного другого туннеля, с ip адреса"


def scenario_conflict(root):
    """A second program on the same tunnel meets the first one: it shows the
    conflict and, headless, pauses that tunnel instead of taking it over."""
    sim = Simulator("e2e-conflict")
    first_user, second_user = User(root, "first"), User(root, "second")
    first, first_path = start_working_tunnel(first_user, sim, "e2e-conflict")
    second = None
    try:
        with open_port(first_path) as first_port:
            sim.wait_line("settings from .*: " + re.escape(SETTINGS_TEXT))
            second, second_path = start_working_tunnel(second_user, sim, "e2e-conflict")
            with open_port(second_path):
                second.wait_line(re.escape(CONFLICT_TEXT))
                second.wait_line("^Tunnel 1 paused: its channel is held by another computer "
                                 r"\(127\.0\.0\.1:\d+\); the other tunnels keep working")
            # The first program keeps its channel.
            expect_echo(first_port, b"still mine")
    finally:
        if second:
            second.stop()
        first.stop()
        sim.stop()


def scenario_single_instance(root):
    """One program per user and settings file: a second headless start names
    the running process and fails; a second window start brings the first
    window to the front; another settings file runs beside them."""
    sim = Simulator("e2e-single")
    user = User(root, "single")
    processes = []

    def run(settings=None, window=False):
        user.settings = settings or user.default_settings
        processes.append(user.start_program(sim, window))
        return processes[-1]

    def second_start(settings=None, window=False):
        program = run(settings, window)
        status = program.proc.wait(timeout=TIMEOUT)
        program.reader.join(timeout=5)
        return status, "\n".join(program.output())

    try:
        gateway = os.path.join(user.home, "gateway.cfg")
        first = run(gateway)
        folder = os.path.join(user.env["XDG_RUNTIME_DIR"], "zelvane-tunnel")

        def files(suffix):
            if not os.path.isdir(folder):
                return []
            return [os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(suffix)]

        def read(path):
            with open(path, encoding="ascii") as f:
                return f.read().strip()
        wait_for("the instance lock to name its process",
                 lambda: any(read(path) for path in files(".lock")))
        status, text = second_start(gateway)
        if status != 1 or f"already running (process {first.proc.pid})" not in text:
            raise Failure(f"second headless start: status {status}, output {text!r}")

        window = run(window=True)
        wait_for("the window's socket", lambda: files(".sock"))
        status, text = second_start(window=True)
        if status != 0 or (f"already running (process {window.proc.pid}); its window was "
                           "brought to the front") not in text:
            raise Failure(f"second window start: status {status}, output {text!r}")
        if first.proc.poll() is not None or window.proc.poll() is not None:
            raise Failure("a running program ended")
    finally:
        for program in processes:
            program.stop()
        sim.stop()


SCENARIOS = {name[len("scenario_"):]: fn for name, fn in globals().items()
             if name.startswith("scenario_")}


def main():
    global BIN
    if len(sys.argv) != 3 or sys.argv[2] not in SCENARIOS:
        print(f"usage: {sys.argv[0]} BIN_DIR {{{'|'.join(SCENARIOS)}}}", file=sys.stderr)
        return 2
    BIN = sys.argv[1]
    root = tempfile.mkdtemp(prefix="zelvane-e2e-")
    try:
        SCENARIOS[sys.argv[2]](root)
    except Failure as failure:
        print(f"FAILED: {failure}")
        for process in Process.started:
            process.dump()
        print("0 passed, 1 failed")
        return 1
    finally:
        for process in Process.started:
            if process.proc.poll() is None:
                process.proc.kill()
        shutil.rmtree(root, ignore_errors=True)
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
