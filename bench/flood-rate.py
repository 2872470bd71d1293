#!/usr/bin/env python3
"""How fast a flood of small requests is answered, on each socket back end.

    /usr/bin/python3 bench/flood-rate.py BRELVINT [seconds] [rounds]

One member of a fresh server sends 8-byte requests (9, "am I an
administrator", answered with 9 bytes) as fast as the server takes them,
while a second thread reads the answers. The server reads only as fast as it
answers, so the answers counted over the run are the rate it handles such a
flood. Each round runs io_uring, then epoll, on a fresh server each; it
prints answers per second per round and the median ratio. Loopback only.
"""
import hashlib
import os
import socket
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import packet, server_folder  # noqa: E402

ANSWER_BYTES = 9  # 8-byte header and "0"


def run(executable, backend, seconds):
    folder, home, port = server_folder(executable, "flood-rate-")
    with open(os.path.join(folder, "brelvint-server", "main.conf"), "w") as network:
        network.write('<?xml version="1.0"?>\n<brelvint><network name="Main" password="pw" '
                      f'port="{port}" maxusers="10" enabled="1"></network></brelvint>\n')
    env = dict(os.environ, HOME=home, BRELVINT_IO_BACKEND=backend)
    server = subprocess.Popen([os.path.join(folder, "brelvint")], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        client = None
        for _ in range(100):
            try:
                client = socket.create_connection(("127.0.0.1", port))
                break
            except ConnectionRefusedError:
                time.sleep(0.05)
        client.sendall(packet(1, b"Main") + packet(2, hashlib.md5(b"pw").digest()) +
                       packet(3, b"flooder"))
        login = b""
        while login.count(b"OK") < 3:
            login += client.recv(4096)
        batch = packet(9) * 4096
        stop = time.monotonic() + seconds

        def writer():
            try:
                while time.monotonic() < stop:
                    client.sendall(batch)
            except OSError:
                pass  # shut down below, mid-batch

        thread = threading.Thread(target=writer)
        thread.start()
        received = 0
        client.settimeout(0.5)
        while time.monotonic() < stop:
            try:
                received += len(client.recv(1 << 20))
            except socket.timeout:
                pass
        client.shutdown(socket.SHUT_RDWR)
        thread.join()
        client.close()
        return received / ANSWER_BYTES / seconds
    finally:
        server.terminate()
        server.wait()
        subprocess.run(["rm", "-rf", folder])


def main():
    executable = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 6
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    ratios = []
    for round_number in range(1, rounds + 1):
        rates = {backend: run(executable, backend, seconds) for backend in ("io_uring", "epoll")}
        ratios.append(rates["epoll"] / rates["io_uring"])
        print(f"round {round_number}: io_uring {rates['io_uring']:10.0f} answers/s   "
              f"epoll {rates['epoll']:10.0f} answers/s   epoll/io_uring {ratios[-1]:.2f}",
              flush=True)
    print(f"median epoll/io_uring over {rounds} rounds: {statistics.median(ratios):.2f}")


if __name__ == "__main__":
    main()
