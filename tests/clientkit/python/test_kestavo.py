"""The Python client module against kestavo-relayd, run as a process with the USB test bench preloaded
into it. Needs KESTAVO_RELAYD, USBBENCH_LIBRARY and KESTAVO_PYTHON_MODULE (the module's folder)."""

import io
import os
import random
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.environ["KESTAVO_PYTHON_MODULE"])
import kestavo  # noqa: E402

DONGLE = (
    "device 1 2 0x04d2 0x162e\nserial SN1\nconfiguration 1\ninterface 0\naltsetting 0\n"
    "endpoint 0x81 bulk 64\nendpoint 0x02 bulk 64\nin counter\nin-latency-us 1000\nin-silence-after 50\n"
    "plug-in-after-ms 1000\n"  # after the client has connected
)


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


def bench_environment(work):
    """The environment of a service on the emulated dongle, its tree and description in work."""
    devices = os.path.join(work, "devices.txt")
    with open(devices, "w") as file:
        file.write(DONGLE)
    environment = dict(os.environ)
    environment.update(
        LD_PRELOAD=os.environ["USBBENCH_LIBRARY"],
        USB_DEVFS_PATH=os.path.join(work, "usb"),
        USB_BENCH_DEVICES=devices,
        ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0",
    )
    return environment


def connect_within(port, seconds):
    """A connection to the relay on the port, once it listens (tried until the limit)."""
    end = time.monotonic() + seconds
    while True:
        try:
            return socket.create_connection(("::1", port), timeout=10)
        except ConnectionRefusedError:
            if time.monotonic() > end:
                raise
            time.sleep(0.02)


class AgainstTheRelay(unittest.TestCase):
    def test_configuration_first_then_every_transfer_then_stop(self):
        with tempfile.TemporaryDirectory() as work:
            port = free_port()
            environment = bench_environment(work)
            relayd = subprocess.Popen(
                [os.environ["KESTAVO_RELAYD"], "--device", "04d2:162e", "--port", str(port)],
                env=environment,
                stderr=subprocess.PIPE,
            )
            try:
                connection = connect_within(port, 20)
                with connection:
                    received = []
                    for frame in kestavo.read_frames(connection.recv):
                        received.append(frame)
                        if frame.type == kestavo.SAMPLE and frame.samples[0] == 49:
                            relayd.send_signal(signal.SIGTERM)
                self.assertEqual(received[0], kestavo.Frame(kestavo.CONFIGURATION, active_entry=2, active_code=7))
                numbers = [frame.samples[0] for frame in received if frame.type == kestavo.SAMPLE]
                self.assertEqual(numbers, list(range(50)))
                self.assertEqual(received[1].samples, (0, 1, 2))
                self.assertEqual(received[-1].type, kestavo.STOP)
                self.assertEqual(relayd.wait(timeout=10), 0)
            finally:
                if relayd.poll() is None:
                    relayd.kill()
                    relayd.wait()
                relayd.stderr.close()


class OverTls(unittest.TestCase):
    def test_the_same_frames_through_tls_and_a_certificate_turned_down(self):
        with tempfile.TemporaryDirectory() as work:
            subprocess.run([os.environ["KESTAVO_MAKE_CERTIFICATES"], work], check=True)
            tls_port = free_port()
            environment = bench_environment(work)
            certificates = {name: os.path.join(work, name) for name in os.listdir(work)}
            relayd = subprocess.Popen(
                [os.environ["KESTAVO_RELAYD"], "--device", "04d2:162e", "--port", str(free_port()),
                 "--tls-port", str(tls_port), "--tls-cert", certificates["server.pem"],
                 "--tls-key", certificates["server.key"], "--tls-client-ca", certificates["ca.pem"]],
                env=environment,
                stderr=subprocess.PIPE,
            )
            options = dict(timeout=10, tls=True, ca=certificates["ca.pem"])
            try:
                end = time.monotonic() + 20
                while True:
                    try:
                        stream = kestavo.frames("localhost", tls_port, cert=certificates["client.pem"],
                                                key=certificates["client.key"], **options)
                        first = next(stream)
                        break
                    except ConnectionRefusedError:
                        self.assertLess(time.monotonic(), end)
                        time.sleep(0.05)
                self.assertEqual(first, kestavo.Frame(kestavo.CONFIGURATION, active_entry=2, active_code=7))
                received = []
                for frame in stream:
                    received.append(frame)
                    if frame.type == kestavo.SAMPLE and len(received) == 50:
                        relayd.send_signal(signal.SIGTERM)
                numbers = [frame.samples[0] for frame in received if frame.type == kestavo.SAMPLE]
                self.assertEqual(numbers, list(range(numbers[0], numbers[0] + len(numbers))))
                self.assertEqual(received[-1].type, kestavo.STOP)
                self.assertEqual(relayd.wait(timeout=10), 0)
            finally:
                if relayd.poll() is None:
                    relayd.kill()
                    relayd.wait()
                relayd.stderr.close()

            # Nothing to present: the relay turns the client down in the handshake.
            relayd = subprocess.Popen(relayd.args, env=environment, stderr=subprocess.DEVNULL)
            try:
                end = time.monotonic() + 20
                while True:
                    try:
                        with self.assertRaises(ssl.SSLError):
                            next(kestavo.frames("localhost", tls_port, **options))
                        break
                    except ConnectionRefusedError:
                        self.assertLess(time.monotonic(), end)
                        time.sleep(0.05)
            finally:
                relayd.kill()
                relayd.wait()


class Malformed(unittest.TestCase):
    def test_a_frame_that_breaks_the_format_is_refused(self):
        good = bytes.fromhex("03000000" "08000000")
        self.assertEqual(list(kestavo.read_frames(io.BytesIO(good).read)), [kestavo.Frame(kestavo.STOP)])
        for bad in ("05000000" "08000000", "00000000" "00100000", "03000000" "0c000000" "00000000"):
            with self.assertRaises(kestavo.ProtocolError, msg=bad):
                list(kestavo.read_frames(io.BytesIO(bytes.fromhex(bad)).read))
        with self.assertRaises(ConnectionError):
            list(kestavo.read_frames(io.BytesIO(b"\x00").read))


if __name__ == "__main__":
    unittest.main()
