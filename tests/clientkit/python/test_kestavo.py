"""The Python client module against kestavo-relayd, run as a process with the USB test bench preloaded
into it, and its helper for the outputs' numbers against a real nats-server and a ZeroMQ subscriber.
Needs KESTAVO_RELAYD, USBBENCH_LIBRARY, KESTAVO_PYTHON_MODULE (the module's folder) and
KESTAVO_NATS_SERVER."""

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

import zmq

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


def bench_environment(work, dongle=DONGLE):
    """The environment of a service on the emulated dongle, its tree and description in work."""
    devices = os.path.join(work, "devices.txt")
    with open(devices, "w") as file:
        file.write(dongle)
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


class NatsSubscriber:
    """A subscriber speaking nats-server's own text protocol on a socket, headers and all: the module's
    helper takes what any NATS client gives, so none is needed here."""

    def __init__(self, port, subject):
        self.connection = connect_within_address(("127.0.0.1", port), 10)
        self.buffer = b""
        self.line()  # INFO
        self.connection.sendall(b'CONNECT {"verbose":false,"headers":true}\r\nSUB ' + subject + b" 1\r\nPING\r\n")
        while self.line() != b"PONG":
            pass

    def more(self):
        chunk = self.connection.recv(65536)
        if not chunk:
            raise ConnectionError("the NATS server closed the connection")
        self.buffer += chunk

    def take(self, size):
        while len(self.buffer) < size:
            self.more()
        piece, self.buffer = self.buffer[:size], self.buffer[size:]
        return piece

    def line(self):
        while b"\r\n" not in self.buffer:
            self.more()
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def next(self):
        """(headers, payload) of the next message."""
        while True:
            words = self.line().split()
            if words[0] == b"PING":
                self.connection.sendall(b"PONG\r\n")
            elif words[0] == b"HMSG":
                header_size, size = int(words[-2]), int(words[-1])
                head = self.take(header_size).decode().split("\r\n")[1:]
                payload = self.take(size - header_size)
                self.take(2)
                return dict(line.split(": ", 1) for line in head if line), payload
            elif words[0] == b"MSG":
                payload = self.take(int(words[-1]))
                self.take(2)
                return {}, payload

    def close(self):
        self.connection.close()


def connect_within_address(address, seconds):
    end = time.monotonic() + seconds
    while True:
        try:
            return socket.create_connection(address, timeout=10)
        except ConnectionRefusedError:
            if time.monotonic() > end:
                raise
            time.sleep(0.02)


class OutputsNumbers(unittest.TestCase):
    """What the service's NATS and ZeroMQ outputs say of each message's transfers, read by the helper,
    across an unplugging of the dongle: nothing is missed, and a message taken away is found."""

    def test_the_helper_finds_nothing_missed_in_a_whole_stream_and_exactly_a_message_taken_away(self):
        dongle = (
            "device 1 2 0x04d2 0x162e\nserial SN1\nconfiguration 1\ninterface 0\naltsetting 0\n"
            "endpoint 0x81 bulk 64\nin counter\nin-latency-us 1000\nin-unplug-after 400\n"
            "in-replug-after-ms 1500\n"
        )
        with tempfile.TemporaryDirectory() as work:
            nats_port, zmq_port = free_port(), free_port()
            nats = subprocess.Popen([os.environ["KESTAVO_NATS_SERVER"], "-a", "127.0.0.1", "-p", str(nats_port)],
                                    stderr=subprocess.DEVNULL)
            relayd = None
            log = open(os.path.join(work, "relayd.log"), "w+")  # read only on failure: no pipe to fill
            try:
                subscriber = NatsSubscriber(nats_port, b"kestavo.SN1.samples")
                context = zmq.Context()
                samples = context.socket(zmq.SUB)
                samples.setsockopt(zmq.SUBSCRIBE, b"")
                samples.setsockopt(zmq.RCVTIMEO, 10000)
                samples.connect("tcp://127.0.0.1:%d" % zmq_port)
                relayd = subprocess.Popen(
                    [os.environ["KESTAVO_RELAYD"], "--device", "04d2:162e", "--port", str(free_port()),
                     "--nats", "127.0.0.1:%d" % nats_port, "--zmq", "tcp://127.0.0.1:%d" % zmq_port, "--zmq-header"],
                    env=bench_environment(work, dongle), stderr=log)

                # NATS: every message until 100 transfers of the second opening have come.
                messages = []
                while not messages or messages[-1][0].opening < 2 or messages[-1][0].first < 100:
                    headers, payload = subscriber.next()
                    transfers = kestavo.nats_transfers(headers)
                    self.assertEqual(transfers.count * 28, len(payload))
                    self.assertLess(abs(transfers.time_ns - time.time_ns()), 2e9)
                    messages.append((transfers, payload))
                gaps = kestavo.GapFinder()
                self.assertEqual([gaps.take(transfers) for transfers, _ in messages], [None] * len(messages))
                self.assertEqual(messages[0][0], kestavo.Transfers(1, 0, messages[0][0].count, messages[0][0].time_ns))
                # The counter dongle's samples count its transfers since it was plugged in: the numbers run
                # with them (but for a read the unplugging ended with nothing new, whose samples repeat).
                wrong = 0
                for transfers, payload in messages:
                    for i in range(transfers.count):
                        sample = int.from_bytes(payload[28 * i + 20:28 * i + 22], "little")
                        wrong += sample != (transfers.first + i) & 0xFFFF
                self.assertLessEqual(wrong, 1)

                # One message taken away is found, whole, and nothing else.
                away = len(messages) // 3
                gaps = kestavo.GapFinder()
                found = [gap for gap in (gaps.take(t) for i, (t, _) in enumerate(messages) if i != away) if gap]
                taken = messages[away][0]
                self.assertEqual(found, [kestavo.Missed(taken.opening, taken.first, taken.count)])
                self.assertEqual((gaps.missed, gaps.dropped), (taken.count, 0))

                # ZeroMQ: each message's header part, then its samples; none missed from the first on.
                gaps = kestavo.GapFinder()
                for _ in range(20):
                    header, body = samples.recv_multipart()
                    transfers = kestavo.zmq_transfers(header)
                    self.assertEqual(transfers.count * 6, len(body))
                    self.assertIsNone(gaps.take(transfers))
            finally:
                try:
                    if relayd is not None:
                        relayd.terminate()
                        try:
                            status = relayd.wait(30)
                        except subprocess.TimeoutExpired:
                            relayd.kill()
                            status = "still running 30 s after SIGTERM: %r" % relayd.wait()
                        log.seek(0)
                        self.assertEqual(status, 0, log.read()[-4000:])
                finally:
                    log.close()
                    nats.terminate()
                    nats.wait()

    def test_malformed_headers_are_refused(self):
        good = {"Kestavo-Seq": "5", "Kestavo-Count": "2", "Kestavo-Time": "7", "Kestavo-Open": "1"}
        self.assertEqual(kestavo.nats_transfers(good), kestavo.Transfers(1, 5, 2, 7, 0))
        for bad in ({}, dict(good, **{"Kestavo-Seq": "-1"}), dict(good, **{"Kestavo-Count": "x"})):
            with self.assertRaises(kestavo.ProtocolError, msg=bad):
                kestavo.nats_transfers(bad)
        with self.assertRaises(kestavo.ProtocolError):
            kestavo.zmq_transfers(b"\0" * 23)
        self.assertEqual(kestavo.zmq_transfers(bytes(range(24))).first, int.from_bytes(bytes(range(8)), "little"))


if __name__ == "__main__":
    unittest.main()
