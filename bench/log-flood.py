#!/usr/bin/env python3
"""Log bytes written while clients repeat a refused login step.

Starts the given brelvint executable in a temporary folder on 127.0.0.1
(its own HOME, ports and no status endpoint), opens N connections (default
4) that each send a password before any network selection, as fast as the
server answers, for a fixed time (default 10 s), and prints the growth of
the log file, the refusals answered and the server's CPU time.

    /usr/bin/python3 bench/log-flood.py build/brelvint [--clients 4] [--seconds 10]
"""
import argparse
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

REPLY = 8 + len(b"FAIL")  # the framed "3 FAIL" answer
BATCH = 1000


def packet(command, data):
    return struct.pack(">ii", len(data) + 8, command) + data


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def flood(port, source, until, answered):
    with socket.create_connection(("127.0.0.1", port), source_address=(source, 0)) as client:
        client.settimeout(10)
        client.recv(64)  # the greeting
        batch = packet(2, b"0123456789abcdef") * BATCH
        while time.time() < until:
            client.sendall(batch)
            wanted = REPLY * BATCH
            while wanted > 0:
                chunk = client.recv(min(wanted, 1 << 16))
                if not chunk:
                    return
                wanted -= len(chunk)
            answered.append(BATCH)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("executable")
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=10)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="brelvint-logflood-")
    home = os.path.join(folder, "home")
    os.makedirs(os.path.join(folder, "brelvint-server"))
    os.makedirs(home)
    shutil.copy(args.executable, os.path.join(folder, "brelvint"))
    port = free_port()
    with open(os.path.join(folder, "brelvint.conf"), "w") as settings:
        settings.write('<?xml version="1.0"?>\n<settings>\n'
                       '  <setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00" />\n'
                       '  <setting namestring="StatusAddress" valuestring="" />\n'
                       '</settings>\n')
    with open(os.path.join(folder, "brelvint-server", "main.conf"), "w") as network:
        network.write('<?xml version="1.0"?>\n<brelvint>\n'
                      f'  <network name="Main" password="pw" maxusers="10" enabled="1" '
                      f'port="{port}" />\n</brelvint>\n')
    server = subprocess.Popen([os.path.join(folder, "brelvint")], env=dict(os.environ, HOME=home),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    log = os.path.join(home, "com.brelvint.log")
    try:
        deadline = time.time() + 10
        while time.time() < deadline:
            if os.path.exists(log) and "Listening..." in open(log, errors="replace").read():
                break
            time.sleep(0.05)
        size_before = os.path.getsize(log)
        cpu_before = cpu_seconds(server.pid)
        until = time.time() + args.seconds
        answered = []
        threads = [threading.Thread(target=flood, args=(port, f"127.0.0.{10 + i}", until, answered))
                   for i in range(args.clients)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=args.seconds + 30)
        time.sleep(0.5)  # the end-of-connection lines
        grown = os.path.getsize(log) - size_before
        print(f"clients: {args.clients}, seconds: {args.seconds:g}")
        print(f"refusals answered: {sum(answered)}")
        print(f"log bytes written: {grown} ({grown / args.seconds:.0f} B/s)")
        print(f"server CPU: {cpu_seconds(server.pid) - cpu_before:.2f} s")
    finally:
        server.terminate()
        server.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
