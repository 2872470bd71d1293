#!/usr/bin/env python3
"""Another member's round trip while logins rewrite a big network file.

Starts the given brelvint executable in a temporary folder on 127.0.0.1
(its own HOME, port and no status endpoint) with one network, Main, whose
file holds N users (default 20,000). A plain member asks whether it is an
administrator (9) every 2 ms and times each answer from the moment it was
due, first on an idle server (the baseline), then during two loads, each
run from child processes:

  logins   40 known users log in one after the other from a new address,
           so each login changes a LastIP in the file (each login is timed
           too, from its first packet to its user name answer);
  storm    6 clients log in under new names, one login after another each,
           for 60 s, so every login enrols a name (logins per second are
           reported for the first and the last 10 s).

    /usr/bin/python3 bench/login-storm.py build/brelvint [--users 20000]
        [--logins 40] [--storm-clients 6] [--storm-seconds 60]

The settings raise MaxRegisteredUsers to 10,000,000, so the storm is never
refused for the names it enrols (a server that does not know the key
ignores it).
"""
import argparse
import hashlib
import multiprocessing
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time

from benchlib import count_lines, packet, percentile, ping_until, report, server_folder

DIGEST = hashlib.md5(b"pw").digest()


class Reader:
    """Whole messages from a socket, whatever the reads cut them into."""

    def __init__(self, client):
        self.client = client
        self.buffer = bytearray()

    def command(self, wanted):
        while True:
            while len(self.buffer) >= 8:
                length, command = struct.unpack(">ii", self.buffer[:8])
                if len(self.buffer) < length:
                    break
                data = bytes(self.buffer[8:length])
                del self.buffer[:length]
                if command == wanted:
                    return data
            chunk = self.client.recv(65536)
            if not chunk:
                raise ConnectionError("the server closed the connection")
            self.buffer += chunk


def log_in(port, user, source="127.0.0.1"):
    """A member logged in from `source`, its three steps sent at once; the
    seconds from the first packet to the user name answer."""
    client = socket.socket()
    client.bind((source, 0))
    client.settimeout(60)
    client.connect(("127.0.0.1", port))
    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    reader = Reader(client)
    reader.command(1)
    begun = time.monotonic()
    client.sendall(packet(1, b"Main") + packet(2, DIGEST) + packet(3, user.encode()))
    for step in (2, 3, 4):
        if reader.command(step) != b"OK":
            raise RuntimeError(f"login of {user} refused at step {step}")
    return client, reader, time.monotonic() - begun


def known_logins(port, count, results):
    """Users 0..count-1 of the file, one after the other, from an address
    the file does not hold for them."""
    for i in range(count):
        client, _, seconds = log_in(port, f"user{i}", "127.0.0.2")
        results.put(seconds)
        client.close()


def new_name_storm(port, index, seconds, results):
    """Logins under new names, one after the other, until `seconds` pass;
    reports the time of each. Niced: on a machine of two cores six clients
    logging in as fast as they can would otherwise starve the member whose
    round trip is measured, and the figure would time the clients."""
    os.nice(10)
    started = time.monotonic()
    stamps = []
    serial = 0
    while time.monotonic() - started < seconds:
        source = f"127.0.0.{3 + (serial + index) % 8}"
        client, _, _ = log_in(port, f"s{index}_{serial}", source)
        # Closed with a reset: a hundred thousand connections left in
        # TIME_WAIT would make each new bind search the crowded port range,
        # and the clients, not the server, would set the pace.
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        client.close()
        stamps.append(time.monotonic() - started)
        serial += 1
    results.put(stamps)


def network_text(port, users):
    lines = ['<?xml version="1.0" encoding="UTF-8"?>\n<brelvint>\n',
             f'  <network name="Main" password="pw" maxusers="1000" enabled="1" port="{port}">\n']
    for i in range(users):
        lines.append(f'    <User Name="user{i}" IsAdmin="0" IsBanned="0" '
                     f'LastIP="10.{i >> 16 & 255}.{i >> 8 & 255}.{i & 255}" UID="{i}" />\n')
    lines.append("  </network>\n</brelvint>\n")
    return "".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("executable")
    parser.add_argument("--users", type=int, default=20000)
    parser.add_argument("--logins", type=int, default=40)
    parser.add_argument("--storm-clients", type=int, default=6)
    parser.add_argument("--storm-seconds", type=float, default=60)
    parser.add_argument("--baseline-seconds", type=float, default=5)
    args = parser.parse_args()

    folder, home, port = server_folder(
        args.executable, "brelvint-loginstorm-",
        '  <setting namestring="MaxRegisteredUsers" valuestring="10000000" />\n')
    file_path = os.path.join(folder, "brelvint-server", "main.conf")
    with open(file_path, "w") as network:
        network.write(network_text(port, args.users))
    server = subprocess.Popen([os.path.join(folder, "brelvint")], env=dict(os.environ, HOME=home),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    log = os.path.join(home, "com.brelvint.log")
    try:
        deadline = time.time() + 60
        while count_lines(log, "Listening...") == 0 and time.time() < deadline:
            if server.poll() is not None:
                raise RuntimeError("the server ended at start")
            time.sleep(0.05)
        print(f"{args.users} users in the file ({os.path.getsize(file_path) / 1e6:.1f} MB)")
        # The watcher is in the file already, so its own login writes nothing
        # after the cache is warm; the first login reads the file.
        watcher, reader, _ = log_in(port, "user" + str(args.users - 1), "127.0.0.1")
        time.sleep(1)
        finish = time.monotonic() + args.baseline_seconds
        report("idle", ping_until(reader.client, lambda: reader.command(9),
                                  lambda: time.monotonic() >= finish), 34)

        results = multiprocessing.Queue()
        child = multiprocessing.Process(target=known_logins, args=(port, args.logins, results))
        child.start()
        samples = ping_until(reader.client, lambda: reader.command(9), lambda: not child.is_alive())
        child.join()
        report(f"{args.logins} logins moving a LastIP", samples, 34)
        times = [results.get() * 1000 for _ in range(args.logins)]
        print(f"{'':<34} each login: p50 {percentile(times, 0.5):.2f} ms   "
              f"max {max(times):.2f} ms", flush=True)

        time.sleep(1)
        children = [multiprocessing.Process(target=new_name_storm,
                                            args=(port, k, args.storm_seconds, results))
                    for k in range(args.storm_clients)]
        storm_end = time.monotonic() + args.storm_seconds
        for c in children:
            c.start()
        samples = ping_until(reader.client, lambda: reader.command(9), lambda: time.monotonic() >= storm_end)
        stamps = [t for _ in children for t in results.get()]
        for c in children:
            c.join()
        report(f"{args.storm_clients} clients enrolling, {args.storm_seconds:.0f} s", samples, 34)
        first = sum(1 for t in stamps if t < 10) / 10
        last = sum(1 for t in stamps if t >= args.storm_seconds - 10) / 10
        print(f"{'':<34} logins: {len(stamps)} ({first:.0f}/s in the first 10 s, "
              f"{last:.0f}/s in the last 10 s)", flush=True)
        watcher.close()
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=60)
        enrolled = 0
        with open(file_path, errors="replace") as text:
            enrolled = sum(line.count('Name="s') for line in text)
        print(f"{'':<34} names enrolled in the file after the stop: {enrolled}")
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
