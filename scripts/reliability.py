#!/usr/bin/env python3
"""Reliability checks against the real server, on 127.0.0.0/8 only.

  crash     SIGKILL in the middle of a login storm against a 1,000-user network
            file: every network file still parses with all its users, and the
            ban database passes PRAGMA integrity_check.
  leaks     10,000 connect-login-disconnect cycles: open descriptors back at
            their starting count, resident memory within 10% of its level
            after the first 1,000.
  hostile   random bytes, a 2 GiB packet announcement, 1,000 silent clients
            and a client that never reads, while a well-behaved member must
            receive every relay; the server stays up with bounded memory.

Usage: scripts/reliability.py BRELVINT_EXECUTABLE [crash|leaks|hostile ...]
Every loop is bounded in count and time; each check stops the server it
started.
"""
import hashlib
import os
import random
import selectors
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

PASSWORD = "pw"


def packet(command, data=b""):
    if isinstance(data, str):
        data = data.encode()
    return struct.pack(">ii", len(data) + 8, command) + data


class Client:
    def __init__(self, port, source="127.0.0.1", timeout=5.0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.bind((source, 0))
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        self.buffer = b""

    def send(self, command, data=b""):
        self.sock.sendall(packet(command, data))

    def receive(self, timeout=5.0):
        deadline = time.time() + timeout
        while True:
            if len(self.buffer) >= 8:
                length, command = struct.unpack(">ii", self.buffer[:8])
                if len(self.buffer) >= length:
                    data = self.buffer[8:length]
                    self.buffer = self.buffer[length:]
                    return command, data
            left = deadline - time.time()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except (socket.timeout, ConnectionError):
                return None
            if not chunk:
                return None
            self.buffer += chunk

    def expect(self, command, timeout=5.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            message = self.receive(deadline - time.time())
            if message is None:
                return None
            if message[0] == command:
                return message[1]
        return None

    def login(self, network, user):
        if self.expect(1) is None:
            return False
        self.send(1, network)
        if self.expect(2) != b"OK":
            return False
        self.send(2, hashlib.md5(PASSWORD.encode()).digest())
        if self.expect(3) != b"OK":
            return False
        self.send(3, user)
        return self.expect(4) == b"OK"

    def close(self):
        self.sock.close()


class Server:
    def __init__(self, executable, port, users=0):
        self.folder = tempfile.mkdtemp(prefix="brelvint-rel-")
        self.home = os.path.join(self.folder, "home")
        os.makedirs(os.path.join(self.folder, "brelvint-server"))
        os.makedirs(self.home)
        shutil.copy(executable, os.path.join(self.folder, "brelvint"))
        with open(os.path.join(self.folder, "brelvint.conf"), "w") as f:
            f.write('<settings><setting namestring="AttachedNIC" '
                    'valuestring="00:00:00:00:00:00"/></settings>\n')
        lines = ['<?xml version="1.0"?>', "<brelvint>",
                 f'  <network name="Main" password="{PASSWORD}" maxusers="100000" '
                 f'enabled="1" port="{port}">']
        for i in range(users):
            lines.append(f'    <User Name="old{i}" LastIP="10.0.{i // 256}.{i % 256}" />')
        lines += ["  </network>", "</brelvint>", ""]
        self.network_file = os.path.join(self.folder, "brelvint-server", "main.conf")
        with open(self.network_file, "w") as f:
            f.write("\n".join(lines))
        self.port = port
        self.process = None

    def start(self):
        env = dict(os.environ, HOME=self.home)
        self.log = open(os.path.join(self.folder, "stdout.txt"), "w")
        self.process = subprocess.Popen([os.path.join(self.folder, "brelvint")], env=env,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                time.sleep(0.1)
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("server did not start listening")

    def fds(self):
        return len(os.listdir(f"/proc/{self.process.pid}/fd"))

    def rss_kb(self):
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def remove(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def storm_logins(port, count, prefix, stop_after=None, on_answer=None):
    """Logs `count` new names in at once (non-blocking, one step at a time per
    connection). Returns the names answered "OK" and the time taken."""
    sel = selectors.DefaultSelector()
    digest = hashlib.md5(PASSWORD.encode()).digest()
    clients = []
    for i in range(count):
        s = socket.socket()
        s.bind((f"127.0.{1 + i // 60000}.{1 + (i // 250) % 250}", 0))
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        clients.append(s)
        sel.register(s, selectors.EVENT_READ, [i, b"", 0])
    answered = []
    started = time.time()
    deadline = started + 30
    while len(answered) < count and time.time() < deadline:
        if stop_after is not None and time.time() - started > stop_after:
            break
        for key, _ in sel.select(0.5):
            state = key.data
            try:
                chunk = key.fileobj.recv(65536)
            except (BlockingIOError, ConnectionError):
                continue
            if not chunk:
                sel.unregister(key.fileobj)
                continue
            state[1] += chunk
            while len(state[1]) >= 8:
                length, command = struct.unpack(">ii", state[1][:8])
                if len(state[1]) < length:
                    break
                data, state[1] = state[1][8:length], state[1][length:]
                try:
                    if command == 1:
                        key.fileobj.sendall(packet(1, "Main"))
                    elif command == 2 and data == b"OK":
                        key.fileobj.sendall(packet(2, digest))
                    elif command == 3 and data == b"OK":
                        key.fileobj.sendall(packet(3, f"{prefix}{state[0]}"))
                    elif command == 4 and data == b"OK":
                        answered.append(f"{prefix}{state[0]}")
                        if on_answer:
                            on_answer(len(answered))
                except OSError:
                    pass
    for s in clients:
        s.close()
    return answered, time.time() - started


def check_crash(executable):
    server = Server(executable, free_port(), users=1000)
    try:
        server.start()
        database = os.path.join(server.folder, "brelvint.db")
        # SIGKILL once 3,000 of a storm of 10,000 new names were answered.
        def kill_midway(answered_count):
            if answered_count == 3000:
                os.kill(server.process.pid, signal.SIGKILL)
        answered, _ = storm_logins(server.port, 10000, "storm", stop_after=15,
                                   on_answer=kill_midway)
        server.process.wait(10)
        tree = ET.parse(server.network_file)
        users = [u for u in tree.getroot()[0] if u.tag.lower() == "user"]
        names = {u.get("Name") for u in users}
        old_present = all(f"old{i}" in names for i in range(1000))
        # A login answered "OK" was written before its answer left.
        answered_present = all(name in names for name in answered)
        stray = [f for f in os.listdir(os.path.dirname(server.network_file)) if f.startswith(".")]
        db = sqlite3.connect(database)
        integrity = db.execute("PRAGMA integrity_check").fetchone()[0]
        db.close()
        ok = old_present and answered_present and integrity == "ok"
        print(f"crash: killed after {len(answered)} logins answered; the file parses with "
              f"{len(users)} users (all 1,000 originals present: {old_present}; every answered "
              f"login present: {answered_present}); stray temporary files: {len(stray)}; "
              f"integrity_check: {integrity}; {'PASS' if ok else 'FAIL'}")
        return ok
    finally:
        server.remove()


def check_leaks(executable, cycles=10000):
    server = Server(executable, free_port())
    try:
        server.start()
        fds_start = server.fds()
        rss_after_1000 = None
        started = time.time()
        for i in range(cycles):
            client = Client(server.port, source=f"127.0.0.{1 + i % 200}")
            if not client.login("Main", f"cycle{i % 50}"):
                print(f"leaks: login {i} failed; FAIL")
                return False
            client.close()
            if i == 999:
                time.sleep(0.3)
                rss_after_1000 = server.rss_kb()
            if time.time() - started > 600:
                print("leaks: time limit reached; FAIL")
                return False
        time.sleep(0.5)
        fds_end = server.fds()
        rss_end = server.rss_kb()
        ok = fds_end == fds_start and rss_end <= rss_after_1000 * 1.10
        print(f"leaks: {cycles} cycles in {time.time() - started:.1f}s; descriptors "
              f"{fds_start} -> {fds_end}; RSS after 1,000 {rss_after_1000} KiB, at the end "
              f"{rss_end} KiB ({(rss_end / rss_after_1000 - 1) * 100:+.1f}%); "
              f"{'PASS' if ok else 'FAIL'}")
        return ok
    finally:
        server.remove()


def check_hostile(executable):
    server = Server(executable, free_port())
    try:
        server.start()
        rss_start = server.rss_kb()
        watcher = Client(server.port, "127.0.0.2")
        reporter = Client(server.port, "127.0.0.3")
        assert watcher.login("Main", "watcher") and reporter.login("Main", "reporter")
        # A member that never reads: its output piles up until it is cut off.
        sleeper = Client(server.port, "127.0.0.4")
        sleeper.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        assert sleeper.login("Main", "sleeper")
        idle = []
        for i in range(1000):
            idle.append(Client(server.port, f"127.0.1.{1 + i % 250}"))
        garbage = Client(server.port, "127.0.0.5")
        garbage.sock.sendall(random.Random(7).randbytes(200000))
        huge = Client(server.port, "127.0.0.6")
        huge.sock.sendall(struct.pack(">ii", 0x7FFFFFFF, 4) + b"x" * 1000)
        reports = 20000
        received = 0
        for i in range(reports):
            reporter.send(4, f"{i},1,1,1,0,0")
            if i % 100 == 99:
                while received < i - 50:
                    message = watcher.receive(5)
                    if message is None:
                        break
                    if message[0] == 5:
                        received += 1
        while received < reports:
            message = watcher.receive(5)
            if message is None:
                break
            if message[0] == 5:
                received += 1
        alive = server.alive()
        rss_end = server.rss_kb()
        garbage_closed = garbage.receive(2) is None
        huge_closed = huge.receive(2) is None
        for c in idle:
            c.close()
        ok = alive and received == reports and rss_end < rss_start + 64 * 1024
        print(f"hostile: server up: {alive}; watcher got {received}/{reports} relays; "
              f"random-bytes client ended: {garbage_closed}; 2 GiB announcement ended: "
              f"{huge_closed}; 1,000 silent clients held; RSS {rss_start} -> {rss_end} KiB; "
              f"{'PASS' if ok else 'FAIL'}")
        return ok
    finally:
        server.remove()


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    executable = os.path.abspath(sys.argv[1])
    checks = sys.argv[2:] or ["crash", "leaks", "hostile"]
    table = {"crash": check_crash, "leaks": check_leaks, "hostile": check_hostile}
    results = [table[name](executable) for name in checks]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
