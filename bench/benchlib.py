"""What the Python benchmarks share: a server folder on a free loopback
port, Brelvint's framing, and the round-trip pinger with its report."""
import hashlib
import os
import shutil
import socket
import struct
import tempfile
import time


def packet(command, data=b""):
    return struct.pack(">ii", len(data) + 8, command) + data


class Client:
    """A map tool's connection from `source`: whole messages in, packets out."""

    def __init__(self, port, source="127.0.0.1", rcvbuf=0, timeout=5):
        self.sock = socket.socket()
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.bind((source, 0))
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def receive(self):
        while True:
            if len(self.buffer) >= 8:
                length, command = struct.unpack(">ii", self.buffer[:8])
                if len(self.buffer) >= length:
                    data = self.buffer[8:length]
                    self.buffer = self.buffer[length:]
                    return command, data
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buffer += chunk

    def receive_command(self, wanted):
        while True:
            command, data = self.receive()
            if command == wanted:
                return data

    def send(self, command, data=b""):
        self.sock.sendall(packet(command, data))

    def login(self, name, network=b"Main", password="pw"):
        self.receive_command(1)
        self.send(1, network)
        if self.receive_command(2) != b"OK":
            return False
        self.send(2, hashlib.md5(password.encode()).digest())
        if self.receive_command(3) != b"OK":
            return False
        self.send(3, name.encode())
        return self.receive_command(4) == b"OK"


def percentile(samples, fraction):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def ping_until(client, receive_answer, done, interval=0.002):
    """Asks 9 on `client` every `interval` seconds until done() and returns
    each round trip in ms, counted from when the request was due: a stalled
    server delays the requests queued behind the stall too, as it would a
    map tool's. receive_answer() waits for the 9 that answers."""
    samples = []
    due = time.monotonic()
    while not done():
        now = time.monotonic()
        if now < due:
            time.sleep(due - now)
        client.sendall(packet(9))
        receive_answer()
        samples.append((time.monotonic() - due) * 1000)
        due += interval
    return samples


def report(name, samples, width=22):
    print(f"{name:<{width}} {len(samples):>7} round trips   "
          f"p50 {percentile(samples, 0.5):8.2f} ms   p99 {percentile(samples, 0.99):8.2f} ms   "
          f"max {max(samples):8.2f} ms", flush=True)


def count_lines(path, text):
    try:
        with open(path, errors="replace") as log:
            return sum(1 for line in log if text in line)
    except FileNotFoundError:
        return 0


def server_folder(executable, prefix, extra_settings=""):
    """A fresh folder holding a copy of `executable`, settings that bind the
    loopback interface with no status endpoint (its default port is shared
    by every server on the machine) plus `extra_settings`, an empty network
    folder and a home for the log. Returns (folder, home, free port)."""
    folder = tempfile.mkdtemp(prefix=prefix)
    home = os.path.join(folder, "home")
    os.makedirs(os.path.join(folder, "brelvint-server"))
    os.makedirs(home)
    shutil.copy(executable, os.path.join(folder, "brelvint"))
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with open(os.path.join(folder, "brelvint.conf"), "w") as settings:
        settings.write('<?xml version="1.0"?>\n<settings>\n'
                       '  <setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00" />\n'
                       # Every client of a benchmark comes from loopback, many at once.
                       '  <setting namestring="MaxConnectionsPerAddress" valuestring="0" />\n'
                       '  <setting namestring="StatusAddress" valuestring="" />\n' +
                       extra_settings + '</settings>\n')
    return folder, home, port
