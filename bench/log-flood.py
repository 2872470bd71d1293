#!/usr/bin/env python3
"""Log bytes written while members repeat a refused login step.

Starts the given brelvint executable in a temporary folder on 127.0.0.1
(its own HOME, ports and no status endpoint), logs N clients in (default
4), then has each send a password before any network selection, as fast as
the server answers, for a fixed time (default 10 s), and prints the growth
of the log file, the refusals answered and the server's CPU time. The
flooders log in first: a connection that has not logged in is closed after
a few such steps, so only a member can keep one up.

    /usr/bin/python3 bench/log-flood.py build/brelvint [--clients 4] [--seconds 10]
"""
import argparse
import os
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import Client, packet, server_folder  # noqa: E402

BATCH = 1000


def flood(port, index, start, answered):
    client = Client(port, f"127.0.0.{10 + index}", timeout=10)
    try:
        if not client.login(f"flooder{index}"):
            return
        start["go"].wait()
        batch = packet(2, b"0123456789abcdef") * BATCH
        while time.time() < start["until"]:
            client.sock.sendall(batch)
            for _ in range(BATCH):
                client.receive_command(3)  # others' join notices are skipped
            answered.append(BATCH)
    except (ConnectionError, OSError):
        pass
    finally:
        client.sock.close()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("executable")
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=10)
    args = parser.parse_args()

    folder, home, port = server_folder(args.executable, "brelvint-logflood-")
    with open(os.path.join(folder, "brelvint-server", "main.conf"), "w") as network:
        network.write('<?xml version="1.0"?>\n<brelvint>\n'
                      f'  <network name="Main" password="pw" maxusers="{args.clients + 10}" '
                      f'enabled="1" port="{port}" />\n</brelvint>\n')
    server = subprocess.Popen([os.path.join(folder, "brelvint")], env=dict(os.environ, HOME=home),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    log = os.path.join(home, "com.brelvint.log")
    try:
        deadline = time.time() + 10
        while time.time() < deadline:
            if os.path.exists(log) and "Listening..." in open(log, errors="replace").read():
                break
            time.sleep(0.05)
        # Every flooder logs in before any floods, so the logins' own lines
        # fall outside the measured growth.
        start = {"go": threading.Event(), "until": 0.0}
        answered = []
        threads = [threading.Thread(target=flood, args=(port, i, start, answered))
                   for i in range(args.clients)]
        for thread in threads:
            thread.start()
        deadline = time.time() + 10
        while (open(log, errors="replace").read().count("User Logged In (flooder") < args.clients
               and time.time() < deadline):
            time.sleep(0.05)
        time.sleep(0.2)
        size_before = os.path.getsize(log)
        cpu_before = cpu_seconds(server.pid)
        start["until"] = time.time() + args.seconds
        start["go"].set()
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
