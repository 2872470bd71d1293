#!/usr/bin/env python3
"""Another member's round trip while an administrator's ban list is produced.

Starts the given brelvint executable in a temporary folder on 127.0.0.1
(its own HOME, port and no status endpoint) with a ban database of N rows
(default 200,000, about 16.5 MB of list text) on network Main. An
administrator asks for the ban list (13) several times in a row from a
child process, reading each answer whole, while a plain member of the same
network asks whether it is an administrator (9) every 2 ms and times each
answer from the moment it was due. Prints the round-trip percentiles measured while the lists
were being produced, beside a baseline taken before.

    /usr/bin/python3 bench/ban-list-latency.py build/brelvint [--bans 200000] [--lists 5]
"""
import argparse
import hashlib
import multiprocessing
import os
import shutil
import socket
import sqlite3
import struct
import subprocess
import sys
import time

from benchlib import packet, ping_until, report, server_folder

REASON = "spamming the chat channel repeatedly!!"  # rows of about 82 bytes in the list


def receive_exact(client, count):
    buffer = bytearray(count)
    view = memoryview(buffer)
    got = 0
    while got < count:
        n = client.recv_into(view[got:], count - got)
        if n == 0:
            raise ConnectionError("the server closed the connection")
        got += n
    return bytes(buffer)


def receive(client):
    length, command = struct.unpack(">ii", receive_exact(client, 8))
    return command, receive_exact(client, length - 8)


def receive_command(client, wanted):
    while True:
        command, data = receive(client)
        if command == wanted:
            return data


def log_in(port, user):
    client = socket.create_connection(("127.0.0.1", port))
    client.settimeout(60)
    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    receive_command(client, 1)
    client.sendall(packet(1, b"Main") + packet(2, hashlib.md5(b"pw").digest()) +
                   packet(3, user.encode()))
    for step in (2, 3, 4):
        if receive_command(client, step) != b"OK":
            raise RuntimeError(f"login of {user} refused at step {step}")
    return client


def fill_database(path, rows):
    db = sqlite3.connect(path)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("CREATE TABLE bans (id INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, "
               "\"by\" TEXT, reason TEXT, bandate DATETIME, banlength INTEGER, network TEXT, "
               "name TEXT)")
    db.executemany(
        "INSERT INTO bans (address, \"by\", reason, bandate, banlength, network, name) "
        "VALUES (?, 'boss', ?, '2026-12-10 16:05:58', 1, 'Main', ?)",
        ((f"10.{i >> 16 & 255}.{i >> 8 & 255}.{i & 255}", REASON, f"player{i}")
         for i in range(rows)))
    db.commit()
    db.close()


def ask_lists(port, lists, started, results):
    """The administrator: asks for the list `lists` times, one after the other."""
    admin = log_in(port, "boss")
    started.set()
    for _ in range(lists):
        begun = time.monotonic()
        admin.sendall(packet(13))
        text = receive_command(admin, 13)
        results.put((time.monotonic() - begun, len(text), text.count(b"\0")))
    admin.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("executable")
    parser.add_argument("--bans", type=int, default=200000)
    parser.add_argument("--lists", type=int, default=5)
    parser.add_argument("--timeout", type=float, default=300)
    args = parser.parse_args()

    folder, home, port = server_folder(args.executable, "brelvint-banlist-")
    with open(os.path.join(folder, "brelvint-server", "main.conf"), "w") as network:
        network.write('<?xml version="1.0"?>\n<brelvint>\n'
                      f'  <network name="Main" password="pw" maxusers="10" enabled="1" '
                      f'port="{port}">\n'
                      '    <User Name="boss" IsAdmin="1" LastIP="127.0.0.1" />\n'
                      '    <User Name="pinger" LastIP="127.0.0.1" />\n'
                      '  </network>\n</brelvint>\n')
    fill_database(os.path.join(folder, "brelvint.db"), args.bans)
    server = subprocess.Popen([os.path.join(folder, "brelvint")], env=dict(os.environ, HOME=home),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    admin = None
    try:
        log = os.path.join(home, "com.brelvint.log")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if os.path.exists(log) and "Listening..." in open(log, errors="replace").read():
                break
            time.sleep(0.05)
        pinger = log_in(port, "pinger")
        baseline_end = time.monotonic() + 1
        baseline = ping_until(pinger, lambda: receive_command(pinger, 9),
                              lambda: time.monotonic() > baseline_end)

        started = multiprocessing.Event()
        results = multiprocessing.Queue()
        admin = multiprocessing.Process(target=ask_lists,
                                        args=(port, args.lists, started, results))
        admin.start()
        started.wait(30)
        deadline = time.monotonic() + args.timeout
        during = ping_until(pinger, lambda: receive_command(pinger, 9),
                            lambda: not admin.is_alive() or time.monotonic() > deadline)
        admin.join(10)
        lists = []
        while not results.empty():
            lists.append(results.get())
        print(f"ban rows: {args.bans}; lists asked: {args.lists}, answered: {len(lists)}")
        for seconds, size, entries in lists:
            print(f"  list of {entries} entries, {size / 1e6:.1f} MB, in {seconds * 1000:.0f} ms")
        report("idle baseline", baseline)
        report("while lists produced", during)
        pinger.close()
    finally:
        if admin is not None and admin.is_alive():
            admin.terminate()
        server.terminate()
        server.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
