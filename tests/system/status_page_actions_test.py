#!/usr/bin/env python3
"""The status page's actions in a real browser, against the real executable.

Starts brelvint with its endpoint off loopback (0.0.0.0, so the token is
required, reached through 127.0.0.1) and opens the page with the token in its
address. A member's Kick button asks for a confirmation that names the member
and the network, and its Confirm ends that member's connection; a member
named with HTML shows in the confirmation as text. Then, over plain HTTP, an
action without the token (401), one from another Origin (403) and a GET (405)
are refused. Exits 77 (CTest's skip code here) when no browser can be had.

  /usr/bin/python3 tests/system/status_page_actions_test.py --brelvint build/brelvint
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import status_page_test as page  # noqa: E402

HOSTILE = '<img src=x onerror="window.brelvintOwned=1">'


def post(base, path, body, headers):
    request = urllib.request.Request(base + path, data=json.dumps(body).encode(), method="POST")
    request.add_header("Content-Type", "application/json")
    for name, value in headers.items():
        request.add_header(name, value)
    try:
        with urllib.request.urlopen(request, timeout=5) as response:
            return response.status
    except urllib.error.HTTPError as refusal:
        return refusal.code


def get(base, path, token):
    request = urllib.request.Request(base + path)
    request.add_header("Authorization", "Bearer " + token)
    try:
        with urllib.request.urlopen(request, timeout=5) as response:
            return response.status
    except urllib.error.HTTPError as refusal:
        return refusal.code


def confirmation(driver):
    return driver.execute_script("""
      const dialog = document.getElementById('confirm');
      return {open: dialog.open, text: document.getElementById('confirm-text').textContent,
              elements: dialog.querySelectorAll('#confirm-text *').length};""")


def click_in_row(driver, name, button):
    driver.execute_script(
        "[...document.querySelectorAll('tbody tr')].find(row => row.dataset.name === arguments[0])"
        ".querySelector('button.' + arguments[1]).click()", name, button)


def run(args, folder):
    map_port, status_port = page.free_port(), page.free_port()
    while status_port == map_port:
        status_port = page.free_port()
    server_folder = os.path.join(folder, "server")
    home = os.path.join(folder, "home")
    os.makedirs(os.path.join(server_folder, "brelvint-server"))
    os.makedirs(home)
    executable = shutil.copy(args.brelvint, server_folder)
    with open(os.path.join(server_folder, "brelvint.conf"), "w") as out:
        out.write('<?xml version="1.0"?>\n<settings>\n'
                  '  <setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00" />\n'
                  '  <setting namestring="ListenAddress" valuestring="127.0.0.1" />\n'
                  '  <setting namestring="StatusAddress" valuestring="0.0.0.0:%d" />\n'
                  '  <setting namestring="StatusToken" valuestring="%s" />\n'
                  '</settings>\n' % (status_port, page.TOKEN))
    with open(os.path.join(server_folder, "brelvint-server", "britain.conf"), "w") as out:
        out.write('<?xml version="1.0"?>\n<brelvint>\n  <network name="%s" password="%s" '
                  'maxusers="300" enabled="1" port="%d">\n  </network>\n</brelvint>\n'
                  % (page.NETWORK, page.PASSWORD, map_port))
    log = os.path.join(home, "com.brelvint.log")
    server = subprocess.Popen([executable], cwd=server_folder, env=dict(os.environ, HOME=home),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    driver = None
    clients = []
    try:
        def logged(text):
            return os.path.exists(log) and text in open(log, errors="replace").read()
        page.wait_for("the status page's log line", lambda: logged(page.LISTENING))
        base = "http://127.0.0.1:%d/" % status_port
        anna, bob, hostile = (page.MapClient(map_port) for _ in range(3))
        clients.extend([anna, bob, hostile])
        anna.login("anna", "100,100,0,50,0,0")
        bob.login("bob", "200,200,0,50,0,0")
        hostile.login(HOSTILE, "300,300,0,50,0,0")
        for client in clients:
            client.fence()

        driver = page.browser()
        driver.get(base + "?token=" + page.TOKEN)
        page.wait_for("anna's row", lambda: page.row_cell(driver, "anna", 0) == "anna")

        # The hostile name reaches the confirmation as text, and runs nothing.
        page.wait_for("the hostile row", lambda: driver.execute_script(
            "return [...document.querySelectorAll('tbody tr')].some(r => r.dataset.name === arguments[0])",
            HOSTILE))
        click_in_row(driver, HOSTILE, "ban")
        shown = confirmation(driver)
        assert shown["open"], shown
        assert HOSTILE in shown["text"] and page.NETWORK in shown["text"], shown
        assert shown["elements"] == 0, "the name became markup: %r" % shown
        assert driver.execute_script("return window.brelvintOwned === undefined"), "a name ran"
        driver.find_element("id", "confirm-cancel").click()
        print("confirmation: the hostile name is text")

        # Kick anna: the confirmation names her and the network; Confirm ends her connection.
        click_in_row(driver, "anna", "kick")
        shown = confirmation(driver)
        assert shown["text"] == "Kick anna from network %s?" % page.NETWORK, shown
        driver.find_element("id", "confirm-reason").send_keys("cheating")
        driver.find_element("id", "confirm-ok").click()
        command, payload = anna.receive()
        assert (command, payload) == (996, b"cheating"), (command, payload)
        try:
            while anna.sock.recv(4096):
                pass
        except OSError:
            pass
        page.wait_for("anna gone from the table", lambda: page.row_cell(driver, "anna", 0) is None)
        page.wait_for("the notice", lambda: driver.find_element("id", "notice").text ==
                      "Kicked anna from network %s." % page.NETWORK)
        page.wait_for("the log line", lambda: logged(
            "annaon network %s Kicked: cheating; by operator at 127.0.0.1 (status page)"
            % page.NETWORK))
        bob.fence()
        print("kick: the button ended anna's connection and the log names the page")

        # Refusals over plain HTTP.
        auth = {"Authorization": "Bearer " + page.TOKEN}
        body = {"network": page.NETWORK, "name": "bob", "reason": "x"}
        assert post(base, "action/kick", body, {}) == 401
        assert post(base, "action/kick?token=" + page.TOKEN, body, {}) == 401
        assert post(base, "action/kick", body,
                    dict(auth, Origin="http://evil.example")) == 403
        assert get(base, "action/kick", page.TOKEN) == 405
        bob.send(999, b"")
        assert bob.receive() == (999, b"BYE"), "bob was touched by a refused action"
        print("refusals: 401 without the token, 403 from another origin, 405 for a GET")

        # A ban's minutes: a length out of range is refused (400) and touches no one;
        # the page's Ban with minutes bans for that long and says so.
        for minutes in (-1, 525601, "15"):
            assert post(base, "action/ban", dict(body, minutes=minutes), auth) == 400, minutes
        bob.send(999, b"")
        assert bob.receive() == (999, b"BYE"), "bob was touched by a refused ban"
        click_in_row(driver, "bob", "ban")
        driver.find_element("id", "confirm-reason").send_keys("flood")
        driver.find_element("id", "confirm-minutes").send_keys("15")
        driver.find_element("id", "confirm-ok").click()
        command, payload = bob.receive()
        assert (command, payload) == (997, b"flood"), (command, payload)
        page.wait_for("the ban's notice", lambda: driver.find_element("id", "notice").text ==
                      "Banned bob (127.0.0.1) on network %s for 15 minutes." % page.NETWORK)
        page.wait_for("the ban's log line", lambda: logged(
            "bobon network %s Banned for 15 minutes: flood; by operator at 127.0.0.1 (status page)"
            % page.NETWORK))
        print("ban: the page's minutes make a timed ban")

        # Facets without a picture: the 404 is how the page learns to draw a grid.
        errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE" and
                  not re.search(r"/maps/facet-\d+\.png.*404", entry["message"])]
        assert not errors, "the page reported errors: %r" % errors
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
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="brelvint-status-actions-") as folder:
        run(args, folder)
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
