#!/usr/bin/env python3
"""What clients that never log in (and members that stop reading) cost.

Starts the given brelvint executable in a temporary folder on 127.0.0.1
(its own HOME and ports; a status endpoint on a free loopback port), runs
one scenario and prints its figures:

  flood    one anonymous client streams frames for --seconds (default 20)
           while a member's round trip (9 answered) is measured: the
           server's peak resident memory, the member's p99, and how often
           the flooder had to reconnect.
  idle     --connections (default 19985) idle connections from 127.0.0.2,
           then 20 logins from 127.0.0.3 and 20 scrapes of /metrics: how
           many of each succeed (2 s each), and how many idle connections
           the server kept.
  tcpmem   100 members (receive buffers of 8 KiB, so what waits sits on the
           server's side) stop reading while another member sends 64 KiB
           chat lines; the host's peak TCP memory (/proc/net/sockstat)
           above what it was before.
  resets   connect-and-reset from 127.0.0.2 for --seconds (default 10):
           log bytes per second.
  relay    one member sends positions as fast as it can to 20 readers for
           --seconds (default 5): deliveries received per second.

    /usr/bin/python3 bench/strangers.py build/brelvint flood [--seconds 20]

Every server it starts is stopped at the end (by its own PID) and its
folder removed.
"""
import argparse
import os
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402
from benchlib import Client  # noqa: E402

PASSWORD = "pw"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    def __init__(self, executable):
        self.status_port = free_port()
        self.folder, self.home, self.port = benchlib.server_folder(executable, "strangers-")
        with open(os.path.join(self.folder, "brelvint.conf"), "w") as settings:
            settings.write('<?xml version="1.0"?>\n<settings>\n'
                           '  <setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00" />\n'
                           '  <setting namestring="StatusAddress" valuestring="127.0.0.1:%d" />\n'
                           '</settings>\n' % self.status_port)
        with open(os.path.join(self.folder, "brelvint-server", "main.conf"), "w") as net:
            net.write('<?xml version="1.0"?>\n<brelvint>\n  <network name="Main" password="%s" '
                      'maxusers="1000" enabled="1" port="%d">\n  </network>\n</brelvint>\n' %
                      (PASSWORD, self.port))
        env = dict(os.environ, HOME=self.home)
        self.process = subprocess.Popen([os.path.join(self.folder, "brelvint")], cwd=self.folder,
                                        env=env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        self.log = os.path.join(self.home, "com.brelvint.log")
        deadline = time.monotonic() + 10
        while benchlib.count_lines(self.log, "Listening...") == 0:
            if time.monotonic() > deadline:
                raise RuntimeError("server did not start")
            time.sleep(0.05)

    def rss_kib(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def log_bytes(self):
        try:
            return os.path.getsize(self.log)
        except OSError:
            return 0

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


def scrape(server):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % server.status_port,
                                    timeout=2) as reply:
            return reply.status == 200
    except Exception:
        return False


def flood(server, seconds):
    member = Client(server.port)
    assert member.login("anna")
    stop = time.monotonic() + seconds
    moved = [0]
    connections = [0]
    peak = [server.rss_kib()]
    print(f"resident at the start: {peak[0] / 1024:.1f} MiB")
    frames = benchlib.packet(4, b"p" * 1000) * 64

    def flooder():
        # Reconnects when closed, as a hostile client would.
        while time.monotonic() < stop:
            try:
                stranger = Client(server.port, "127.0.0.2")
                connections[0] += 1
                while time.monotonic() < stop:
                    stranger.sock.sendall(frames)
                    moved[0] += len(frames)
            except OSError:
                time.sleep(0.01)

    def sampler():
        while time.monotonic() < stop:
            peak[0] = max(peak[0], server.rss_kib())
            time.sleep(0.2)

    threads = [threading.Thread(target=flooder), threading.Thread(target=sampler)]
    for thread in threads:
        thread.start()
    samples = benchlib.ping_until(member.sock, lambda: member.receive_command(9),
                                  lambda: time.monotonic() >= stop, interval=0.01)
    for thread in threads:
        thread.join()
    print(f"flood {seconds} s: peak RSS {peak[0] / 1024:.1f} MiB; the flooder opened "
          f"{connections[0]} connections and handed its kernel {moved[0] / 2**20:.1f} MiB")
    benchlib.report("member round trip", samples)


def idle(server, connections):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    held = []
    started = time.monotonic()
    for _ in range(connections):
        try:
            sock = socket.socket()
            sock.setsockopt(socket.IPPROTO_IP, 24, 1)  # IP_BIND_ADDRESS_NO_PORT
            sock.bind(("127.0.0.2", 0))
            sock.connect(("127.0.0.1", server.port))
            held.append(sock)
        except OSError:
            sock.close()
            break
    time.sleep(2)
    logins = scrapes = 0
    for i in range(20):
        try:
            player = Client(server.port, "127.0.0.3", timeout=2)
            if player.login(f"player{i}"):
                logins += 1
            player.sock.close()
        except OSError:
            pass
        if scrape(server):
            scrapes += 1
    still_open = 0
    for sock in held:
        sock.setblocking(False)
        try:
            still_open += 1 if sock.recv(1, socket.MSG_PEEK) else 0
        except BlockingIOError:
            still_open += 1
        except OSError:
            pass
    print(f"idle: {len(held)} connections from 127.0.0.2 in {time.monotonic() - started:.1f} s, "
          f"{still_open} still open; logins {logins}/20, scrapes {scrapes}/20")
    for sock in held:
        sock.close()


def tcp_memory_pages():
    with open("/proc/net/sockstat") as stat:
        for line in stat:
            if line.startswith("TCP:"):
                fields = line.split()
                return int(fields[fields.index("mem") + 1])
    return 0


def tcpmem(server, members):
    base = tcp_memory_pages()
    readers = []
    for i in range(members):
        reader = Client(server.port, "127.0.0.%d" % (10 + i // 30), rcvbuf=8192)
        assert reader.login(f"reader{i}")
        readers.append(reader)
    sender = Client(server.port, "127.0.0.3")
    assert sender.login("sender")
    line = b"x" * 65000
    peak = 0
    for _ in range(120):
        sender.send(7, line)
        peak = max(peak, tcp_memory_pages() - base)
        time.sleep(0.02)
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        peak = max(peak, tcp_memory_pages() - base)
        time.sleep(0.1)
    page = os.sysconf("SC_PAGE_SIZE")
    print(f"tcpmem: {members} non-reading members: host TCP memory peak +{peak * page / 2**20:.0f} "
          f"MiB ({peak * page / members / 2**20:.2f} MiB a member)")
    for reader in readers:
        reader.sock.close()


def resets(server, seconds):
    before = server.log_bytes()
    count = 0
    started = time.monotonic()
    while time.monotonic() - started < seconds:
        sock = socket.socket()
        sock.setsockopt(socket.IPPROTO_IP, 24, 1)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        try:
            sock.bind(("127.0.0.2", 0))
            sock.connect(("127.0.0.1", server.port))
            count += 1
        except OSError:
            pass
        sock.close()
    time.sleep(1)
    grown = server.log_bytes() - before
    print(f"resets {seconds} s: {count} connections, log grew {grown} bytes "
          f"({grown / seconds:.0f} bytes/s)")


def relay(server, seconds, readers_count=20):
    readers = []
    for i in range(readers_count):
        reader = Client(server.port)
        assert reader.login(f"reader{i}")
        readers.append(reader)
    sender = Client(server.port)
    assert sender.login("sender")
    stop = time.monotonic() + seconds
    received = [0] * readers_count

    def read(i):
        reader = readers[i]
        reader.sock.settimeout(1)
        while time.monotonic() < stop:
            try:
                chunk = reader.sock.recv(1 << 20)
            except socket.timeout:
                continue
            except OSError:
                return
            if not chunk:
                return
            received[i] += len(chunk)

    threads = [threading.Thread(target=read, args=(i,)) for i in range(readers_count)]
    for thread in threads:
        thread.start()
    batch = b"".join(benchlib.packet(4, b"%d,%d,0,100,0,0" % (i, i)) for i in range(200))
    sent = 0
    sender.sock.settimeout(0.5)
    while time.monotonic() < stop:
        try:
            sender.sock.sendall(batch)
            sent += 200
        except socket.timeout:
            pass
    for thread in threads:
        thread.join()
    record = len(benchlib.packet(5, b"sender|100,100,0,100,0,0"))
    print(f"relay {seconds} s: {sent} positions sent, about {sum(received) / record / seconds:,.0f} "
          f"deliveries/s received by {readers_count} readers")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("executable")
    parser.add_argument("scenario", choices=["flood", "idle", "tcpmem", "resets", "relay"])
    parser.add_argument("--seconds", type=int, default=0)
    parser.add_argument("--connections", type=int, default=19985)
    parser.add_argument("--members", type=int, default=100)
    args = parser.parse_args()
    server = Server(args.executable)
    try:
        if args.scenario == "flood":
            flood(server, args.seconds or 20)
        elif args.scenario == "idle":
            idle(server, args.connections)
        elif args.scenario == "tcpmem":
            tcpmem(server, args.members)
        elif args.scenario == "resets":
            resets(server, args.seconds or 10)
        else:
            relay(server, args.seconds or 5)
    finally:
        server.stop()


if __name__ == "__main__":
    main()
