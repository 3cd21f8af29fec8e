#!/usr/bin/python3
"""The live page's cost, measured from outside: kestavo-relayd on an emulated dongle paced at 10,000
transfers a second, with its status port. Prints what one live plot of 1,000 columns at 10 updates a
second costs on the wire at each span; the reader's rate and the service's CPU with 20 such plots beside
none, in the same run; and how soon after it is asked for the page has drawn its plot in headless
Chromium. Asserts nothing.

    bench/live_page_bench.py BUILD_DIR [SECONDS]"""

import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import json
import urllib.request

build = sys.argv[1] if len(sys.argv) > 1 else "build/release"
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 5.0
relayd_path = os.path.join(build, "programs/relayd/kestavo-relayd")
bench_library = os.path.join(build, "tests/usbbench/libusbbench.so")
ticks = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks


def status(port):
    return json.load(urllib.request.urlopen("http://127.0.0.1:%d/status" % port, timeout=5))


class Viewer(threading.Thread):
    """A live plot's stream, read and counted."""

    def __init__(self, port, query):
        super().__init__(daemon=True)
        self.connection = socket.create_connection(("127.0.0.1", port))
        self.connection.sendall(("GET /live?%s HTTP/1.1\r\nHost: kestavo\r\n\r\n" % query).encode())
        self.bytes = 0
        self.running = True
        self.start()

    def run(self):
        while self.running:
            data = self.connection.recv(65536)
            if not data:
                return
            self.bytes += len(data)

    def stop(self):
        self.running = False
        self.connection.close()


def main():
    work = tempfile.TemporaryDirectory()
    with open(os.path.join(work.name, "dongle.txt"), "w") as description:
        description.write("device 1 2 0x04d2 0x162e\nconfiguration 1\ninterface 0\naltsetting 0\n"
                          "endpoint 0x81 bulk 64\nendpoint 0x02 bulk 64\nin waveform 500\nin-bytes 64\n"
                          "in-rate 10000\n")
    relay_port, status_port = free_port(), free_port()
    environment = dict(os.environ, LD_PRELOAD=bench_library, USB_DEVFS_PATH=os.path.join(work.name, "usb"),
                       USB_BENCH_DEVICES=os.path.join(work.name, "dongle.txt"))
    relayd = subprocess.Popen([relayd_path, "--device", "04d2:162e", "--port", str(relay_port), "--status",
                               str(status_port), "--listen", "127.0.0.1"], env=environment,
                              stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                if status(status_port)["dongle"]["open"]:
                    break
            except OSError:
                pass
            time.sleep(0.05)
        print("\n== The live page: the service at 10,000 transfers/s, %.1f s a case" % seconds)
        print("%-34s %12s" % ("one plot, 1000 columns, 10/s", "kbit/s"))
        for span in (100, 1000, 10000, 60000):
            viewer = Viewer(status_port, "width=1000&span=%d&rate=10" % span)
            time.sleep(1)
            before = viewer.bytes
            time.sleep(seconds)
            print("%-34s %12.1f" % ("span %d ms" % span, (viewer.bytes - before) * 8 / seconds / 1000))
            viewer.stop()

        def measure(plots):
            viewers = [Viewer(status_port, "width=1000&span=10000&rate=10") for _ in range(plots)]
            time.sleep(1)
            first, cpu = status(status_port)["transfers"], cpu_seconds(relayd.pid)
            start = time.monotonic()
            time.sleep(seconds)
            elapsed = time.monotonic() - start
            rate = (status(status_port)["transfers"] - first) / elapsed
            used = (cpu_seconds(relayd.pid) - cpu) / elapsed * 100
            for viewer in viewers:
                viewer.stop()
            return rate, used

        print("%-34s %12s %12s" % ("plots at once", "transfers/s", "CPU %"))
        rates = {}
        for plots in (0, 20, 0, 20):
            rate, used = measure(plots)
            rates.setdefault(plots, []).append((rate, used))
            print("%-34s %12.0f %12.1f" % (plots, rate, used))
        alone = sum(r for r, _ in rates[0]) / 2
        watched = sum(r for r, _ in rates[20]) / 2
        print("20 plots: the reader at %.2f of its rate alone, %+.1f %% of a core" %
              (watched / alone, sum(u for _, u in rates[20]) / 2 - sum(u for _, u in rates[0]) / 2))

        from selenium import webdriver
        from selenium.webdriver.chrome.options import Options
        from selenium.webdriver.chrome.service import Service
        options = Options()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--no-first-run", "--window-size=1000,900",
                     "--user-data-dir=" + os.path.join(work.name, "chromium")):
            options.add_argument(flag)
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        ready = []
        for _ in range(5):
            browser.get("http://127.0.0.1:%d/" % status_port)
            for _ in range(200):
                drawn = browser.execute_script("return window.plotDrawnAt")
                if drawn is not None:
                    ready.append(drawn)
                    break
                time.sleep(0.01)
        browser.quit()
        print("page ready (plot drawn), ms after it was asked for, 5 loads: %s" %
              ", ".join("%.0f" % value for value in ready))
    finally:
        relayd.terminate()
        relayd.wait(10)
        work.cleanup()


main()
