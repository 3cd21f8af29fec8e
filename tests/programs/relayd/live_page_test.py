#!/usr/bin/python3
"""The service's live page in a real browser: Debian's headless Chromium, driven through Selenium,
against kestavo-relayd on an emulated dongle whose samples are the demo's three waves. Checks, from
the rendered page, that the three traces are drawn where the waves are (the pixels of a screenshot of
the plot), that a relay client that connects is listed, that an unplugged dongle shows as absent, and
that no request leaves this service.

Environment: KESTAVO_RELAYD, USBBENCH_LIBRARY (the program and the USB test bench to preload)."""

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

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

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


class LivePage(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        with open(os.path.join(self.work.name, "dongle.txt"), "w") as description:
            description.write(DONGLE)
        self.relay_port, self.status_port = free_port(), free_port()
        options = Options()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1000,900",
                     "--user-data-dir=" + os.path.join(self.work.name, "chromium")):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        self.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        # The browser first, for it takes seconds to start on a busy machine, and the dongle's samples are
        # gone nine seconds after the service starts.
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
        self.browser.quit()
        self.relayd.terminate()
        self.assertEqual(self.relayd.wait(10), 0)
        self.relayd.stderr.close()
        self.work.cleanup()

    def text(self):
        return self.browser.find_element(By.TAG_NAME, "body").text

    def test_the_page_follows_the_dongle_and_its_clients_and_draws_the_waves(self):
        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.status_port), 1).close()
                return True
            except OSError:
                return False
        wait_until(listening, 10)
        self.browser.get(self.url)
        self.assertTrue(wait_until(lambda: "Open," in self.text(), 10), self.text())

        # A relay client, listed by its address and port.
        client = socket.create_connection(("127.0.0.1", self.relay_port))
        connected = time.monotonic()
        peer = "127.0.0.1 %d" % client.getsockname()[1]
        self.assertTrue(wait_until(lambda: peer in self.text(), 5), self.text())
        print("client listed %.0f ms after it connected" % ((time.monotonic() - connected) * 1000))

        # A whole period of the waves (250 transfers) read and drawn, however slowly a busy machine runs the
        # emulated dongle: each trace's colour from near the top of the plot to near its bottom. The plot
        # spans a minute, so that the period fits in it even at a tenth of the dongle's nominal pace; it
        # holds what was read since the span was chosen, counted from then.
        Select(self.browser.find_element(By.ID, "span")).select_by_value("60000")
        def transfers():
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/status" % self.status_port, timeout=2) as got:
                    return json.load(got)["transfers"]
            except OSError:
                return 0
        chosen = transfers()
        self.assertLess(chosen, 580, "the page took too long to open")
        self.assertTrue(wait_until(lambda: transfers() >= chosen + 300, 20), "the dongle was not read for 3 s")
        plot = self.browser.find_element(By.ID, "plot")
        problems = []

        def drawn():
            width, height, rows = decode_png(plot.screenshot_as_png)
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

        # The dongle goes after nine seconds.
        self.assertTrue(wait_until(lambda: "Absent" in self.text(), 10), self.text())
        lost = self.said("Dongle lost")
        self.assertIsNotNone(lost)
        print("absent on the page %.0f ms after the service said the dongle was lost" %
              ((time.monotonic() - lost) * 1000))
        client.close()

        # Every request that went over a network went to this service (the browser's own chrome:// pages
        # go nowhere).
        requests = [json.loads(entry["message"])["message"]["params"]["request"]["url"]
                    for entry in self.browser.get_log("performance")
                    if json.loads(entry["message"])["message"]["method"] == "Network.requestWillBeSent"]
        network = [url for url in requests if url.split(":", 1)[0] in ("http", "https", "ws", "wss", "ftp")]
        self.assertIn(self.url + "live?width=", " ".join(network))
        for url in network:
            self.assertTrue(url.startswith(self.url), url)


if __name__ == "__main__":
    unittest.main()
