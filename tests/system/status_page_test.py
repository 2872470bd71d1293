#!/usr/bin/env python3
"""The status page in a real browser, and /metrics read by a real Prometheus parser.

Starts the real brelvint executable in a temporary folder, logs two members in
over raw sockets, opens the page in headless Chromium (Selenium with
chromium-driver), waits for both names, moves one member and checks that the
page follows without a reload. Then parses /metrics with prometheus_client's
text parser. Exits 77 (CTest's skip code here) with "skipped: ..." when no
browser or driver can be had.

  /usr/bin/python3 tests/system/status_page_test.py --brelvint build/brelvint \
      [--screenshot docs/status-page.png]
"""

import argparse
import hashlib
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request
import zlib

SKIP = 77
NETWORK = "Britain"
PASSWORD = "moongate"
WAIT_SECONDS = 15
LISTENING = "Status page listening on http://"


def skip(reason):
    print("skipped: " + reason)
    sys.exit(SKIP)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def write_png(path, width, height, pixel):
    """A plain RGB PNG, written by hand so the test needs no imaging library."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(pixel(x, y))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(bytes(rows), 9)))
        out.write(chunk(b"IEND", b""))


def island(x, y):
    """Sea, a round island and a road grid: enough to see the picture under the points."""
    dx, dy = x - 256, y - 256
    if (x % 64 == 0 or y % 64 == 0) and dx * dx + dy * dy < 200 * 200:
        return (176, 150, 110)
    if dx * dx + dy * dy < 210 * 210 + 40 * ((x * 7 + y * 3) % 50):
        return (120, 170, 100)
    return (90, 140, 200)


class MapClient:
    """A map tool's side of the protocol: 4-byte big-endian total length
    (header included), 4-byte big-endian command, payload."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.buffer = b""

    def send(self, command, payload):
        self.sock.sendall(struct.pack(">ii", len(payload) + 8, command) + payload)

    def receive(self):
        while True:
            if len(self.buffer) >= 8:
                length, command = struct.unpack(">ii", self.buffer[:8])
                if len(self.buffer) >= length:
                    payload = self.buffer[8:length]
                    self.buffer = self.buffer[length:]
                    return command, payload
            data = self.sock.recv(4096)
            if not data:
                raise RuntimeError("server closed the connection")
            self.buffer += data

    def expect(self, command, payload):
        got = self.receive()
        if got != (command, payload):
            raise AssertionError("expected %r, got %r" % ((command, payload), got))

    def login(self, user, position):
        self.expect(1, b"Network")
        self.send(1, NETWORK.encode())
        self.expect(2, b"OK")
        self.send(2, hashlib.md5(PASSWORD.encode()).digest())
        self.expect(3, b"OK")
        self.send(3, user.encode())
        self.expect(4, b"OK")
        self.move(position)

    def move(self, position):
        self.send(4, position.encode())

    def fence(self):
        """Command 999 is answered with 999 "BYE" after everything sent before it."""
        self.send(999, b"")
        while self.receive() != (999, b"BYE"):
            pass

    def close(self):
        self.sock.close()


def wait_for(what, predicate, seconds=WAIT_SECONDS):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def browser():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as failure:
        skip("python3-selenium is not installed (%s)" % failure)
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    if not chromium or not driver:
        skip("Debian's chromium and chromium-driver are not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1100,980", "--hide-scrollbars"):
        options.add_argument(argument)
    try:
        return webdriver.Chrome(service=Service(driver), options=options)
    except Exception as failure:  # a browser that cannot start here is a skip, not a fault
        skip("headless Chromium did not start: %s" % failure)


def fetch(url):
    with urllib.request.urlopen(url, timeout=5) as response:
        return response.status, response.headers.get("Content-Type"), response.read().decode()


def check_metrics(base):
    from prometheus_client.parser import text_string_to_metric_families
    status, content_type, text = fetch(base + "metrics")
    assert status == 200 and content_type.startswith("text/plain; version=0.0.4"), content_type
    families = {family.name: family for family in text_string_to_metric_families(text)}

    def family(name):
        # The parser names a counter's family without its "_total".
        found = families.get(name) or families.get(name[:-len("_total")])
        assert found is not None, "no %s in /metrics:\n%s" % (name, text)
        return found

    def value(name, **labels):
        for sample in family(name).samples:
            if sample.name == name and sample.labels == labels:
                return sample.value
        raise AssertionError("no sample %s%r" % (name, labels))

    assert family("brelvint_connections").type == "gauge"
    assert value("brelvint_connections") == 2
    assert value("brelvint_members", network=NETWORK) == 2
    assert value("brelvint_messages_received_total", command="position") >= 3
    assert value("brelvint_deliveries_total") >= 3
    assert value("brelvint_logins_total", result="ok") == 2
    assert value("brelvint_logins_total", result="bad_password") == 0
    for name in ("brelvint_kicks_total", "brelvint_bans_total",
                 "brelvint_slow_consumers_total", "brelvint_output_bytes_total"):
        assert family(name).type == "counter", name
        value(name)
    histogram = family("brelvint_loop_pass_seconds")
    assert histogram.type == "histogram"
    buckets = [s for s in histogram.samples if s.name == "brelvint_loop_pass_seconds_bucket"]
    assert buckets[-1].labels["le"] == "+Inf"
    count = value("brelvint_loop_pass_seconds_count")
    assert buckets[-1].value == count > 0
    print("metrics: %d families parsed by prometheus_client" % len(families))


def run(args, folder):
    map_port, status_port = free_port(), free_port()
    while status_port == map_port:
        status_port = free_port()
    server_folder = os.path.join(folder, "server")
    home = os.path.join(folder, "home")
    os.makedirs(os.path.join(server_folder, "brelvint-server"))
    os.makedirs(os.path.join(server_folder, "brelvint-maps"))
    os.makedirs(home)
    executable = shutil.copy(args.brelvint, server_folder)
    with open(os.path.join(server_folder, "brelvint.conf"), "w") as out:
        out.write('<?xml version="1.0"?>\n<settings>\n'
                  '  <setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00" />\n'
                  '  <setting namestring="StatusAddress" valuestring="127.0.0.1:%d" />\n'
                  '</settings>\n' % status_port)
    with open(os.path.join(server_folder, "brelvint-server", "britain.conf"), "w") as out:
        out.write('<?xml version="1.0"?>\n<brelvint>\n  <network name="%s" password="%s" '
                  'maxusers="50" enabled="1" port="%d">\n  </network>\n</brelvint>\n'
                  % (NETWORK, PASSWORD, map_port))
    write_png(os.path.join(server_folder, "brelvint-maps", "facet-1.png"), 512, 512, island)

    log = os.path.join(home, "com.brelvint.log")
    server = subprocess.Popen([executable], cwd=server_folder, env=dict(os.environ, HOME=home),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    driver = None
    clients = []
    try:
        def logged(text):
            return os.path.exists(log) and text in open(log, errors="replace").read()
        wait_for("the status page's log line", lambda: logged(LISTENING))
        base = "http://127.0.0.1:%d/" % status_port

        anna, bob = MapClient(map_port), MapClient(map_port)
        clients += [anna, bob]
        anna.login("anna", "1200,350,0,87,1,0")
        bob.login("bob", "300,200,1,40,0,0")
        anna.fence()
        bob.fence()

        status = json.loads(fetch(base + "status.json")[2])
        names = [m["name"] for m in status["networks"][0]["members"]]
        assert names == ["anna", "bob"], names
        assert PASSWORD not in json.dumps(status)

        driver = browser()
        driver.get(base)
        loaded_at = driver.execute_script("return window.brelvintPageLoadedAt")

        def plotted(name):
            points = driver.execute_script("return window.brelvintPlotted") or []
            return next((p for p in points if p["name"] == name), None)

        def row_x(name):
            cells = driver.find_elements("css selector", 'tr[data-name="%s"] td' % name)
            return cells[2].text if len(cells) > 2 else None

        wait_for("both names on the page", lambda: row_x("anna") and row_x("bob"))
        assert plotted("anna")["x"] == 1200 and plotted("bob")["facet"] == "1"

        anna.move("2100,900,0,87,1,0")
        bob.move("310,260,1,0,0,1")
        anna.fence()
        bob.fence()
        wait_for("the page to follow anna's move", lambda: row_x("anna") == "2100")
        wait_for("the map to follow anna's move", lambda: plotted("anna")["y"] == 900)
        wait_for("bob marked dead", lambda: driver.find_elements(
            "css selector", 'tr.dead[data-name="bob"]'))
        assert driver.execute_script("return window.brelvintPageLoadedAt") == loaded_at, \
            "the page reloaded"
        # The facet picture has been drawn once it loaded: give it the next poll.
        wait_for("facet 1's picture", lambda: "(grid)" not in driver.find_elements(
            "css selector", "figure figcaption")[-1].text)
        if args.screenshot:
            time.sleep(1.2)  # one more poll, so the shot shows the settled page
            driver.save_screenshot(args.screenshot)
            print("screenshot: " + args.screenshot)

        check_metrics(base)
        print("status page followed the move without a reload")
    finally:
        if driver is not None:
            driver.quit()
        for client in clients:
            client.close()
        server.send_signal(signal.SIGTERM)
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
    assert server.returncode == 0, "brelvint exited with %s" % server.returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--brelvint", required=True, help="the brelvint executable")
    parser.add_argument("--screenshot", help="where to save the page's screenshot (PNG)")
    args = parser.parse_args()
    try:
        import prometheus_client.parser  # noqa: F401
    except ImportError:
        skip("python3-prometheus-client is not installed")
    with tempfile.TemporaryDirectory(prefix="brelvint-status-page-") as folder:
        run(args, folder)
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
