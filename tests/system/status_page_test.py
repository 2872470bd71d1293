#!/usr/bin/env python3
"""The status page in a real browser, and /metrics read by a real Prometheus parser.

Starts the real brelvint executable in a temporary folder, opens the page in
headless Chromium (Selenium with chromium-driver) at 1280 x 900 with the token
in its address, logs two members in over raw sockets and checks that the page
follows their moves without a reload. Parses /metrics with prometheus_client's
text parser. Then 48 more members join over two facets: the maps stay within
the first screen, no name label overlaps another or the map's edge (a hidden
name shows on hover), a text selection in the table survives a member's move
while its marker glides (the same element) to the right pixel of the facet's
picture, clicking a row centres its member on the map, the page asked only its
own server and its script reported no error. Exits 77 (CTest's skip code here)
with "skipped: ..." when no browser or driver can be had.

  /usr/bin/python3 tests/system/status_page_test.py --brelvint build/brelvint \
      [--screenshot docs/status-page.png]

With --screenshot, the page with 50 members is saved beside the given file as
<name>-50.png (docs/status-page-50.png above).
"""

import argparse
import fcntl
import hashlib
import json
import re
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
import zlib

SKIP = 77
NETWORK = "Britain"
PASSWORD = "moongate"
TOKEN = "lantern"
WAIT_SECONDS = 15
SCREEN = (1280, 900)
LISTENING = "Status page listening on http://"


def skip(reason):
    print("skipped: " + reason)
    sys.exit(SKIP)


PORT_BLOCK = 64
_port_block = {}


def _port_block_start():
    """A block of ports outside the kernel's ephemeral range that this process
    holds alone (an flock on a file named after it, as the C++ tests take
    theirs), so no other program's connection and no other test takes one."""
    if "start" in _port_block:
        return _port_block["start"]
    low, high = 32768, 60999
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as ports:
            low, high = (int(value) for value in ports.read().split()[:2])
    except (OSError, ValueError):
        pass
    starts = [start for start in range(1024, 65536 - PORT_BLOCK + 1, PORT_BLOCK)
              if start + PORT_BLOCK - 1 < low or start > high]
    folder = os.path.join(tempfile.gettempdir(), "brelvint-test-ports")
    os.makedirs(folder, exist_ok=True)
    first = os.getpid() % len(starts)
    chosen = starts[first]
    for i in range(len(starts)):
        start = starts[(first + i) % len(starts)]
        try:
            handle = os.open(os.path.join(folder, str(start)), os.O_RDONLY | os.O_CREAT, 0o666)
        except OSError:
            continue
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(handle)
            continue
        _port_block["handle"] = handle  # held until the process ends
        chosen = start
        break
    _port_block["start"] = chosen
    _port_block["next"] = 0
    return chosen


def free_port():
    start = _port_block_start()
    for _ in range(PORT_BLOCK):
        port = start + _port_block["next"]
        _port_block["next"] = (_port_block["next"] + 1) % PORT_BLOCK
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                continue
        return port
    raise RuntimeError("no free port in this test's block")


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
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})  # the page's script errors
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=%d,%d" % SCREEN, "--hide-scrollbars"):
        options.add_argument(argument)
    try:
        chrome = webdriver.Chrome(service=Service(driver), options=options)
    except Exception as failure:  # a browser that cannot start here is a skip, not a fault
        skip("headless Chromium did not start: %s" % failure)
    # The window's frame would take some of its size: the page itself gets the screen.
    chrome.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": SCREEN[0], "height": SCREEN[1], "deviceScaleFactor": 1, "mobile": False})
    return chrome


def fetch(url, token=None):
    request = urllib.request.Request(url)
    if token:
        request.add_header("Authorization", "Bearer " + token)
    with urllib.request.urlopen(request, timeout=5) as response:
        return response.status, response.headers.get("Content-Type"), response.read().decode()


def check_metrics(base):
    from prometheus_client.parser import text_string_to_metric_families
    status, content_type, text = fetch(base + "metrics", TOKEN)
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


def crowd_member(i):
    """Name and position of the i-th of the 48 members who join anna and bob: odd
    ones on facet 1 (the picture), even ones on facet 0 (the grid), the first
    sixteen packed so close that not every name can be written."""
    facet = i % 2
    if i < 16:
        x, y = 150 + (i * 7) % 40, 400 + (i * 13) % 30
    elif facet == 1:
        x, y = 20 + (i * 97) % 470, 20 + (i * 61) % 470
    else:
        x, y = 40 + (i * 389) % 2900, 40 + (i * 251) % 1900
    battle, dead = int(i % 5 == 0), int(i % 9 == 0)
    return "member%02d" % i, "%d,%d,%d,%d,%d,%d" % (x, y, facet, 10 + i, battle, dead)


# Boxes in CSS pixels of the viewport, as the page lays them out right now.
MAPS_JS = """
return [...document.querySelectorAll('.map')].map(map => {
  const box = map.getBoundingClientRect();
  const labels = [...map.querySelectorAll('.leaflet-tooltip.label')].map(label => {
    const r = label.getBoundingClientRect();
    return {name: label.dataset.name, shown: getComputedStyle(label).visibility !== 'hidden',
            left: r.left, top: r.top, right: r.right, bottom: r.bottom};
  });
  return {facet: map.dataset.facet, left: box.left, top: box.top, right: box.right,
          bottom: box.bottom, labels: labels};
});
"""

MARKER_JS = """
const marker = document.querySelector('.map path[data-name="' + arguments[0] + '"]');
if (!marker) return null;
const r = marker.getBoundingClientRect();
const map = marker.closest('.map').getBoundingClientRect();
const picture = marker.closest('.map').querySelector('img.leaflet-image-layer');
const p = picture ? picture.getBoundingClientRect() : null;
return {x: (r.left + r.right) / 2, y: (r.top + r.bottom) / 2,
        mapX: (map.left + map.right) / 2, mapY: (map.top + map.bottom) / 2,
        picture: p && {left: p.left, top: p.top, scale: p.width / picture.naturalWidth}};
"""


# A member whose name is hidden, with its marker on top at its centre and well
# inside its map, so the mouse can reach it and its name fits beside it.
UNNAMED_JS = """
for (const label of document.querySelectorAll('.leaflet-tooltip.label.hidden')) {
  const marker = document.querySelector('.map path[data-name="' + label.dataset.name + '"]');
  const r = marker.getBoundingClientRect(), map = marker.closest('.map').getBoundingClientRect();
  const x = (r.left + r.right) / 2, y = (r.top + r.bottom) / 2;
  if (x > map.left + 200 && x < map.right - 200 && y > map.top + 60 && y < map.bottom - 60 &&
      document.elementFromPoint(x, y) === marker) return label.dataset.name;
}
return null;
"""


def overlapping(a, b):
    return a["left"] < b["right"] and b["left"] < a["right"] and \
        a["top"] < b["bottom"] and b["top"] < a["bottom"]


def check_labels(driver):
    """Every shown name lies inside its map and clear of every other shown name."""
    shown = hidden = 0
    for box in driver.execute_script(MAPS_JS):
        labels = [label for label in box["labels"] if label["shown"]]
        hidden += len(box["labels"]) - len(labels)
        shown += len(labels)
        for i, label in enumerate(labels):
            assert box["left"] <= label["left"] and label["right"] <= box["right"] and \
                box["top"] <= label["top"] and label["bottom"] <= box["bottom"], \
                "label %s is cut at the edge of facet %s's map" % (label["name"], box["facet"])
            for other in labels[i + 1:]:
                assert not overlapping(label, other), \
                    "labels %s and %s overlap" % (label["name"], other["name"])
    # The packed crowd cannot all be named, the rest can.
    assert hidden > 0 and shown >= 25, "shown %d, hidden %d" % (shown, hidden)
    return shown, hidden


def check_marker_on_picture(driver, name, x, y):
    """One map unit is one pixel of the picture, from its top-left corner."""
    def placed():
        at = driver.execute_script(MARKER_JS, name)
        picture = at and at["picture"]
        return picture and abs(at["x"] - (picture["left"] + x * picture["scale"])) < 1.5 and \
            abs(at["y"] - (picture["top"] + y * picture["scale"])) < 1.5
    wait_for("%s's marker at %d,%d on the picture" % (name, x, y), placed)


def check_first_screen(driver):
    """Maps first: both facets' maps whole in the first screen, the tables after them."""
    driver.execute_script("window.scrollTo(0, 0)")
    width, height = driver.execute_script("return [innerWidth, innerHeight]")
    assert (width, height) == SCREEN, (width, height)
    boxes = driver.execute_script(MAPS_JS)
    assert sorted(box["facet"] for box in boxes) == ["0", "1"], boxes
    for box in boxes:
        assert 0 <= box["top"] and box["bottom"] <= height and box["right"] <= width, box
        assert box["right"] - box["left"] >= 400 and box["bottom"] - box["top"] >= 400, box
    table_top = driver.execute_script(
        "return document.querySelector('table').getBoundingClientRect().top")
    assert table_top >= max(box["bottom"] for box in boxes), table_top


def check_table_layout(driver):
    """Numbers end under the end of their header; Location is gone without a
    lookup service; Connected reads in hours and minutes."""
    ends = driver.execute_script("""
      const end = node => { const r = document.createRange(); r.selectNodeContents(node);
                            return r.getBoundingClientRect().right; };
      const heads = [...document.querySelectorAll('thead th')];
      const cells = [...document.querySelector('tbody tr').children];
      return heads.map((head, i) => [head.textContent, end(head), end(cells[i])]);""")
    for title, head, cell in ends:
        if title in ("X", "Y", "Facet", "HP", "Connected"):
            assert abs(head - cell) < 1, "%s: header ends at %s, number at %s" % (title, head, cell)
    location = driver.find_element("css selector", "thead th.location")
    assert not location.is_displayed(), "an empty Location column is shown"
    formatted = driver.execute_script("return [0, 59, 60, 3599, 3720, 90061].map(formatConnected)")
    assert formatted == ["0 s", "59 s", "1 min", "59 min", "1 h 02 min", "25 h 01 min"], formatted


ASSETS = ("/leaflet.js", "/leaflet.css", "/status.js", "/status.css")


def check_own_requests_only(driver, base):
    """Everything the page loaded came from the server, and the token went along
    wherever it is needed (the scripts and style sheets hold nothing of the
    server's and are served without it)."""
    urls = driver.execute_script(
        "return performance.getEntriesByType('resource').map(entry => entry.name)")
    assert urls, "the page made no requests"
    for url in urls:
        parsed = urllib.parse.urlsplit(url)
        assert url.startswith(base), url
        if parsed.path in ASSETS:
            continue
        assert parsed.path == "/status.json" or parsed.path.startswith("/maps/facet-"), url
        assert urllib.parse.parse_qs(parsed.query).get("token") == [TOKEN], url


def row_cell(driver, name, column):
    # The table is redrawn at every refresh: a row read in the middle of one
    # is read again.
    from selenium.common.exceptions import StaleElementReferenceException
    for _ in range(20):
        cells = driver.find_elements("css selector", 'tr[data-name="%s"] td' % name)
        try:
            return cells[column].text if len(cells) > column else None
        except StaleElementReferenceException:
            time.sleep(0.05)
    raise AssertionError("the row of %s kept being redrawn" % name)


def plotted(driver, name):
    points = driver.execute_script("return window.brelvintPlotted") or []
    return next((p for p in points if p["name"] == name), None)


def two_members(driver, map_port, page, base, args, clients):
    """The page with nobody, then with anna and bob: it follows their moves without a
    reload."""
    driver.get(page)
    wait_for("the empty network", lambda: driver.find_elements(
        "css selector", '[data-network="%s"] .nobody' % NETWORK))
    assert driver.find_element("css selector", ".nobody").is_displayed()
    assert not driver.find_elements("css selector", ".map")
    loaded_at = driver.execute_script("return window.brelvintPageLoadedAt")

    anna, bob = MapClient(map_port), MapClient(map_port)
    clients += [anna, bob]
    anna.login("anna", "1200,350,0,87,1,0")
    bob.login("bob", "300,200,1,40,0,0")
    anna.fence()
    bob.fence()

    # The document is rebuilt at most once a second: wait for one made after the logins.
    def current_status():
        status = json.loads(fetch(base + "status.json")[2])
        names = [m["name"] for m in status["networks"][0]["members"]]
        return status if names == ["anna", "bob"] else None

    status = wait_for("status.json listing anna and bob", current_status)
    assert PASSWORD not in json.dumps(status)

    wait_for("both names on the page",
             lambda: row_cell(driver, "anna", 2) and row_cell(driver, "bob", 2))
    assert plotted(driver, "anna")["x"] == 1200 and plotted(driver, "bob")["facet"] == 1

    anna.move("2100,900,0,87,1,0")
    bob.move("310,260,1,0,0,1")
    anna.fence()
    bob.fence()
    wait_for("the page to follow anna's move", lambda: row_cell(driver, "anna", 2) == "2100")
    wait_for("the map to follow anna's move", lambda: plotted(driver, "anna")["y"] == 900)
    wait_for("bob marked dead", lambda: driver.find_elements(
        "css selector", 'tr.dead[data-name="bob"]'))
    assert driver.execute_script("return window.brelvintPageLoadedAt") == loaded_at, \
        "the page reloaded"
    wait_for("facet 1's picture", lambda: driver.find_elements(
        "css selector", '.map[data-facet="1"] img.leaflet-image-layer'))
    check_marker_on_picture(driver, "bob", 310, 260)
    assert "(grid)" in driver.find_element(
        "css selector", 'figure[data-facet="0"] figcaption').text
    if args.screenshot:
        time.sleep(1.2)  # one more poll, so the shot shows the settled page
        driver.save_screenshot(args.screenshot)
        print("screenshot: " + args.screenshot)


def fifty_members(driver, map_port, base, args, clients):
    """48 more members: the maps stay in the first screen, names stay apart, a
    selection survives a move, a row finds its member."""
    crowd = []
    for i in range(1, 49):
        name, position = crowd_member(i)
        client = MapClient(map_port)
        clients.append(client)
        client.login(name, position)
        crowd.append(client)
    for client in crowd:
        client.fence()
    wait_for("50 rows", lambda: len(driver.find_elements("css selector", "tbody tr")) == 50)
    wait_for("50 markers", lambda: len(driver.find_elements("css selector", ".map path")) == 50)
    time.sleep(1.2)  # the markers' glide and the pictures settle
    check_first_screen(driver)
    shown, hidden = check_labels(driver)
    print("labels: %d shown apart, %d left to hovering" % (shown, hidden))
    check_table_layout(driver)
    if args.screenshot:
        path = "%s-50%s" % os.path.splitext(args.screenshot)
        driver.save_screenshot(path)
        print("screenshot: " + path)

    # A hidden name shows while the mouse is on its marker, still clear of the others.
    from selenium.webdriver.common.action_chains import ActionChains
    name = driver.execute_script(UNNAMED_JS)
    assert name, "no hidden name to point at"
    marker = driver.find_element("css selector", '.map path[data-name="%s"]' % name)
    ActionChains(driver).move_to_element(marker).perform()
    label = driver.find_element("css selector", '.leaflet-tooltip.label[data-name="%s"]' % name)
    wait_for(name + "'s name on hover", lambda: "hidden" not in label.get_attribute("class"))
    assert label.text.startswith(name + " \u00b7 " + NETWORK), label.text
    check_labels(driver)
    ActionChains(driver).move_to_element(driver.find_element("css selector", "h1")).perform()
    wait_for(name + "'s name hidden again", lambda: "hidden" in label.get_attribute("class"))

    # An operator selects member07's address; member07 moves; the selection stays.
    driver.execute_script("""
      const range = document.createRange();
      range.selectNodeContents(document.querySelector('tr[data-name="member07"] td.address'));
      getSelection().removeAllRanges();
      getSelection().addRange(range);
      window.markerBeforeMove = document.querySelector('.map path[data-name="member07"]');
      // Where the marker is at every frame, to see it travel rather than jump.
      window.markerTrack = [];
      (function record() {
        const r = window.markerBeforeMove.getBoundingClientRect();
        window.markerTrack.push([(r.left + r.right) / 2, (r.top + r.bottom) / 2]);
        if (window.markerTrack.length < 1200) requestAnimationFrame(record);
      })();""")
    selected = driver.execute_script("return getSelection().toString()")
    assert selected.startswith("127.0.0.1"), selected
    crowd[6].move("430,90,1,17,0,0")
    crowd[6].fence()
    wait_for("member07's row to follow", lambda: row_cell(driver, "member07", 2) == "430")
    check_marker_on_picture(driver, "member07", 430, 90)
    assert driver.execute_script("""return window.markerBeforeMove ===
        document.querySelector('.map path[data-name="member07"]')"""), "the marker was redrawn"
    track = driver.execute_script("return window.markerTrack")
    (x0, y0), (x1, y1) = track[0], track[-1]
    between = [(x, y) for x, y in track
               if min(abs(x - x0) + abs(y - y0), abs(x - x1) + abs(y - y1)) > 5]
    assert between, "member07's marker jumped from %r to %r" % (track[0], track[-1])
    time.sleep(1.2)  # another poll or two over the selection
    assert driver.execute_script("return getSelection().toString()") == selected, \
        "the selection in the table was lost"
    check_labels(driver)

    # Clicking a row centres its member on its facet's map, for the grid and the picture.
    for name in ("member20", "member33"):
        driver.find_element("css selector", 'tr[data-name="%s"] td.name' % name).click()

        def centred():
            at = driver.execute_script(MARKER_JS, name)
            return abs(at["x"] - at["mapX"]) < 1.5 and abs(at["y"] - at["mapY"]) < 1.5
        wait_for("%s centred on its map" % name, centred)
    check_own_requests_only(driver, base)


POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
          "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")

# Names a hostile member may log in under: each would run script if the page
# took it for HTML, and mark the window if it did.
HOSTILE_NAMES = [
    '<img src=x onerror="window.brelvintOwned=1">',
    '"><svg onload=window.brelvintOwned=2>',
    'javascript:window.brelvintOwned=3',
]


def headers_of(url):
    with urllib.request.urlopen(urllib.request.Request(url), timeout=5) as response:
        return response.headers


def check_policy_headers(base):
    """The page, its scripts and the documents all carry the policy and the
    headers that keep the page's address and types to itself."""
    for path in ("?token=" + TOKEN, "status.json?token=" + TOKEN, "metrics?token=" + TOKEN,
                 "status.js", "leaflet.js", "status.css"):
        headers = headers_of(base + path)
        assert headers.get("Content-Security-Policy") == POLICY, (path, dict(headers))
        assert headers.get("X-Content-Type-Options") == "nosniff", path
        assert headers.get("Referrer-Policy") == "no-referrer", path
    assert headers_of(base + "status.js").get("Content-Type").startswith("text/javascript")
    assert headers_of(base + "status.css").get("Content-Type").startswith("text/css")


def show_facet(driver, facet):
    """Brings a facet's map near the screen, which builds it."""
    wait_for("facet %d's figure" % facet, lambda: driver.execute_script(
        "return !!document.querySelector('figure[data-facet=\"%d\"]')" % facet))
    driver.execute_script(
        "document.querySelector('figure[data-facet=\"%d\"]').scrollIntoView()" % facet)
    wait_for("facet %d's map" % facet, lambda: driver.execute_script(
        "return !!document.querySelector('.map[data-facet=\"%d\"].leaflet-container')" % facet))


def hostile_names(driver, map_port, clients):
    """Names written as HTML and script show as the text they are, in the
    labels, the hover text and the table, and run nothing."""
    joined = []
    for i, name in enumerate(HOSTILE_NAMES):
        client = MapClient(map_port)
        clients.append(client)
        client.login(name, "%d,300,5,50,0,0" % (200 + 400 * i))
        joined.append(client)
    for client in joined:
        client.fence()
    texts_js = """return [...document.querySelectorAll(arguments[0])].map(node => node.textContent)"""
    wait_for("the names in the table", lambda: all(
        name in driver.execute_script(texts_js, "tbody td.name") for name in HOSTILE_NAMES))
    show_facet(driver, 5)
    wait_for("the names as labels", lambda: sorted(driver.execute_script(
        texts_js, '.map[data-facet="5"] .leaflet-tooltip')) == sorted(HOSTILE_NAMES))
    # Hovering a marker writes more into its label: still text.
    from selenium.webdriver.common.action_chains import ActionChains
    marker = driver.execute_script("""return [...document.querySelectorAll('.map[data-facet="5"] path')]
        .find(path => path.dataset.name === arguments[0])""", HOSTILE_NAMES[0])
    ActionChains(driver).move_to_element(marker).perform()
    wait_for("the hover text", lambda: any(
        text.startswith(HOSTILE_NAMES[0] + " \u00b7 " + NETWORK)
        for text in driver.execute_script(texts_js, '.map[data-facet="5"] .leaflet-tooltip')))
    ActionChains(driver).move_to_element(driver.find_element("css selector", "h1")).perform()
    planted = driver.execute_script(
        "return document.querySelectorAll('#maps img:not(.leaflet-image-layer), #maps svg svg, "
        "#maps .leaflet-tooltip *:not(span), tbody img, tbody svg').length")
    assert planted == 0, "a name became markup: %d elements" % planted
    assert driver.execute_script("return window.brelvintOwned === undefined"), "a name ran"
    print("hostile names: shown as text in labels, hover text and table; nothing ran")


def far_member(driver, map_port, clients):
    """A member at X = 2^63 - 1 does not stretch its facet's first view: the
    others stay in it."""
    joined = []
    for name, position in (("near1", "120,140,6,50,0,0"), ("near2", "900,600,6,50,0,0"),
                           ("near3", "1500,300,6,50,0,0"),
                           ("faraway", "9223372036854775807,5,6,50,0,0")):
        client = MapClient(map_port)
        clients.append(client)
        client.login(name, position)
        joined.append(client)
    for client in joined:
        client.fence()
    wait_for("faraway in the table", lambda: row_cell(driver, "faraway", 2))
    show_facet(driver, 6)

    def near_in_view():
        return driver.execute_script("""
          const map = document.querySelector('.map[data-facet="6"]').getBoundingClientRect();
          return ['near1', 'near2', 'near3'].every(name => {
            const marker = document.querySelector('.map path[data-name="' + name + '"]');
            if (!marker) return false;
            const r = marker.getBoundingClientRect(), x = (r.left + r.right) / 2, y = (r.top + r.bottom) / 2;
            return x > map.left && x < map.right && y > map.top && y < map.bottom &&
                r.width > 0;
          });""")
    wait_for("the members near the corner in facet 6's view", near_in_view)
    time.sleep(1.2)  # another poll: the view stays
    assert near_in_view(), "a later poll stretched the view to the far member"
    print("far member: the others stay in view")


def two_hundred_facets(driver, map_port, clients):
    """200 facets make 200 figures, but only the maps near the screen are
    built; one far down is built once it is scrolled to."""
    joined = []
    for i in range(200):
        client = MapClient(map_port)
        clients.append(client)
        client.login("wanderer%03d" % i, "%d,%d,%d,50,0,0" % (100 + i, 200 + i, 1000 + i))
        joined.append(client)
    for client in joined:
        client.fence()
    driver.execute_script("window.scrollTo(0, 0)")
    # Counted by facet, since the figures of the earlier members are on the page too.
    wait_for("200 more figures", lambda: driver.execute_script(
        "return [...document.querySelectorAll('figure[data-facet]')]"
        ".filter(f => +f.dataset.facet >= 1000 && +f.dataset.facet < 1200).length") == 200)
    started = time.monotonic()
    driver.execute_script("return 1")
    answered = time.monotonic() - started
    time.sleep(1.2)  # a poll with 200 facets in it
    built = driver.execute_script("return document.querySelectorAll('.leaflet-container').length")
    assert built <= 12, "%d maps built for one screen" % built
    show_facet(driver, 1199)
    print("200 facets: %d maps built for the first screen; the page answered a script in %.3f s"
          % (built, answered))



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
                  '  <setting namestring="StatusToken" valuestring="%s" />\n'
                  '</settings>\n' % (status_port, TOKEN))
    with open(os.path.join(server_folder, "brelvint-server", "britain.conf"), "w") as out:
        out.write('<?xml version="1.0"?>\n<brelvint>\n  <network name="%s" password="%s" '
                  'maxusers="300" enabled="1" port="%d">\n  </network>\n</brelvint>\n'
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
        driver = browser()
        # The token travels in the page's address, as an operator off loopback opens it.
        two_members(driver, map_port, base + "?token=" + TOKEN, base, args, clients)
        check_metrics(base)
        fifty_members(driver, map_port, base, args, clients)
        check_policy_headers(base)
        hostile_names(driver, map_port, clients)
        far_member(driver, map_port, clients)
        two_hundred_facets(driver, map_port, clients)
        logged = driver.get_log("browser")
        policy = [entry for entry in logged if "Content Security Policy" in entry["message"]]
        assert not policy, "the page broke its own policy: %r" % policy
        # Facets without a picture: the 404 is how the page learns to draw a grid.
        errors = [entry for entry in logged if entry["level"] == "SEVERE" and
                  not re.search(r"/maps/facet-\d+\.png.*404", entry["message"])]
        assert not errors, "the page reported errors: %r" % errors
        print("status page followed the moves without a reload")
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
    parser.add_argument("--screenshot", help="where to save the screenshot with two members "
                        "(PNG); the one with 50 goes beside it as <name>-50.png")
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
