#!/usr/bin/env python3
"""The status page in a real browser, against either program: headless Chromium, driven through
its DevTools pipe, loads the page of a running monitor with four stand-ins (steady answers,
quiet runs but never answers, crasher exits at once, stopper takes RCON but ignores its stop
command) and checks what an operator sees.

    status_page_check.py --kesp KESP --fakesrv FAKESRV          the Linux kesp, set up here
    status_page_check.py --scene RUNNER SCENE_EXE               kesp.exe under Wine: the scene
                                                                program sets it up and waits

Exits 0 when every check holds, 77 when Chromium is not installed.
"""

import argparse
import fcntl
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

CHROMIUM = "/usr/bin/chromium"
TOKEN = "tervane+page/token%test"  # characters the fragment carries encoded
RCON_PASSWORD = "page-check"
STOP_SECONDS = 300  # the stopper stays stopping for the whole check
# The page's columns.
PROCESS, NETWORK, RESTARTS, NEXT, NOTES = 2, 3, 6, 7, 8
GREEN, RED = "rgb(11, 107, 44)", "rgb(180, 35, 35)"


class Failed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failed(what)


class Browser:
    """Chromium with --remote-debugging-pipe: requests on descriptor 3, answers on 4, each a
    JSON text ended by a zero byte."""

    def __init__(self, profile):
        def moved(fd):  # above 4, so that the child's dup2 cannot clobber them
            high = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
            os.close(fd)
            return high

        to_read, self.to_browser = map(moved, os.pipe())
        self.from_browser, to_write = map(moved, os.pipe())

        def child():
            os.dup2(to_read, 3)
            os.dup2(to_write, 4)

        self.process = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + profile, "--remote-debugging-pipe", "about:blank"],
            preexec_fn=child, close_fds=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_read)
        os.close(to_write)
        self.buffer = b""
        self.next_id = 0
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]

    def call(self, method, params=None, session=None, limit=30):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        end = time.monotonic() + limit
        while True:
            while b"\0" in self.buffer:
                text, self.buffer = self.buffer.split(b"\0", 1)
                answer = json.loads(text)
                if answer.get("id") == self.next_id:
                    if "error" in answer:
                        raise Failed(method + ": " + json.dumps(answer["error"]))
                    return answer["result"]
            left = end - time.monotonic()
            check(left > 0 and select.select([self.from_browser], [], [], left)[0], method + ": no answer")
            data = os.read(self.from_browser, 1 << 16)
            check(data, "the browser ended")
            self.buffer += data

    def page(self, method, params=None):
        return self.call(method, params, self.session)

    def open(self, url, width):
        self.page("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": 800, "deviceScaleFactor": 1, "mobile": width < 500})
        self.page("Page.navigate", {"url": "about:blank"})
        self.page("Page.navigate", {"url": url})

    def evaluate(self, expression):
        result = self.page("Runtime.evaluate",
                           {"expression": expression, "returnByValue": True, "awaitPromise": True})
        return result["result"].get("value")

    def wait_for(self, expression, test, what, limit=40):
        """Evaluates expression (JSON text) until test(value) holds; answers the value."""
        end = time.monotonic() + limit
        value = None
        while time.monotonic() < end:
            text = self.evaluate(expression)
            value = json.loads(text) if text else None
            if value is not None and test(value):
                return value
            time.sleep(0.5)
        raise Failed(what + "; last seen: " + json.dumps(value)[:2000])

    def close(self):
        try:
            self.call("Browser.close", limit=5)
        except Failed:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


# What the page shows: every row's cells with their class, colour and right edge, the last
# restarts, the error line and how wide the page is.
SHOWN = """JSON.stringify({
  rows: Object.fromEntries([...document.querySelectorAll('#servers tbody tr')].map(tr => [tr.dataset.name,
    [...tr.children].map(td => ({text: td.textContent, cls: td.className, color: getComputedStyle(td).color,
                                 right: td.getBoundingClientRect().right}))])),
  restarts: [...document.querySelectorAll('#restarts tbody tr')].map(tr => tr.children[1].textContent),
  labels: [...document.querySelectorAll('#servers tbody tr:first-child td')].map(
    td => getComputedStyle(td, '::before').content),
  error: document.getElementById('error').textContent,
  pageWidth: document.documentElement.scrollWidth})"""

# The page drawn from one answer of the API, and that answer's last restarts.
DRAWN_FROM_ONE_ANSWER = """fetch('/api/servers', {headers: {Authorization: 'Bearer ' + token}})
  .then(r => r.json()).then(j => { draw(j); return JSON.stringify({api: j.recent_restarts, servers: j.servers,
    page: [...document.querySelectorAll('#restarts tbody tr')].map(tr => tr.children[1].textContent),
    kinds: [...document.querySelectorAll('#restarts tbody tr')].map(tr => tr.children[2].textContent),
    cells: [...document.querySelectorAll('#servers tbody tr')].map(tr => tr.children[6].textContent)}); })"""
# How the page names each kind of start.
KIND_TEXTS = {"first_start": "first start", "supervised": "supervised restart",
              "operator": "restart by the operator", "planned": "planned restart"}


def post(browser, path):
    """A command through the HTTP door, with the page's token; answers the status."""
    return browser.evaluate("fetch('%s', {method: 'POST', headers: {Authorization: 'Bearer ' + token}})"
                            ".then(r => r.status)" % path)


def cell(shown, name, column):
    return shown["rows"][name][column]


def check_page(browser, port):
    base = "http://127.0.0.1:%d/" % port
    browser.open(base + "#token=" + urllib.parse.quote(TOKEN, safe=""), 980)

    # The token from the fragment is decoded: the API takes it (a wrong one it refuses).
    shown = browser.wait_for(SHOWN, lambda s: len(s["rows"]) == 4, "four rows")
    check(shown["error"] == "", "the page's error line: " + shown["error"])

    # Each state cell is coloured by its own state: quiet runs (green) and does not answer (red).
    shown = browser.wait_for(SHOWN, lambda s: cell(s, "quiet", 3)["text"].startswith("timeout ("),
                             "quiet's timeouts counted")
    network, process = cell(shown, "quiet", 3), cell(shown, "quiet", 2)
    check(network["text"].endswith("/20)"), "Timeout (n/20): " + network["text"])
    check((process["text"], process["cls"], process["color"]) == ("running", "state ok", GREEN),
          "quiet's process cell: " + json.dumps(process))
    check((network["cls"], network["color"]) == ("state bad", RED), "quiet's network cell: " + json.dumps(network))
    # steady's first answer may come after quiet's first time-out (a slow start under Wine).
    browser.wait_for(SHOWN, lambda s: cell(s, "steady", 3)["color"] == GREEN, "steady answers")

    # The crasher is lost between its restarts: Lost (n/3).
    shown = browser.wait_for(SHOWN, lambda s: cell(s, "crasher", 2)["text"].startswith("lost ("),
                             "crasher lost", limit=60)
    check(cell(shown, "crasher", 2)["text"] in ("lost (1/3)", "lost (2/3)", "lost (3/3)") and
          cell(shown, "crasher", 2)["color"] == RED, "Lost (n/3): " + json.dumps(cell(shown, "crasher", 2)))

    # The last restarts of every server, newest first, at most 20: the crasher's several.
    browser.wait_for(SHOWN, lambda s: s["restarts"].count("crasher") >= 3, "the crasher's restarts listed")
    drawn = json.loads(browser.evaluate(DRAWN_FROM_ONE_ANSWER))
    times = [r["time"] for r in drawn["api"]]
    check(times == sorted(times, reverse=True) and 3 <= len(times) <= 20, "newest first: " + str(times))
    check(drawn["page"] == [r["name"] for r in drawn["api"]], "the page lists them in order")
    # Each start is named by its kind, and the Restarts cell is the JSON's count of supervised ones.
    check(drawn["kinds"] == [KIND_TEXTS[r["kind"]] for r in drawn["api"]], "kinds: " + json.dumps(drawn["kinds"]))
    check(all(c.split(" ")[0] == str(s["restarts"]) for c, s in zip(drawn["cells"], drawn["servers"])),
          "the Restarts cells: " + json.dumps(drawn["cells"]))

    # A restart that begins with the stop command: stopping, with the seconds left.
    browser.wait_for(SHOWN, lambda s: cell(s, "stopper", NETWORK)["color"] == GREEN, "stopper answers")
    check(post(browser, "/api/servers/4/restart") == 200, "the stopper's restart taken")
    shown = browser.wait_for(SHOWN, lambda s: cell(s, "stopper", PROCESS)["text"].startswith("stopping ("),
                             "the stopper stopping")
    left = cell(shown, "stopper", PROCESS)["text"]
    check(0 < int(left[len("stopping ("):].split(" ")[0]) <= STOP_SECONDS + 6 and left.endswith(" s left)"),
          "seconds left: " + left)

    # A planned restart shows until the server is paused; then the pause says whose it is.
    check(post(browser, "/api/servers/2/restart?in=30") == 200, "quiet's planned restart taken")
    browser.wait_for(SHOWN, lambda s: cell(s, "quiet", NEXT)["text"] not in ("none", "-"), "quiet's next restart")
    check(post(browser, "/api/servers/2/pause") == 200, "quiet's pause taken")
    shown = browser.wait_for(SHOWN, lambda s: "paused by the operator" in cell(s, "quiet", NOTES)["text"],
                             "quiet's pause reason")
    check(cell(shown, "quiet", NEXT)["text"] == "none", "a paused server has no next restart: " +
          json.dumps(cell(shown, "quiet", NEXT)))

    # On a phone's width the page does not scroll sideways: each server is a card.
    browser.open(base + "#token=" + urllib.parse.quote(TOKEN, safe=""), 360)
    shown = browser.wait_for(SHOWN, lambda s: len(s["rows"]) == 4, "four rows at 360 pixels")
    check(shown["pageWidth"] <= 360, "the page is %d pixels wide" % shown["pageWidth"])
    check(shown["labels"][NEXT:] == ['"Next restart"', '"Notes"'], "the cards' labels: " + json.dumps(shown["labels"]))
    check(cell(shown, "stopper", PROCESS)["text"].startswith("stopping (") and
          "paused by the operator" in cell(shown, "quiet", NOTES)["text"], "the new cells on a card")
    for name, cells in shown["rows"].items():
        check(all(c["right"] <= 360 for c in cells), name + "'s cells: " + json.dumps(cells))


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def linux_scene(work, kesp, fakesrv):
    """kesp in a folder of its own, with three stand-ins registered through its command line."""
    import socket
    shutil.copy(kesp, os.path.join(work, "kesp"))
    port = free_port()
    server_ports = []
    for name, extra in (("steady", ""), ("quiet", " -fakesrv.silent"), ("crasher", " -fakesrv.exit-after 0"),
                        ("stopper", " +rcon_password %s -fakesrv.ignorequit" % RCON_PASSWORD)):
        os.makedirs(os.path.join(work, name))
        exe = os.path.join(work, name, "fakesrv")
        shutil.copy(fakesrv, exe)
        server_ports.append(free_port())
        subprocess.run([os.path.join(work, "kesp"), "add", "--exe", exe, "--name", name, "--params",
                        "-game cstrike +ip 127.0.0.1 -port %d%s" % (server_ports[-1], extra)],
                       check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(work, "kesp.ini"), "w") as ini:
        ini.write("[Options]\nHttpListen=127.0.0.1:%d\nHttpToken=%s\n[Server stopper]\nStopCommand=quit\n"
                  "StopSeconds=%d\n" % (port, TOKEN, STOP_SECONDS))
    monitor = subprocess.Popen([os.path.join(work, "kesp")], cwd=work, stdout=subprocess.DEVNULL,
                               env=dict(os.environ, TERVANE_TEST_CYCLE_MS="200"))

    def end():
        monitor.terminate()
        monitor.wait(timeout=20)
        # The stand-ins outlive kesp; each obeys the control datagram "fakesrv exit".
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for p in server_ports:
                s.sendto(b"\xff\xff\xff\xfffakesrv exit", ("127.0.0.1", p))
    return port, end


def wine_scene(work, runner, scene):
    """kesp.exe under Wine, set up by the scene program, which writes the port and waits for
    "done" in the folder."""
    folder = "Z:" + work.replace("/", "\\")
    program = subprocess.Popen([runner, scene, folder, TOKEN, RCON_PASSWORD, str(STOP_SECONDS)],
                               stdout=subprocess.DEVNULL)
    port_file = os.path.join(work, "port")
    end_by = time.monotonic() + 180
    while not os.path.exists(port_file):
        check(program.poll() is None and time.monotonic() < end_by, "the scene program set no scene")
        time.sleep(0.2)
    with open(port_file) as f:
        port = int(f.read())

    def end():
        open(os.path.join(work, "done"), "w").close()
        program.wait(timeout=60)
    return port, end


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kesp")
    parser.add_argument("--fakesrv")
    parser.add_argument("--scene", nargs=2, metavar=("RUNNER", "SCENE_EXE"))
    args = parser.parse_args()
    if not os.access(CHROMIUM, os.X_OK):
        print("chromium is not installed")
        return 77
    work = tempfile.mkdtemp(prefix="tervane-page-")
    end = None
    browser = None
    try:
        port, end = wine_scene(work, *args.scene) if args.scene else linux_scene(work, args.kesp, args.fakesrv)
        browser = Browser(os.path.join(work, "profile"))
        check_page(browser, port)
        print("the status page shows what it should")
        return 0
    except Failed as failure:
        print("FAILED:", failure)
        return 1
    finally:
        if browser:
            browser.close()
        if end:
            end()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
