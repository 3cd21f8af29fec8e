#!/usr/bin/python3
"""The service's live page in real browsers, Debian's headless Chromium (driven through Selenium) and
Firefox ESR (through its own remote protocol, Marionette), against kestavo-relayd on an emulated dongle
whose samples are the demo's three waves. Checks, from the rendered page, that the three traces are
drawn where the waves are (the pixels of a screenshot of the plot), that a relay client that connects
is listed, that an unplugged dongle shows as absent, and that no request leaves this service.

As root, the whole test runs in a network namespace of its own that has only loopback, so that neither
browser's background traffic can reach any other address. A browser that is not installed is skipped.

Environment: KESTAVO_RELAYD, USBBENCH_LIBRARY (the program and the USB test bench to preload)."""

import base64
import ctypes
import json
import os
import random
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request
import zlib

CHROMIUM, CHROMEDRIVER, FIREFOX = "/usr/bin/chromium", "/usr/bin/chromedriver", "/usr/bin/firefox-esr"

# The demo's waves with a period of 2.5 s, a transfer every 10 ms, unplugged after 9 s and never back.
DONGLE = """device 1 2 0x04d2 0x162e
serial DEMO0001
configuration 1
interface 0
altsetting 0
endpoint 0x81 bulk 64
endpoint 0x02 bulk 64
in waveform 250
in-bytes 64
in-latency-us 10000
in-unplug-after 900
"""

COLOURS = [(0x00, 0x72, 0xB2), (0xE6, 0x9F, 0x00), (0x00, 0x9E, 0x73)]


def free_port():
    # Below the range the kernel hands out to outgoing connections, which other tests make meanwhile.
    while True:
        port = random.randint(10000, 32767)
        with socket.socket(socket.AF_INET6) as probe:
            try:
                probe.bind(("::", port))
            except OSError:
                continue
            return port


def wait_until(condition, limit):
    """condition() until it holds (its value) or limit seconds pass (None)."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    return None


def decode_png(data):
    """(width, height, rows of RGBA bytes) of an 8-bit RGBA or RGB PNG, as Chromium writes them."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat, width, height, channels = 8, b"", 0, 0, 4
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6), (depth, colour)
            channels = 4 if colour == 6 else 3
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - channels] if x >= channels else 0
            up = previous[x]
            corner = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + left) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + up) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 0xFF
            elif kind == 4:
                guess = left + up - corner
                best = min((abs(guess - left), 0, left), (abs(guess - up), 1, up), (abs(guess - corner), 2, corner))
                line[x] = (line[x] + best[2]) & 0xFF
        rows.append((line, channels))
        previous = line
    return width, height, rows


class Chromium:
    """Headless Chromium through Selenium and chromedriver."""

    name = "Chromium"

    def __init__(self, work):
        from selenium import webdriver
        from selenium.webdriver.chrome.options import Options
        from selenium.webdriver.chrome.service import Service
        options = Options()
        options.binary_location = CHROMIUM
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1000,900",
                     "--user-data-dir=" + os.path.join(work, "chromium")):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)

    def open(self, url):
        self.driver.get(url)

    def script(self, code):
        return self.driver.execute_script(code)

    def plot_png(self):
        from selenium.webdriver.common.by import By
        return self.driver.find_element(By.ID, "plot").screenshot_as_png

    def keys(self, actions):
        from selenium.webdriver.remote.command import Command
        self.driver.execute(Command.W3C_ACTIONS, {"actions": actions})

    def requests(self):
        """Every URL the browser asked for, from its DevTools log."""
        messages = [json.loads(entry["message"])["message"] for entry in self.driver.get_log("performance")]
        return [message["params"]["request"]["url"] for message in messages
                if message["method"] == "Network.requestWillBeSent"]

    def quit(self):
        self.driver.quit()


class Firefox:
    """Headless Firefox ESR through Marionette, the protocol it speaks itself: a length, a colon and a JSON
    array, each way, on a TCP port of loopback."""

    name = "Firefox"

    def __init__(self, work):
        profile = os.path.join(work, "firefox")
        os.mkdir(profile)
        port = free_port()
        with open(os.path.join(profile, "user.js"), "w") as prefs:
            for key, value in (("marionette.port", port), ("app.update.disabledForTesting", True),
                               ("browser.shell.checkDefaultBrowser", False),
                               ("datareporting.policy.dataSubmissionEnabled", False),
                               ("network.captive-portal-service.enabled", False),
                               ("network.connectivity-service.enabled", False),
                               ("toolkit.telemetry.enabled", False)):
                prefs.write("user_pref(%s, %s);\n" % (json.dumps(key), json.dumps(value)))
        self.process = subprocess.Popen(
            [FIREFOX, "--headless", "--marionette", "--no-remote", "--profile", profile, "-width", "1000",
             "-height", "900"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.begin(port)
        except BaseException:
            self.process.kill()
            self.process.wait()
            raise

    def begin(self, port):
        def connected():
            try:
                return socket.create_connection(("127.0.0.1", port), 1)
            except OSError:
                return None
        self.connection = wait_until(connected, 60)
        assert self.connection, "Firefox's Marionette never listened"
        self.connection.settimeout(60)
        self.stream = self.connection.makefile("rb")
        self.last = 0
        hello = self.receive()
        assert hello.get("marionetteProtocol") == 3, hello
        self.command("WebDriver:NewSession", {})

    def receive(self):
        length = b""
        while not length.endswith(b":"):
            byte = self.stream.read(1)
            assert byte, "Firefox closed its Marionette connection"
            length += byte
        return json.loads(self.stream.read(int(length[:-1])))

    def command(self, name, parameters):
        self.last += 1
        body = json.dumps([0, self.last, name, parameters]).encode()
        self.connection.sendall(b"%d:%s" % (len(body), body))
        kind, number, error, result = self.receive()
        assert (kind, number) == (1, self.last), (kind, number)
        if error:
            raise AssertionError("%s: %s" % (name, error.get("message")))
        return result

    def open(self, url):
        self.command("WebDriver:Navigate", {"url": url})

    def script(self, code):
        return self.command("WebDriver:ExecuteScript", {"script": code, "args": []})["value"]

    def plot_png(self):
        found = self.command("WebDriver:FindElement", {"using": "css selector", "value": "#plot"})["value"]
        shot = self.command("WebDriver:TakeScreenshot", {"id": next(iter(found.values())), "hash": False})
        return base64.b64decode(shot["value"])

    def keys(self, actions):
        self.command("WebDriver:PerformActions", {"actions": actions})

    def requests(self):
        """The page's own and everything it fetched, from its resource timing (the namespace keeps the
        browser's own traffic in)."""
        return self.script("return [location.href].concat("
                           "performance.getEntriesByType('resource').map(entry => entry.name))")

    def quit(self):
        try:
            self.command("Marionette:Quit", {})
        except (AssertionError, OSError):
            pass
        self.connection.close()
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


TAB, ENTER, SHIFT, END, LEFT = "\ue004", "\ue007", "\ue008", "\ue010", "\ue012"


def pressed(*keys):
    """Keys typed one after another, a (SHIFT, KEY) pair as KEY with Shift held: as a W3C key action."""
    steps = []
    for key in keys:
        held = key[:-1] if isinstance(key, tuple) else ()
        key = key[-1] if isinstance(key, tuple) else key
        steps += [{"type": "keyDown", "value": k} for k in held + (key,)]
        steps += [{"type": "keyUp", "value": k} for k in (key,) + held[::-1]]
    return [{"type": "key", "id": "keyboard", "actions": steps}]


def only_loopback():
    """This process, and all it starts, in a network namespace of its own with loopback up; False where
    that is not allowed (not root)."""
    CLONE_NEWNET = 0x40000000
    if ctypes.CDLL(None, use_errno=True).unshare(CLONE_NEWNET) != 0:
        return False
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    return True


class LivePage:
    browser_kind = None

    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.addCleanup(self.work.cleanup)
        with open(os.path.join(self.work.name, "dongle.txt"), "w") as description:
            description.write(DONGLE)
        self.relay_port, self.status_port = free_port(), free_port()
        # The browser first, for it takes seconds to start on a busy machine, and the dongle's samples are
        # gone nine seconds after the service starts.
        self.browser = self.browser_kind(self.work.name)
        self.addCleanup(self.browser.quit)
        environment = dict(os.environ, LD_PRELOAD=os.environ["USBBENCH_LIBRARY"],
                           USB_DEVFS_PATH=os.path.join(self.work.name, "usb"),
                           USB_BENCH_DEVICES=os.path.join(self.work.name, "dongle.txt"))
        environment["ASAN_OPTIONS"] = environment.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        self.relayd = subprocess.Popen(
            [os.environ["KESTAVO_RELAYD"], "--device", "04d2:162e", "--port", str(self.relay_port),
             "--status", str(self.status_port)], env=environment, stderr=subprocess.PIPE, text=True)
        # When the service said each of its lines.
        self.lines = []
        threading.Thread(target=self.listen, daemon=True).start()
        self.url = "http://127.0.0.1:%d/" % self.status_port

    def listen(self):
        for line in self.relayd.stderr:
            self.lines.append((time.monotonic(), line))

    def said(self, text):
        return next((when for when, line in self.lines if text in line), None)

    def tearDown(self):
        self.relayd.terminate()
        self.assertEqual(self.relayd.wait(10), 0)
        self.relayd.stderr.close()

    def text(self):
        return self.browser.script("return document.body.innerText")

    def test_the_page_follows_the_dongle_and_its_clients_and_draws_the_waves(self):
        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.status_port), 1).close()
                return True
            except OSError:
                return False
        wait_until(listening, 10)
        self.browser.open(self.url)
        self.assertTrue(wait_until(lambda: "Open," in self.text(), 10), self.text())

        # A relay client, listed by its address and port: the figures are text, which a screen reader reads.
        client = socket.create_connection(("127.0.0.1", self.relay_port))
        connected = time.monotonic()
        peer = "127.0.0.1 %d" % client.getsockname()[1]
        self.assertTrue(wait_until(lambda: peer in self.text(), 5), self.text())
        print("%s: client listed %.0f ms after it connected" %
              (self.browser.name, (time.monotonic() - connected) * 1000))

        # A whole period of the waves (250 transfers) read and drawn, however slowly a busy machine runs the
        # emulated dongle: each trace's colour from near the top of the plot to near its bottom. The plot
        # spans a minute, so that the period fits in it even at a tenth of the dongle's nominal pace; it
        # holds what was read since the span was chosen, counted from then.
        self.browser.script("const span = document.getElementById('span'); span.value = '60000'; "
                            "span.dispatchEvent(new Event('change'));")
        def transfers():
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/status" % self.status_port, timeout=2) as got:
                    return json.load(got)["transfers"]
            except OSError:
                return 0
        chosen = transfers()
        self.assertLess(chosen, 580, "the page took too long to open")
        self.assertTrue(wait_until(lambda: transfers() >= chosen + 300, 20), "the dongle was not read for 3 s")
        problems = []

        def drawn():
            width, height, rows = decode_png(self.browser.plot_png())
            problems.clear()
            for trace, colour in enumerate(COLOURS):
                ys = [y for y, (line, channels) in enumerate(rows) for x in range(0, width, 2)
                      if all(abs(line[x * channels + c] - colour[c]) < 40 for c in range(3))]
                if not ys:
                    problems.append("trace %d is not drawn" % trace)
                elif min(ys) >= height * 0.2:
                    problems.append("trace %d never reaches its top" % trace)
                elif max(ys) <= height * 0.8:
                    problems.append("trace %d never reaches its bottom" % trace)
            return not problems
        self.assertTrue(wait_until(drawn, 5), problems)

        # From the keyboard alone: Tab reaches every control in order, the arrows move the readout over the
        # plot, and Enter on the button pauses the plot.
        focused = []
        for _ in range(4):
            self.browser.keys(pressed(TAB))
            focused.append(self.browser.script("return document.activeElement.id"))
        self.assertEqual(focused, ["dongle", "span", "pause", "plot"])
        self.browser.keys(pressed(END, LEFT, LEFT))
        readout = self.browser.script("return document.getElementById('readout').textContent")
        self.assertRegex(readout, r"^\d+\.\d ms ago: sample 0 \d+–\d+, sample 1 \d+–\d+, sample 2 \d+–\d+$")
        self.browser.keys(pressed((SHIFT, TAB), ENTER))
        self.assertEqual(self.browser.script("const b = document.getElementById('pause'); "
                                             "return [b.textContent, b.getAttribute('aria-pressed')]"),
                         ["Resume", "true"])
        self.browser.keys(pressed(ENTER))

        # The dongle goes after nine seconds.
        self.assertTrue(wait_until(lambda: "Absent" in self.text(), 10), self.text())
        lost = self.said("Dongle lost")
        self.assertIsNotNone(lost)
        print("%s: absent on the page %.0f ms after the service said the dongle was lost" %
              (self.browser.name, (time.monotonic() - lost) * 1000))
        client.close()

        # Every request that went over a network went to this service (the browser's own pages go nowhere).
        network = [url for url in self.browser.requests()
                   if url.split(":", 1)[0] in ("http", "https", "ws", "wss", "ftp")]
        self.assertIn(self.url + "live?width=", " ".join(network))
        for url in network:
            self.assertTrue(url.startswith(self.url), url)


ISOLATED = only_loopback() if os.geteuid() == 0 else False


@unittest.skipUnless(os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER), "Chromium is not installed")
class InChromium(LivePage, unittest.TestCase):
    browser_kind = Chromium


@unittest.skipUnless(os.path.exists(FIREFOX), "Firefox ESR is not installed")
@unittest.skipUnless(ISOLATED, "Firefox's own traffic is kept in only by a network namespace, which needs root")
class InFirefox(LivePage, unittest.TestCase):
    browser_kind = Firefox


if __name__ == "__main__":
    unittest.main()
