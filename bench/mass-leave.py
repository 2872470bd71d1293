#!/usr/bin/env python3
"""Server CPU spent when thousands of members of one network drop at once.

Starts the given brelvint executable in a temporary folder on 127.0.0.1,
logs in N members of one network (default 10,000), closes every client
socket at once, waits until the server has logged every disconnect (or a
time limit passes) and prints the server's CPU time for the mass leave.

    /usr/bin/python3 bench/mass-leave.py build/brelvint [--members 10000]
"""
import argparse
import hashlib
import os
import resource
import selectors
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

from benchlib import count_lines, packet


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("executable")
    parser.add_argument("--members", type=int, default=10000)
    parser.add_argument("--timeout", type=float, default=120)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, args.members + 1000), hard))

    folder = tempfile.mkdtemp(prefix="brelvint-massleave-")
    home = os.path.join(folder, "home")
    os.makedirs(os.path.join(folder, "brelvint-server"))
    os.makedirs(home)
    shutil.copy(args.executable, os.path.join(folder, "brelvint"))
    port = free_port()
    with open(os.path.join(folder, "brelvint.conf"), "w") as settings:
        settings.write('<?xml version="1.0"?>\n<settings>\n'
                       '  <setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00" />\n'
                       # Every client of a benchmark comes from loopback, many at once.
                       '  <setting namestring="MaxConnectionsPerAddress" valuestring="0" />\n'
                       '  <setting namestring="StatusAddress" valuestring="" />\n'
                       '</settings>\n')
    with open(os.path.join(folder, "brelvint-server", "main.conf"), "w") as network:
        network.write('<?xml version="1.0"?>\n<brelvint>\n'
                      f'  <network name="Main" password="pw" maxusers="{args.members + 10}" '
                      f'enabled="1" port="{port}">\n  </network>\n</brelvint>\n')
    env = dict(os.environ, HOME=home)
    server = subprocess.Popen([os.path.join(folder, "brelvint")], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    log = os.path.join(home, "com.brelvint.log")
    try:
        deadline = time.time() + 10
        while count_lines(log, "Listening...") == 0 and time.time() < deadline:
            time.sleep(0.05)
        digest = hashlib.md5(b"pw").digest()
        clients = []
        for i in range(args.members):
            client = socket.create_connection(("127.0.0.1", port))
            client.sendall(packet(1, b"Main") + packet(2, digest) +
                           packet(3, b"member%05d" % i))
            clients.append(client)
        deadline = time.time() + args.timeout
        while count_lines(log, "User Logged In") < args.members and time.time() < deadline:
            time.sleep(0.2)
        logged_in = count_lines(log, "User Logged In")
        time.sleep(1)  # let the login traffic settle
        before = cpu_seconds(server.pid)
        started = time.time()
        for client in clients:
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            client.close()
        while (count_lines(log, "Client Disconnect") < logged_in and
               time.time() < started + args.timeout):
            time.sleep(0.1)
        wall = time.time() - started
        after = cpu_seconds(server.pid)
        print(f"members logged in: {logged_in}")
        print(f"disconnects logged: {count_lines(log, 'Client Disconnect')}")
        print(f"server CPU for the mass leave: {after - before:.2f} s (wall {wall:.2f} s)")
    finally:
        server.terminate()
        server.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
